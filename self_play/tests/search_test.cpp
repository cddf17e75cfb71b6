// The PUCT search: the score and the selection rule, root noise, backup, and
// whole searches against scripted transports, including a comparison with a
// search that replays every simulation from the root.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <numeric>
#include <set>
#include <vector>

#include "scripted_transport.hpp"
#include "test_support.hpp"  // same_game: two games compared field by field

namespace tarnex::self_play::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Config config_of(std::uint64_t sims, float alpha = 0.3f, float fraction = 0.25f) {
    Config config;
    config.sims_per_move = sims;
    config.sample_moves = 0;
    config.c_base = 19652.0f;
    config.c_init = 1.25f;
    config.dirichlet_alpha = alpha;
    config.exploration_fraction = fraction;
    return config;
}

// A child as the selection sees it.
struct Kid {
    Tile tile;
    float prior;
    std::uint32_t visits = 0;
    float value_sum = 0.0f;
};

Node child_of(const Kid& kid) {
    Node child;
    child.tile = kid.tile;
    child.prior = kid.prior;
    child.visit_count = kid.visits;
    child.value_sum = kid.value_sum;
    return child;
}

Node parent_of(std::uint32_t visits, const std::vector<Kid>& kids) {
    Node node;
    node.visit_count = visits;
    for (const Kid& kid : kids) node.children.push_back(child_of(kid));
    return node;
}

// ---------------------------------------------------------------- score and selection

TEST(PuctScore, WorkedExamples) {
    Config config;
    config.c_base = 1.0f;
    config.c_init = 0.0f;

    const Node node = parent_of(4, {{1, 0.25f, 1, 0.5f}});
    const float k = exploration_term(node, config);
    EXPECT_NEAR(k, 2.0 * std::log(6.0), 1e-5);  // E = ln 6, K = sqrt(4) * E
    EXPECT_NEAR(k, 3.5835, 1e-4);
    const float score = puct_score(k, node.children[0]);
    EXPECT_NEAR(score, 0.25 * std::log(6.0) + 0.5, 1e-6);
    EXPECT_NEAR(score, 0.9479, 1e-4);

    const Node fresh = parent_of(1, {{1, 0.5f}});
    const float k1 = exploration_term(fresh, config);
    EXPECT_NEAR(k1, std::log(3.0), 1e-6);
    EXPECT_NEAR(puct_score(k1, fresh.children[0]), 0.5 * std::log(3.0), 1e-6);
    EXPECT_NEAR(puct_score(k1, fresh.children[0]), 0.5493, 1e-4);
}

TEST(PuctScore, UnvisitedChildHasNoValueTermAndAnUnvisitedNodeNoExploration) {
    // Q is 0 for an unvisited child whatever its value sum says.
    EXPECT_EQ(puct_score(2.0f, child_of({1, 0.5f, 0, 100.0f})), 1.0f);
    // N = 0 at the node: K = sqrt(0) * E = 0, only Q remains.
    Config config = config_of(1);
    const Node node = parent_of(0, {{1, 0.9f, 2, 0.5f}});
    EXPECT_EQ(exploration_term(node, config), 0.0f);
    EXPECT_EQ(puct_score(0.0f, node.children[0]), 0.25f);
}

TEST(SelectChild, GreatestScoreWinsAndTiesGoToTheLastInWalkOrder) {
    const Config config = config_of(1);
    // The greatest score wins wherever it is.
    Node node = parent_of(1, {{10, 0.6f}, {11, 0.2f}, {12, 0.2f}});
    EXPECT_EQ(select_child(node, config).tile, 10u);
    // Equal unvisited priors: the last one.
    node = parent_of(1, {{10, 0.25f}, {11, 0.25f}, {12, 0.25f}, {13, 0.25f}});
    EXPECT_EQ(select_child(node, config).tile, 13u);
    // Equal best scores with a lower one behind them: the later of the equal ones.
    node = parent_of(5, {{10, 0.4f, 2, 1.0f}, {11, 0.4f, 2, 1.0f}, {12, 0.1f, 1, -1.0f}});
    EXPECT_EQ(select_child(node, config).tile, 11u);
    // Scores below zero still compete: the least negative wins.
    node = parent_of(9, {{10, 0.0f, 3, -3.0f}, {11, 0.0f, 3, -1.5f}, {12, 0.0f, 3, -2.0f}});
    EXPECT_EQ(select_child(node, config).tile, 11u);
}

TEST(SelectChild, NanScoresAreNeverSelectedAndAllNanTakesTheLastChild) {
    const Config config = config_of(1);
    // NaN prior (last) and NaN value (first) lose to any number.
    Node node = parent_of(3, {{10, 0.5f, 1, kNaN}, {11, 0.1f, 1, -0.5f}, {12, kNaN}});
    EXPECT_EQ(select_child(node, config).tile, 11u);
    node = parent_of(3, {{10, kNaN}, {11, 0.0f, 1, -5.0f}});
    EXPECT_EQ(select_child(node, config).tile, 11u);
    // Every score NaN: the last child in walk order.
    node = parent_of(3, {{10, kNaN}, {11, 0.5f, 1, kNaN}, {12, kNaN, 2, 1.0f}});
    EXPECT_EQ(select_child(node, config).tile, 12u);
}

// ---------------------------------------------------------------- root noise

Node root_with_priors(const std::vector<float>& priors) {
    Node root;
    for (std::size_t j = 0; j < priors.size(); ++j) root.children.push_back(child_of({j, priors[j]}));
    return root;
}

std::vector<float> priors_of(const Node& node) {
    std::vector<float> out;
    for (const Node& child : node.children) out.push_back(child.prior);
    return out;
}

// Whether two generators are in the same state, judged by their next outputs.
bool same_state(Rng a, Rng b) {
    for (int k = 0; k < 4; ++k) {
        if (a() != b()) return false;
    }
    return true;
}

TEST(RootNoise, FractionZeroKeepsThePriorsButStillDrawsTheSample) {
    const std::vector<float> priors = {0.1f, 0.2f, 0.3f, 0.4f};
    Node root = root_with_priors(priors);
    Rng rng(5);
    const Rng before = rng;
    add_root_noise(root, config_of(1, 0.3f, 0.0f), rng);
    EXPECT_EQ(priors_of(root), priors);
    EXPECT_FALSE(same_state(rng, before));
}

TEST(RootNoise, FractionOneReplacesThePriorsByTheSampleAndOtherFractionsMix) {
    const std::vector<float> priors = {0.1f, 0.2f, 0.3f, 0.4f};
    Node replaced = root_with_priors(priors);
    Rng rng1(5);
    add_root_noise(replaced, config_of(1, 0.3f, 1.0f), rng1);
    const std::vector<float> eta = priors_of(replaced);
    double sum = 0.0;
    for (float x : eta) {
        EXPECT_GE(x, 0.0f);
        EXPECT_LE(x, 1.0f);
        sum += x;
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_NE(eta, priors);

    // The same generator state gives the same sample: (1 - e) * prior + e * eta.
    Node mixed = root_with_priors(priors);
    Rng rng2(5);
    add_root_noise(mixed, config_of(1, 0.3f, 0.25f), rng2);
    for (std::size_t j = 0; j < priors.size(); ++j) {
        const float keep = 1.0f - 0.25f;
        const float kept = keep * priors[j];
        const float noise = 0.25f * eta[j];
        EXPECT_EQ(mixed.children[j].prior, kept + noise) << j;
    }
    EXPECT_TRUE(same_state(rng1, rng2));
}

TEST(RootNoise, NoSampleForFewerThanTwoChildrenWhateverAlpha) {
    for (float alpha : {0.3f, 0.0f, -1.0f, kNaN}) {
        Node one = root_with_priors({0.7f});
        Node none;
        Rng rng(5);
        const Rng before = rng;
        add_root_noise(one, config_of(1, alpha, 1.0f), rng);
        add_root_noise(none, config_of(1, alpha, 1.0f), rng);
        EXPECT_EQ(one.children[0].prior, 0.7f);
        EXPECT_TRUE(none.children.empty());
        EXPECT_TRUE(same_state(rng, before));
    }
}

TEST(RootNoise, AlphaNotAboveZeroIsFatalWithTwoOrMoreChildren) {
    for (float alpha : {0.0f, -0.0f, -1.0f, kNaN, -std::numeric_limits<float>::infinity()}) {
        Node root = root_with_priors({0.5f, 0.5f});
        Rng rng(5);
        EXPECT_THROW(add_root_noise(root, config_of(1, alpha, 0.25f), rng), Fault) << alpha;
        EXPECT_EQ(priors_of(root), (std::vector<float>{0.5f, 0.5f}));
    }
}

// The sample follows the symmetric Dirichlet distribution: with n = 4 and
// alpha 0.3 each component has mean 1/4 and variance (n - 1) / (n^2 (n alpha + 1)).
TEST(RootNoise, SampleHasTheMomentsOfTheSymmetricDirichlet) {
    for (float alpha : {0.3f, 2.0f}) {
        const std::size_t n = 4;
        const int draws = 20000;
        Rng rng(17);
        std::vector<double> mean(n, 0.0), square(n, 0.0);
        for (int k = 0; k < draws; ++k) {
            Node root = root_with_priors(std::vector<float>(n, 0.25f));
            add_root_noise(root, config_of(1, alpha, 1.0f), rng);
            for (std::size_t j = 0; j < n; ++j) {
                mean[j] += root.children[j].prior;
                square[j] += double{root.children[j].prior} * root.children[j].prior;
            }
        }
        const double variance = (n - 1.0) / (n * n * (n * alpha + 1.0));
        for (std::size_t j = 0; j < n; ++j) {
            const double m = mean[j] / draws;
            const double v = square[j] / draws - m * m;
            EXPECT_NEAR(m, 0.25, 0.01) << "alpha " << alpha << " component " << j;
            EXPECT_NEAR(v, variance, variance * 0.08) << "alpha " << alpha << " component " << j;
        }
    }
}

// ---------------------------------------------------------------- backup

TEST(Backup, EachNodeOnThePathAddsTheValueOfItsOwnPlayer) {
    Node a, b, c;
    a.player = 2;
    a.value_sum = 1.0f;
    a.visit_count = 3;
    b.player = 0;
    c.player = 3;
    c.value_sum = -0.5f;
    backup({&a, &b, &c}, {0.1f, 0.2f, 0.3f, 0.4f});
    EXPECT_EQ(a.value_sum, 0.3f + 1.0f);
    EXPECT_EQ(a.visit_count, 4u);
    EXPECT_EQ(b.value_sum, 0.1f);
    EXPECT_EQ(b.visit_count, 1u);
    EXPECT_EQ(c.value_sum, 0.4f + -0.5f);
    EXPECT_EQ(c.visit_count, 1u);

    Node d;
    d.player = 2;
    EXPECT_THROW(backup({&d}, {0.1f, 0.2f}), Fault);
}

// ---------------------------------------------------------------- whole searches

TEST(RunSearch, ZeroSimulationsEvaluateOnlyTheRoot) {
    ScriptedTransport transport(synthetic(1));
    Rng rng(1);
    const auto root = run_search(Game::reset(), config_of(0), transport, 3, rng);
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(transport.requests.size(), 1u);
    EXPECT_EQ(root.value().visit_count, 0u);
    EXPECT_FALSE(root.value().children.empty());
    for (const Node& child : root.value().children) {
        EXPECT_EQ(child.visit_count, 0u);
        EXPECT_TRUE(child.children.empty());
    }
}

// With the generator's noise out of the way, the first simulation follows
// the largest prior: the policy is largest at tile 22.
TEST(RunSearch, FirstSimulationFollowsTheLargestPrior) {
    const Game game = Game::reset();
    std::vector<float> policy(400, 0.5f);
    policy[22] = 0.9f;
    policy[41] = 0.8f;
    ScriptedTransport transport(fixed_reply(policy, {0, 0, 0, 0}));
    Rng rng(1);
    const auto root = run_search(game, config_of(1, 0.3f, 0.0f), transport, 0, rng);
    ASSERT_TRUE(root.has_value());
    for (const Node& child : root.value().children) EXPECT_EQ(child.visit_count, child.tile == 22 ? 1u : 0u);
}

TEST(RunSearch, RequestCountIsOnePlusTheSimulationsAndEveryRequestCarriesTheId) {
    std::vector<Game> positions;
    random_game(21, &positions);
    for (std::size_t sims : {1u, 7u, 40u}) {
        ScriptedTransport transport(synthetic(2));
        Rng rng(sims);
        const auto root = run_search(positions[positions.size() / 3], config_of(sims), transport, -42, rng);
        ASSERT_TRUE(root.has_value());
        EXPECT_EQ(transport.requests.size(), 1 + sims);
        for (const Request& r : transport.requests) EXPECT_EQ(r.id, -42);
        EXPECT_EQ(root.value().visit_count, sims);
    }
}

TEST(RunSearch, RootWithOneChildGetsNoNoiseAndEverySimulationGoesThroughIt) {
    const Game game = first_turn_of(1);
    // Only tile 17 is positive; alpha 0 would be fatal if noise were drawn.
    ScriptedTransport transport(fixed_reply(policy_for_tiles(1, {{17, 1.0f}}), {0, 0, 0, 0}));
    Rng rng(1);
    const auto root = run_search(game, config_of(12, 0.0f, 1.0f), transport, 0, rng);
    ASSERT_TRUE(root.has_value());
    ASSERT_EQ(root.value().children.size(), 1u);
    EXPECT_EQ(root.value().children[0].tile, 17u);
    EXPECT_EQ(root.value().children[0].prior, 1.0f);
    EXPECT_EQ(root.value().children[0].visit_count, 12u);
    EXPECT_EQ(root.value().visit_count, 12u);
}

TEST(RunSearch, RootWithoutChildrenIsEvaluatedAgainBySimulation) {
    const Game game = first_turn_of(2);
    ScriptedTransport transport(fixed_reply(std::vector<float>(400, 0.0f), {1, 1, 1, 1}));
    Rng rng(1);
    const auto root = run_search(game, config_of(5, 0.0f), transport, 0, rng);
    ASSERT_TRUE(root.has_value());
    EXPECT_TRUE(root.value().children.empty());
    EXPECT_EQ(root.value().visit_count, 5u);
    EXPECT_EQ(root.value().value_sum, 0.0f);
    EXPECT_EQ(root.value().player, 2u);
    ASSERT_EQ(transport.requests.size(), 6u);
    for (const Request& r : transport.requests) EXPECT_EQ(r.planes, game.get_board_state());
}

// Values reach each node of the path in the frame of that node's player.
// From seat 0's tiles 0, 1, 2 the path goes 3 (seat 0 goes on), 4 (the
// straight five is complete, seat 1 to move), 19 (seat 1 goes on); replies
// are given in their mover's frame.
TEST(RunSearch, BackupAddsEachNodesOwnSeatValue) {
    Game game = Game::reset();
    for (Tile t : {0, 1, 2}) ASSERT_FALSE(game.apply(t).has_value());
    ScriptedTransport transport([](std::size_t index, const BoardState&, EvaluationReply& reply) {
        switch (index) {
            case 0:  // root, seat 0
                reply.policy = policy_for_tiles(0, {{3, 1.0f}});
                reply.values = {-1, -1, -1, -1};
                break;
            case 1:  // after 3, seat 0
                reply.policy = policy_for_tiles(0, {{4, 1.0f}});
                reply.values = {1, 2, 3, 4};
                break;
            case 2:  // after 4, seat 1
                reply.policy = policy_for_tiles(1, {{19, 1.0f}});
                reply.values = {10, 20, 30, 40};
                break;
            default:  // after 19, seat 1
                reply.policy = policy_for_tiles(1, {{18, 1.0f}});
                reply.values = {100, 200, 300, 400};
                break;
        }
        return std::optional<ScriptedError>{};
    });
    Rng rng(1);
    const auto searched = run_search(game, config_of(3), transport, 0, rng);
    ASSERT_TRUE(searched.has_value());
    EXPECT_EQ(transport.requests.size(), 4u);
    const Node& root = searched.value();
    EXPECT_EQ(root.value_sum, 0.0f);
    EXPECT_EQ(root.visit_count, 3u);
    ASSERT_EQ(root.children.size(), 1u);
    const Node& x = root.children[0];
    ASSERT_EQ(x.children.size(), 1u);
    const Node& y = x.children[0];
    ASSERT_EQ(y.children.size(), 1u);
    const Node& z = y.children[0];
    EXPECT_EQ((std::vector<Tile>{x.tile, y.tile, z.tile}), (std::vector<Tile>{3, 4, 19}));
    EXPECT_EQ((std::vector<std::size_t>{x.player, y.player, z.player}), (std::vector<std::size_t>{0, 1, 1}));
    EXPECT_EQ((std::vector<std::uint32_t>{x.visit_count, y.visit_count, z.visit_count}),
              (std::vector<std::uint32_t>{3, 2, 1}));
    // Seat 0 reads entry 3 of seat 1's replies, seat 1 entry 0.
    EXPECT_EQ(x.value_sum, 400.0f + (40.0f + 1.0f));
    EXPECT_EQ(y.value_sum, 100.0f + 10.0f);
    EXPECT_EQ(z.value_sum, 100.0f);
}

// The position before the last tile of a finished random game whose last
// mover is not seat 0 and whose payoff differs between seat 0 and that mover.
struct Ending {
    Game before;
    Tile last;
    std::array<float, 4> payoff;
};

Ending find_ending() {
    for (unsigned seed = 1; seed < 500; ++seed) {
        std::vector<Game> positions;
        const Game end = random_game(seed, &positions);
        const auto [seat, tile] = end.history.back();
        const auto payoff = end.get_payoff();
        if (seat != 0 && payoff[0] != payoff[static_cast<std::size_t>(seat)]) {
            return {positions.back(), static_cast<Tile>(tile), payoff};
        }
    }
    ADD_FAILURE() << "no suitable game";
    return {Game::reset(), 0, {}};
}

TEST(RunSearch, FinishedLeafIsValuedByThePayoffWithoutARequestAndKeepsPlayerZero) {
    const Ending ending = find_ending();
    Game check = ending.before;
    ASSERT_FALSE(check.apply(ending.last).has_value());
    ASSERT_TRUE(check.is_terminal());

    const std::size_t mover = ending.before.current_player;
    ScriptedTransport transport(fixed_reply(policy_for_tiles(mover, {{ending.last, 1.0f}}), {0.5f, 0.5f, 0.5f, 0.5f}));
    Rng rng(1);
    const std::uint64_t sims = 6;
    const auto searched = run_search(ending.before, config_of(sims), transport, 0, rng);
    ASSERT_TRUE(searched.has_value());
    EXPECT_EQ(transport.requests.size(), 1u);  // 1 + sims, less the sims that ended on the finished leaf
    const Node& root = searched.value();
    EXPECT_EQ(root.player, mover);
    ASSERT_EQ(root.children.size(), 1u);
    const Node& leaf = root.children[0];
    EXPECT_TRUE(leaf.children.empty());
    EXPECT_EQ(leaf.player, 0u);
    EXPECT_EQ(leaf.visit_count, sims);
    float expected = 0.0f;
    for (std::uint64_t k = 0; k < sims; ++k) expected = ending.payoff[0] + expected;
    EXPECT_EQ(leaf.value_sum, expected);
}

TEST(RunSearch, RootErrorIsReturnedWithItsDisplayTextAndALeafErrorIsFatal) {
    const ScriptedError error{"EOFError: pipe closed", "PyErr { type: <class 'EOFError'> }"};
    for (std::size_t failing : {0u, 1u, 3u}) {
        ScriptedTransport transport([&](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
            if (index == failing) return std::optional<ScriptedError>(error);
            synthetic_reply(planes, 1, reply);
            return std::optional<ScriptedError>{};
        });
        Rng rng(1);
        if (failing == 0) {
            const auto searched = run_search(Game::reset(), config_of(5), transport, 0, rng);
            ASSERT_FALSE(searched.has_value());
            EXPECT_EQ(searched.error(), "Error evaluating root node: EOFError: pipe closed");
            EXPECT_EQ(transport.requests.size(), 1u);
        } else {
            EXPECT_THROW((void)run_search(Game::reset(), config_of(5), transport, 0, rng), Fault);
            EXPECT_EQ(transport.requests.size(), failing + 1);
        }
    }
}

TEST(RunSearch, BadAlphaWithTwoChildrenFailsBeforeAnySimulation) {
    ScriptedTransport transport(synthetic(1));
    Rng rng(1);
    EXPECT_THROW((void)run_search(Game::reset(), config_of(5, 0.0f), transport, 0, rng), Fault);
    EXPECT_EQ(transport.requests.size(), 1u);
}

// ---------------------------------------------------------------- the search against a replay from the root

// The search as the rules tell it: every simulation plays its path on a
// fresh copy of the root position.
Node replaying_search(const Game& game, const Config& config, ScriptedTransport& transport, Rng& rng,
                      std::size_t& finished_leaves) {
    Node root;
    EvaluationReply reply;
    if (evaluate(root, game, transport, 0, rng, reply)) ADD_FAILURE() << "root error";
    add_root_noise(root, config, rng);
    for (std::uint64_t sim = 0; sim < config.sims_per_move; ++sim) {
        ++root.visit_count;
        Game copy = game;
        std::vector<Node*> path;
        Node* node = &root;
        while (!node->is_leaf()) {
            Node& child = select_child(*node, config);
            (void)copy.apply(child.tile);
            path.push_back(&child);
            node = &child;
        }
        if (copy.is_terminal()) ++finished_leaves;
        if (evaluate(*node, copy, transport, 0, rng, reply)) ADD_FAILURE() << "leaf error";
        backup(path, reply.values);
    }
    return root;
}

testing::AssertionResult same_tree(const Node& a, const Node& b, const std::string& where) {
    if (a.tile != b.tile || a.player != b.player || a.visit_count != b.visit_count ||
        std::memcmp(&a.value_sum, &b.value_sum, sizeof(float)) != 0 ||
        std::memcmp(&a.prior, &b.prior, sizeof(float)) != 0 || a.children.size() != b.children.size()) {
        return testing::AssertionFailure() << "nodes differ at " << where;
    }
    for (std::size_t k = 0; k < a.children.size(); ++k) {
        auto r = same_tree(a.children[k], b.children[k], where + "/" + std::to_string(a.children[k].tile));
        if (!r) return r;
    }
    return testing::AssertionSuccess();
}

// Visit counts: each expanded node below the root counts its own expansion
// plus its children's visits; a leaf counts its evaluations.
void check_visit_counts(const Node& node) {
    for (const Node& child : node.children) {
        if (!child.children.empty()) {
            std::uint32_t below = 0;
            for (const Node& c : child.children) below += c.visit_count;
            EXPECT_EQ(child.visit_count, below + 1) << "tile " << child.tile;
        }
        check_visit_counts(child);
    }
}

// Every position a node keeps is the root's position with the node's path applied.
void check_kept_positions(const Node& node, const Game& root_game, std::vector<Tile>& path, std::size_t& kept) {
    if (node.position) {
        Game replay = root_game;
        for (Tile t : path) (void)replay.apply(t);
        EXPECT_TRUE(tarnex::test::same_game(*node.position, replay)) << "path length " << path.size();
        ++kept;
    }
    for (const Node& child : node.children) {
        path.push_back(child.tile);
        check_kept_positions(child, root_game, path, kept);
        path.pop_back();
    }
}

TEST(RunSearch, SameRequestsAndTreeAsReplayingEachSimulationFromTheRoot) {
    std::vector<Game> positions;
    random_game(8, &positions);
    std::vector<Game> roots = {Game::reset()};
    for (std::size_t i = 40; i < positions.size(); i += 60) roots.push_back(positions[i]);
    roots.push_back(positions[positions.size() - 3]);  // near the end: finished leaves
    std::size_t total_finished = 0;
    for (std::size_t r = 0; r < roots.size(); ++r) {
        SCOPED_TRACE(r);
        const Config config = config_of(150);
        ScriptedTransport cached_transport(synthetic(r)), replay_transport(synthetic(r));
        Rng cached_rng(100 + r), replay_rng(100 + r);
        std::size_t finished = 0;
        const auto cached = run_search(roots[r], config, cached_transport, 0, cached_rng);
        const Node replayed = replaying_search(roots[r], config, replay_transport, replay_rng, finished);
        ASSERT_TRUE(cached.has_value());
        total_finished += finished;

        ASSERT_EQ(cached_transport.requests.size(), replay_transport.requests.size());
        EXPECT_EQ(cached_transport.requests.size(), 1 + config.sims_per_move - finished);
        for (std::size_t q = 0; q < cached_transport.requests.size(); ++q) {
            ASSERT_EQ(cached_transport.requests[q].planes, replay_transport.requests[q].planes) << "request " << q;
        }
        EXPECT_TRUE(same_tree(cached.value(), replayed, "root"));

        std::vector<Tile> path;
        std::size_t kept = 0;
        check_kept_positions(cached.value(), roots[r], path, kept);
        EXPECT_GT(kept, 0u);

        // The root counts every simulation; each went through one of its children.
        check_visit_counts(cached.value());
        const Node& root = cached.value();
        std::uint32_t below = 0;
        for (const Node& c : root.children) below += c.visit_count;
        EXPECT_EQ(root.visit_count, config.sims_per_move);
        EXPECT_EQ(below, config.sims_per_move);
    }
    EXPECT_GT(total_finished, 0u);
}

}  // namespace
}  // namespace tarnex::self_play::test
