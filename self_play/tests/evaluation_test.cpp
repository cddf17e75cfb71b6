// The evaluation round trip: the request, the turning of the policy back to
// board tiles, the value rotation, the kept tiles and their priors, and the
// faults that leave the node untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

#include "scripted_transport.hpp"

namespace tarnex::self_play::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A node with something in every field, to see that a failed evaluation
// changes none of them.
Node sentinel_node() {
    Node node;
    node.player = 2;
    node.value_sum = 1.5f;
    node.visit_count = 7;
    node.prior = 0.25f;
    Node child;
    child.tile = 123;
    child.prior = 1.0f;
    node.children.push_back(std::move(child));
    return node;
}

void expect_sentinel(const Node& node) {
    EXPECT_EQ(node.player, 2u);
    EXPECT_EQ(node.value_sum, 1.5f);
    EXPECT_EQ(node.visit_count, 7u);
    EXPECT_EQ(node.prior, 0.25f);
    ASSERT_EQ(node.children.size(), 1u);
    EXPECT_EQ(node.children[0].tile, 123u);
}

std::set<Tile> legal_set(const Game& game) {
    const auto tiles = game.get_legal_tiles();
    return {tiles.begin(), tiles.end()};
}

// Evaluates `game` with a transport that always gives this reply.
struct Outcome {
    Node node;
    EvaluationReply reply;
    std::size_t requests = 0;
};

Outcome evaluate_with(const Game& game, std::vector<float> policy, std::vector<float> values, std::uint64_t seed = 1) {
    Outcome out;
    ScriptedTransport transport(fixed_reply(std::move(policy), std::move(values)));
    Rng rng(seed);
    const auto error = evaluate(out.node, game, transport, 5, rng, out.reply);
    EXPECT_FALSE(error.has_value());
    out.requests = transport.requests.size();
    return out;
}

// Positions from a seeded random game in which `mover` is to move, early to
// late, at most `count` of them.
std::vector<Game> positions_of(std::size_t mover, std::size_t count) {
    std::vector<Game> all;
    random_game(11, &all);
    std::vector<Game> out;
    for (std::size_t i = 0; i < all.size() && out.size() < count; i += 37) {
        for (std::size_t j = i; j < all.size(); ++j) {
            if (all[j].current_player == mover) {
                out.push_back(all[j]);
                break;
            }
        }
    }
    return out;
}

TEST(Evaluation, FinishedGameIsValuedByItsPayoffWithoutARequest) {
    const Game game = random_game(3);
    ASSERT_TRUE(game.is_terminal());
    Node node = sentinel_node();
    ScriptedTransport transport([](std::size_t, const BoardState&, EvaluationReply&) {
        ADD_FAILURE() << "a finished game was sent";
        return std::optional<ScriptedError>{};
    });
    Rng rng(1);
    EvaluationReply reply;
    EXPECT_FALSE(evaluate(node, game, transport, 0, rng, reply).has_value());
    EXPECT_TRUE(transport.requests.empty());
    const auto payoff = game.get_payoff();
    EXPECT_EQ(reply.values, std::vector<float>(payoff.begin(), payoff.end()));
    expect_sentinel(node);
}

TEST(Evaluation, RequestCarriesTheIdAndTheBoardStatePlanes) {
    for (std::size_t mover = 0; mover < 4; ++mover) {
        const Game game = first_turn_of(mover);
        ScriptedTransport transport(fixed_reply(std::vector<float>(400, 1.0f), {0, 0, 0, 0}));
        Rng rng(1);
        EvaluationReply reply;
        Node node;
        const std::int32_t id = mover == 3 ? std::numeric_limits<std::int32_t>::min() : -7 + static_cast<int>(mover);
        ASSERT_FALSE(evaluate(node, game, transport, id, rng, reply).has_value());
        ASSERT_EQ(transport.requests.size(), 1u);
        EXPECT_EQ(transport.requests[0].id, id);
        EXPECT_EQ(transport.requests[0].planes, game.get_board_state());
    }
}

TEST(Evaluation, ReceivedEntryZeroIsTheMoversStartCorner) {
    const std::array<Tile, 4> corner = {0, 19, 399, 380};
    for (std::size_t mover = 0; mover < 4; ++mover) {
        SCOPED_TRACE(mover);
        std::vector<float> policy(400, 0.0f);
        policy[0] = 1.0f;
        const auto out = evaluate_with(first_turn_of(mover), policy, {0, 0, 0, 0});
        ASSERT_EQ(out.node.children.size(), 1u);
        EXPECT_EQ(out.node.children[0].tile, corner[mover]);
        EXPECT_EQ(out.node.children[0].prior, 1.0f);
        EXPECT_EQ(out.node.player, mover);
    }
}

// The index rule for each mover, as stated for the seats: 1 maps entry
// 20y + x to tile 20x + (19 - y), 2 maps entry i to 399 - i, 3 maps entry
// 20y + x to tile 20(19 - x) + y; seat 0 keeps the index.
TEST(Evaluation, QuarterTurnHelperMatchesTheStatedIndexRules) {
    for (std::size_t y = 0; y < 20; ++y) {
        for (std::size_t x = 0; x < 20; ++x) {
            const std::size_t i = 20 * y + x;
            EXPECT_EQ(tile_of_entry(i, 0), i);
            EXPECT_EQ(tile_of_entry(i, 1), 20 * x + (19 - y));
            EXPECT_EQ(tile_of_entry(i, 2), 399 - i);
            EXPECT_EQ(tile_of_entry(i, 3), 20 * (19 - x) + y);
        }
    }
}

// Every received entry, one at a time, in positions of every mover: the one
// positive entry i makes a child exactly when the tile it turns to is legal,
// and the request's legal-tile plane is lit at i exactly then, so the policy
// is read in the frame of the planes.
TEST(Evaluation, EveryReceivedEntryReachesTheTileOfTheMoversQuarterTurns) {
    for (std::size_t mover = 0; mover < 4; ++mover) {
        std::vector<Game> games = positions_of(mover, 3);
        games.insert(games.begin(), first_turn_of(mover));
        for (const Game& game : games) {
            const auto legal = legal_set(game);
            const BoardState planes = game.get_board_state();
            std::size_t children = 0;
            for (std::size_t i = 0; i < 400; ++i) {
                const std::size_t tile = tile_of_entry(i, mover);
                std::vector<float> policy(400, 0.0f);
                policy[i] = 0.75f;
                const auto out = evaluate_with(game, policy, {0, 0, 0, 0});
                const bool is_legal = legal.count(tile) != 0;
                ASSERT_EQ(planes[4 * 400 + i], is_legal) << "mover " << mover << " entry " << i;
                if (is_legal) {
                    ASSERT_EQ(out.node.children.size(), 1u) << "mover " << mover << " entry " << i;
                    EXPECT_EQ(out.node.children[0].tile, tile);
                    ++children;
                } else {
                    EXPECT_TRUE(out.node.children.empty()) << "mover " << mover << " entry " << i;
                }
            }
            EXPECT_EQ(children, legal.size());
        }
    }
}

TEST(Evaluation, SeatZeroPolicyIsUsedAsReceivedAndOnlyItsLegalTilesMustFit) {
    const Game game = Game::reset();  // legal tiles 0..4, 20..23, 40..42, 60, 61, 80
    std::vector<float> policy(81, 0.0f);
    policy[80] = 1.0f;
    auto out = evaluate_with(game, policy, {0, 0, 0, 0});
    ASSERT_EQ(out.node.children.size(), 1u);
    EXPECT_EQ(out.node.children[0].tile, 80u);

    std::vector<float> longer(1000, 0.0f);
    longer[61] = 1.0f;
    longer[999] = 3.0f;
    out = evaluate_with(game, longer, {0, 0, 0, 0});
    ASSERT_EQ(out.node.children.size(), 1u);
    EXPECT_EQ(out.node.children[0].tile, 61u);

    // Tile 80 is legal and lies beyond 80 entries.
    Node node = sentinel_node();
    EvaluationReply reply{std::vector<float>(80, 1.0f), {0, 0, 0, 0}};
    Rng rng(1);
    EXPECT_THROW(expand_from_reply(node, game, reply, rng), Fault);
    expect_sentinel(node);
}

TEST(Evaluation, ExtraEntriesBeyondTheGridAreDroppedWhenTurning) {
    std::vector<float> policy(401, 0.0f);
    policy[0] = 1.0f;
    policy[400] = 5.0f;
    const auto out = evaluate_with(first_turn_of(3), policy, {0, 0, 0, 0});
    ASSERT_EQ(out.node.children.size(), 1u);
    EXPECT_EQ(out.node.children[0].tile, 380u);
    EXPECT_EQ(out.node.children[0].prior, 1.0f);
}

// Each fault is found before the node is touched.
TEST(Evaluation, FatalFaultsLeaveTheNodeUntouched) {
    struct Case {
        std::size_t mover;
        std::size_t policy_length;
        std::size_t value_count;
    };
    const Case faults[] = {
        {1, 399, 4},  // a policy too short to turn
        {2, 0, 4},
        {3, 20, 4},
        {3, 400, 2},  // fewer values than the mover's seat
        {1, 400, 0},
        {2, 400, 1},
    };
    for (const Case& c : faults) {
        SCOPED_TRACE(testing::Message() << "mover " << c.mover << ", " << c.policy_length << " entries, "
                                        << c.value_count << " values");
        const Game game = first_turn_of(c.mover);
        Node node = sentinel_node();
        ScriptedTransport transport(fixed_reply(std::vector<float>(c.policy_length, 1.0f),
                                                std::vector<float>(c.value_count, 0.5f)));
        Rng rng(1);
        EvaluationReply reply;
        EXPECT_THROW((void)evaluate(node, game, transport, 0, rng, reply), Fault);
        expect_sentinel(node);
    }
    // The boundaries themselves are fine: exactly 400 entries, as many values as the seat number.
    for (const Case& c : {Case{1, 400, 1}, Case{2, 400, 2}, Case{3, 400, 3}}) {
        const auto out = evaluate_with(first_turn_of(c.mover), std::vector<float>(c.policy_length, 1.0f),
                                       std::vector<float>(c.value_count, 0.5f));
        EXPECT_EQ(out.node.player, c.mover);
        EXPECT_FALSE(out.node.children.empty());
    }
}

TEST(Evaluation, ValuesComeBackByAbsoluteSeat) {
    const float a = 0.1f, b = 0.2f, c = 0.3f, d = 0.4f, e = 0.5f, f = 0.6f;
    const std::vector<float> policy(400, 1.0f);
    const std::vector<std::vector<float>> four = {{a, b, c, d}, {d, a, b, c}, {c, d, a, b}, {b, c, d, a}};
    for (std::size_t mover = 0; mover < 4; ++mover) {
        EXPECT_EQ(evaluate_with(first_turn_of(mover), policy, {a, b, c, d}).reply.values, four[mover]) << mover;
    }
    // Other lengths follow new[(i + m) mod n] = old[i].
    EXPECT_EQ(evaluate_with(first_turn_of(1), policy, {a, b}).reply.values, (std::vector<float>{b, a}));
    EXPECT_EQ(evaluate_with(first_turn_of(3), policy, {a, b, c}).reply.values, (std::vector<float>{a, b, c}));
    EXPECT_EQ(evaluate_with(first_turn_of(2), policy, {a, b, c, d, e, f}).reply.values,
              (std::vector<float>{e, f, a, b, c, d}));
    EXPECT_EQ(evaluate_with(first_turn_of(0), policy, {}).reply.values, std::vector<float>{});
    EXPECT_EQ(values_by_seat({a, b, c, d, e, f}, 2), (std::vector<float>{e, f, a, b, c, d}));
}

TEST(Evaluation, PriorsAreTheSoftmaxOfThePositiveEntriesOfLegalTiles) {
    const Game game = Game::reset();
    std::vector<float> policy(400, -1.0f);
    policy[0] = 1.0f;
    policy[1] = 2.0f;
    policy[2] = 0.0f;
    policy[3] = kNaN;
    policy[5] = 9.0f;  // not a legal tile
    const auto out = evaluate_with(game, policy, {0, 0, 0, 0});
    ASSERT_EQ(out.node.children.size(), 2u);
    const double e1 = std::exp(1.0), e2 = std::exp(2.0);
    for (const Node& child : out.node.children) {
        ASSERT_TRUE(child.tile == 0 || child.tile == 1) << child.tile;
        EXPECT_NEAR(child.prior, child.tile == 0 ? e1 / (e1 + e2) : e2 / (e1 + e2), 1e-6);
        EXPECT_NEAR(child.prior, child.tile == 0 ? 0.2689 : 0.7311, 1e-4);
        EXPECT_TRUE(child.children.empty());
        EXPECT_EQ(child.player, 0u);
        EXPECT_EQ(child.value_sum, 0.0f);
        EXPECT_EQ(child.visit_count, 0u);
    }
    EXPECT_EQ(out.node.player, 0u);
}

TEST(Evaluation, NoPositiveEntryGivesNoChildrenButStillSetsThePlayerAndValues) {
    std::vector<float> policy(400, 0.0f);
    for (std::size_t i = 0; i < 400; i += 2) policy[i] = -0.5f;
    policy[7] = kNaN;
    const auto out = evaluate_with(first_turn_of(2), policy, {1, 2, 3, 4});
    EXPECT_EQ(out.requests, 1u);
    EXPECT_TRUE(out.node.children.empty());
    EXPECT_EQ(out.node.player, 2u);
    EXPECT_EQ(out.reply.values, (std::vector<float>{3, 4, 1, 2}));
}

TEST(Evaluation, TransportErrorIsReturnedAndLeavesTheNodeUntouched) {
    ScriptedTransport transport([](std::size_t, const BoardState&, EvaluationReply& reply) {
        reply.policy.assign(400, 1.0f);  // a partial reply must not be used
        reply.values.assign(4, 1.0f);
        return std::optional<ScriptedError>(ScriptedError{"EOFError: ", "PyErr { type: <class 'EOFError'> }"});
    });
    Node node = sentinel_node();
    Rng rng(1);
    EvaluationReply reply;
    const auto error = evaluate(node, first_turn_of(1), transport, 0, rng, reply);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->display(), "EOFError: ");
    EXPECT_EQ(error->detail(), "PyErr { type: <class 'EOFError'> }");
    EXPECT_EQ(transport.requests.size(), 1u);
    expect_sentinel(node);
}

// Children are walked in an order of their own per node: a permutation of
// the kept tiles that is not always the same for the same position.
TEST(Evaluation, ChildrenWalkOrderIsAPermutationThatDiffersBetweenNodes) {
    const Game game = Game::reset();
    const auto legal = legal_set(game);
    ScriptedTransport transport(fixed_reply(std::vector<float>(400, 1.0f), {0, 0, 0, 0}));
    Rng rng(99);
    std::set<std::vector<Tile>> orders;
    for (int k = 0; k < 10; ++k) {
        Node node;
        EvaluationReply reply;
        ASSERT_FALSE(evaluate(node, game, transport, 0, rng, reply).has_value());
        std::vector<Tile> order;
        for (const Node& child : node.children) order.push_back(child.tile);
        EXPECT_EQ(std::set<Tile>(order.begin(), order.end()), legal);
        EXPECT_EQ(order.size(), legal.size());
        orders.insert(order);
    }
    EXPECT_GT(orders.size(), 1u);
}

}  // namespace
}  // namespace tarnex::self_play::test
