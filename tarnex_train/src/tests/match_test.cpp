// The match driver with scripted transports: what each kind of player
// chooses, how the two credit rules value a child, whole matches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "match.hpp"
#include "scripted_transport.hpp"

namespace tarnex::match {
namespace {

using self_play::test::ScriptedError;
using self_play::test::ScriptedTransport;

constexpr std::size_t kCells = 400;
const std::vector<float> kRelativeWin = {1.0f, 0.0f, 0.0f, 0.0f};  // the mover's value 1, the rest 0

// A policy of 1 everywhere but the given entries (the mover's frame).
std::vector<float> policy_with(std::initializer_list<std::pair<std::size_t, float>> entries) {
    std::vector<float> policy(kCells, 1.0f);
    for (auto [entry, value] : entries) policy[entry] = value;
    return policy;
}

bool completes_piece(const Game& game, Tile tile) {
    Game next = game;
    (void)next.apply(tile);
    return next.current_player != game.current_player;
}

// A decision that must not fail.
Decision decision(const Player& player, const Game& game, ScriptedTransport& transport, Rng& rng) {
    auto decided = decide(player, game, &transport, 0, rng);
    EXPECT_TRUE(decided);
    return decided ? decided.value() : Decision{};
}

std::size_t pieces_placed(const Game& game) {
    std::size_t placed = 0;
    for (std::size_t p = 0; p < kPlayers; ++p) placed += 21 - game.board.piece_count(p);
    return placed;
}

TEST(MatchPlayers, SearchFollowsTheVisitsWherePolicyFollowsThePrior) {
    // At the start seat 0 chooses among its corner's tiles (board frame =
    // its frame). The prior favours tile 2; the values reward owning tile 42.
    const Tile favoured = 2;
    const Tile rewarded = 42;
    ScriptedTransport transport([&](std::size_t, const BoardState& planes, EvaluationReply& reply) {
        reply.policy = policy_with({{favoured, 3.0f}});
        reply.values = planes[rewarded] ? kRelativeWin : std::vector<float>(4, 0.0f);
        return std::optional<ScriptedError>{};
    });
    const Game start = Game::reset();
    Rng rng(11);

    const Decision policy = decision(PolicyPlayer{0.0f}, start, transport, rng);
    EXPECT_EQ(policy.tile, favoured);
    EXPECT_EQ(policy.shares.size(), start.tile_moves.size());

    const Decision searched = decision(SearchPlayer{200, 1.25f, 19652.0f, Credit::next}, start, transport, rng);
    const Shares& shares = searched.shares;
    EXPECT_EQ(searched.tile, rewarded);
    ASSERT_EQ(shares.size(), start.tile_moves.size());
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    float total = 0.0f;
    for (auto [tile, share] : shares) total += share;
    EXPECT_NEAR(total, 1.0f, 1e-5f);
    const auto most = std::max_element(shares.begin(), shares.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(static_cast<Tile>(most->first), rewarded);
}

TEST(MatchPlayers, AHalvingSpendsTheSimulationsOnTheTopPriorsAndTakesTheBestValued) {
    // Seat 0's first tiles, four of them ahead by prior: 2, 42, then 0 and 20.
    const std::vector<float> policy = policy_with({{2, 3.0f}, {42, 2.5f}, {0, 2.0f}, {20, 2.0f}});
    const Game start = Game::reset();
    const SearchPlayer halving{16, 0.75f, 19652.0f, Credit::chooser, 0.3f, 0.0f, false, 4};
    for (const Tile rewarded : {Tile{42}, Tile{80}}) {
        ScriptedTransport transport([&](std::size_t, const BoardState& planes, EvaluationReply& reply) {
            reply.policy = policy;
            reply.values = planes[rewarded] ? kRelativeWin : std::vector<float>(4, 0.0f);
            return std::optional<ScriptedError>{};
        });
        Rng rng(5);
        std::optional<std::size_t> chosen;
        auto searched = search(start, halving, transport, 0, rng, nullptr, &chosen);
        ASSERT_TRUE(searched && chosen);
        std::map<Tile, std::uint32_t> visits;
        for (const Node& child : searched.value().children) {
            if (child.visit_count > 0) visits[child.tile] = child.visit_count;
        }
        // Two rounds: two simulations for each of the four, then four more
        // for each of the better two (the rewarded tile or the next prior,
        // beside the best prior); no other tile is searched.
        const std::map<Tile, std::uint32_t> schedule = {{2, 6}, {42, 6}, {0, 2}, {20, 2}};
        EXPECT_EQ(visits, schedule);
        // The value decides between the last two (6 visits each, where the
        // most visited would be the best prior); a rewarded tile outside the
        // candidates is never seen, so the best prior stays the choice.
        const Tile expected = rewarded == 42 ? Tile{42} : Tile{2};
        EXPECT_EQ(searched.value().children[*chosen].tile, expected);
        EXPECT_EQ(decision(halving, start, transport, rng).tile, expected);
    }
}

TEST(MatchPlayers, PolicyTiesTemperatureAndUnusableOutput) {
    const Game start = Game::reset();  // legal: 0..4, 20..23, 40..42, 60, 61, 80
    Rng rng(5);
    // Equal top priors: the lowest tile.
    ScriptedTransport tie(self_play::test::fixed_reply(policy_with({{41, 2.0f}, {3, 2.0f}}), kRelativeWin));
    EXPECT_EQ(decision(PolicyPlayer{0.0f}, start, tie, rng).tile, 3u);

    // A temperature draws among the kept tiles (positive entries) only, and
    // not only the top one.
    std::vector<float> two_kept(kCells, -1.0f);
    two_kept[1] = 1.0f;
    two_kept[60] = 0.5f;
    ScriptedTransport kept(self_play::test::fixed_reply(two_kept, kRelativeWin));
    std::set<Tile> drawn;
    for (int i = 0; i < 50; ++i) drawn.insert(decision(PolicyPlayer{1.0f}, start, kept, rng).tile);
    EXPECT_EQ(drawn, (std::set<Tile>{1, 60}));
    for (auto [tile, share] : decision(PolicyPlayer{0.0f}, start, kept, rng).shares) {
        EXPECT_EQ(share > 0.0f, tile == 1 || tile == 60) << tile;
    }

    // No positive entry: a legal tile all the same, drawn uniformly.
    ScriptedTransport none(self_play::test::fixed_reply(std::vector<float>(kCells, 0.0f), kRelativeWin));
    std::set<Tile> fallback;
    for (int i = 0; i < 50; ++i) fallback.insert(decision(PolicyPlayer{0.0f}, start, none, rng).tile);
    EXPECT_GT(fallback.size(), 1u);
    for (Tile tile : fallback) EXPECT_TRUE(start.tile_moves.contains(tile));
}

TEST(MatchPlayers, CreditRulesDifferOnlyWhereAPieceIsCompleted) {
    // A position of a random game in which the mover can both complete its
    // piece and continue it.
    std::vector<Game> positions;
    self_play::test::random_game(4, &positions);
    const Game* game = nullptr;
    Tile completing = kCells;
    Tile continuing = kCells;
    for (const Game& position : positions) {
        completing = continuing = kCells;
        for (Tile tile : position.get_legal_tiles()) (completes_piece(position, tile) ? completing : continuing) = tile;
        if (completing != kCells && continuing != kCells) {
            game = &position;
            break;
        }
    }
    ASSERT_NE(game, nullptr);
    // The root keeps only those two tiles, and every position is worth 1 to
    // its mover. Two simulations with a wide exploration term visit each
    // child once, so each child holds its own position's value.
    const auto root_policy =
        self_play::test::policy_for_tiles(game->current_player, {{completing, 1.0f}, {continuing, 1.0f}});
    auto script = [&](std::size_t index, const BoardState&, EvaluationReply& reply) {
        reply.policy = index == 0 ? root_policy : std::vector<float>(kCells, 1.0f);
        reply.values = kRelativeWin;
        return std::optional<ScriptedError>{};
    };
    for (Credit credit : {Credit::next, Credit::chooser}) {
        ScriptedTransport transport(script);
        Rng rng(3);
        auto searched = search(*game, SearchPlayer{2, 5.0f, 19652.0f, credit}, transport, 0, rng);
        ASSERT_TRUE(searched);
        ASSERT_EQ(searched.value().children.size(), 2u);
        for (const Node& child : searched.value().children) {
            ASSERT_GT(child.visit_count, 0u);
            const float q = child.value_sum / static_cast<float>(child.visit_count);
            // Completing hands the move on: the child is worth 1 to the next
            // mover and 0 to the seat that chose it.
            const bool chooser_loses = credit == Credit::chooser && child.tile == completing;
            EXPECT_EQ(q, chooser_loses ? 0.0f : 1.0f) << "tile " << child.tile;
        }
    }
}

// A tile that ends the game is valued by the payoff, on the centred scale
// the network's values use: 1/4 below the raw share, for the chooser.
TEST(MatchPlayers, AFinishedGameIsValuedOnTheNetworksCentredScale) {
    std::vector<Game> positions;
    self_play::test::random_game(7, &positions);
    const Game* last = nullptr;
    Tile ending = kCells;
    for (const Game& position : positions) {
        for (Tile tile : position.get_legal_tiles()) {
            Game next = position;
            (void)next.apply(tile);
            if (next.is_terminal()) last = &position, ending = tile;
        }
    }
    ASSERT_NE(last, nullptr);
    Game after = *last;
    (void)after.apply(ending);
    const auto payoff = after.get_payoff();
    const auto root_policy = self_play::test::policy_for_tiles(last->current_player, {{ending, 1.0f}});
    ScriptedTransport transport(self_play::test::fixed_reply(root_policy, std::vector<float>(4, 0.0f)));
    Rng rng(1);
    auto searched = search(*last, SearchPlayer{3, 1.0f, 19652.0f, Credit::chooser}, transport, 0, rng);
    ASSERT_TRUE(searched);
    ASSERT_EQ(searched.value().children.size(), 1u);
    const Node& child = searched.value().children.front();
    ASSERT_EQ(child.visit_count, 3u);
    EXPECT_FLOAT_EQ(child.value_sum / 3.0f, payoff[last->current_player] - 0.25f);
}

// Branching on placements: the root's children are the placements that can
// end the turn, the one whose cells the policy likes first; every simulation
// ends a turn; the placing seat is credited whatever credit was asked for;
// the decision plays an open cell of the most visited placement, its shares
// spread over open cells.
TEST(MatchPlayers, APlacementSearchBranchesOnWholeTurnsForThePlacingSeat) {
    std::vector<Game> positions;
    self_play::test::random_game(5, &positions);
    Game game = positions[positions.size() / 4];
    (void)game.apply(game.get_legal_tiles().front());
    if (game.tile_moves.completable().size() < 3) game = positions[positions.size() / 4];
    const std::size_t mover = game.current_player;
    const std::vector<Placement> completable = game.tile_moves.completable();
    ASSERT_GT(completable.size(), 2u);
    const Placement liked = completable.back();
    std::vector<std::pair<Tile, float>> liked_cells;
    for (Tile tile : game.get_legal_tiles()) liked_cells.emplace_back(tile, liked.covers(tile) ? 2.0f : 1.0f);
    const auto root_policy = self_play::test::policy_for_tiles(mover, liked_cells);
    std::size_t requests = 0;
    // Early in the game no seat is out, so the seat before the evaluated
    // position's mover is the one that placed: it wins, the others lose.
    const auto script = [&](std::size_t index, const BoardState&, EvaluationReply& reply) {
        ++requests;
        reply.policy = index == 0 ? root_policy : std::vector<float>(kCells, 1.0f);
        reply.values = {0.0f, 0.0f, 0.0f, 1.0f};
        return std::optional<ScriptedError>{};
    };
    ScriptedTransport transport(script);
    SearchPlayer player{64, 1.0f, 19652.0f, Credit::next};
    player.placements = true;
    Rng rng(4);
    auto searched = search(game, player, transport, 0, rng);
    ASSERT_TRUE(searched) << searched.error();
    const Node& root = searched.value();
    ASSERT_EQ(root.children.size(), completable.size());
    EXPECT_EQ(requests, 65u);  // the root and one leaf per simulation
    const auto liked_child = std::find_if(root.children.begin(), root.children.end(),
                                          [&](const Node& child) { return child.placement == liked; });
    ASSERT_NE(liked_child, root.children.end());
    float total = 0.0f;
    for (const Node& child : root.children) {
        ASSERT_TRUE(child.placement.has_value());
        total += child.prior;
        if (&child != &*liked_child) {
            EXPECT_LT(child.prior, liked_child->prior);
        }
        if (child.visit_count == 0) continue;
        EXPECT_EQ(child.position->board.piece_count(mover) + 1, game.board.piece_count(mover));
        EXPECT_NE(child.position->current_player, mover);
    }
    EXPECT_NEAR(total, 1.0f, 1e-5f);
    // One simulation: its leaf is the chosen child's own position, whose
    // value is the placing seat's, though the credit asked for was `next`.
    SearchPlayer once = player;
    once.sims = 1;
    auto single = search(game, once, transport, 0, rng);
    ASSERT_TRUE(single);
    float backed_up = 0.0f;
    for (const Node& child : single.value().children) backed_up += child.value_sum;
    EXPECT_EQ(backed_up, 1.0f);

    // The same search again, from a fresh script and generator: the same tree.
    Rng decide_rng(4);
    ScriptedTransport again(script);
    const Decision decided = decision(player, game, again, decide_rng);
    std::uint32_t most = 0;
    for (const Node& child : root.children) most = std::max(most, child.visit_count);
    EXPECT_TRUE(std::any_of(root.children.begin(), root.children.end(), [&](const Node& child) {
        return child.visit_count == most && child.placement->covers(decided.tile);
    }));
    EXPECT_TRUE(game.tile_moves.contains(decided.tile));
    float shared = 0.0f;
    for (const auto& [tile, share] : decided.shares) {
        EXPECT_TRUE(game.tile_moves.contains(static_cast<Tile>(tile))) << tile;
        shared += share;
    }
    EXPECT_NEAR(shared, 1.0f, 1e-5f);
}

TEST(Match, MixedSeatsPlayALegalGameToItsEnd) {
    const History opening = random_opening(4, 9);
    auto start = play_opening({opening.begin(), opening.end()});
    ASSERT_TRUE(start);
    ScriptedTransport policy_transport(self_play::test::synthetic(1));
    ScriptedTransport search_transport(self_play::test::synthetic(2));
    const std::array<Player, kPlayers> seats = {
        RandomPlayer{}, ReferencePlayer{ReferenceKind::greedy}, PolicyPlayer{0.0f},
        SearchPlayer{4, 1.25f, 19652.0f, Credit::chooser}};
    Rng rng(17);
    auto played = play_match<ScriptedTransport>(start.value(), seats,
                                                {nullptr, nullptr, &policy_transport, &search_transport}, 7, rng);
    ASSERT_TRUE(played) << played.error();
    const MatchResult& result = played.value();
    ASSERT_TRUE(std::equal(opening.begin(), opening.end(), result.history.begin()));

    Game replay = Game::reset();
    std::array<std::size_t, kPlayers> tiles_after_opening{};
    for (std::size_t i = 0; i < result.history.size(); ++i) {
        const auto [seat, tile] = result.history[i];
        ASSERT_EQ(static_cast<std::size_t>(seat), replay.current_player) << "entry " << i;
        ASSERT_FALSE(replay.apply(static_cast<Tile>(tile))) << "entry " << i;
        if (i >= opening.size()) ++tiles_after_opening[static_cast<std::size_t>(seat)];
    }
    EXPECT_TRUE(replay.is_terminal());
    EXPECT_EQ(result.scores, replay.board.get_scores(replay.last_sizes));
    EXPECT_EQ(result.payoff, replay.get_payoff());
    // Each evaluating seat asked through its own transport only: one request
    // per tile for the policy, a root and up to 4 leaves per tile for the search.
    EXPECT_EQ(policy_transport.requests.size(), tiles_after_opening[2]);
    EXPECT_GT(search_transport.requests.size(), tiles_after_opening[3]);
    EXPECT_LE(search_transport.requests.size(), 5 * tiles_after_opening[3]);
    for (const auto& request : search_transport.requests) EXPECT_EQ(request.id, 7);
}

TEST(Match, EvaluationErrorsEndTheMatchNamingTheSeat) {
    auto failing_at = [](std::size_t failing) {
        return [failing](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
            if (index == failing) return std::optional<ScriptedError>(ScriptedError{"EOFError: gone", "detail"});
            self_play::test::synthetic_reply(planes, 0, reply);
            return std::optional<ScriptedError>{};
        };
    };
    const std::array<Player, kPlayers> seats = {PolicyPlayer{0.0f}, RandomPlayer{}, RandomPlayer{},
                                                SearchPlayer{4, 1.25f, 19652.0f, Credit::next}};
    ScriptedTransport policy_ok(failing_at(1000));
    ScriptedTransport search_fails(failing_at(2));  // a leaf of the first search
    Rng rng(1);
    auto leaf = play_match<ScriptedTransport>(Game::reset(), seats, {&policy_ok, nullptr, nullptr, &search_fails}, 0,
                                              rng);
    ASSERT_FALSE(leaf);
    EXPECT_EQ(leaf.error(), "seat 3: Error evaluating leaf node: EOFError: gone");

    ScriptedTransport policy_fails(failing_at(0));
    auto root = play_match<ScriptedTransport>(Game::reset(), seats, {&policy_fails, nullptr, nullptr, &policy_ok}, 0,
                                              rng);
    ASSERT_FALSE(root);
    EXPECT_EQ(root.error(), "seat 0: Error evaluating root node: EOFError: gone");
}

TEST(Match, OpeningsAreReplayedStrictlyAndDrawnReproducibly) {
    const History opening = random_opening(5, 42);
    EXPECT_EQ(random_opening(5, 42), opening);
    EXPECT_NE(random_opening(5, 43), opening);
    auto played = play_opening({opening.begin(), opening.end()});
    ASSERT_TRUE(played);
    EXPECT_EQ(pieces_placed(played.value()), 5u);  // ends as the fifth turn is complete
    auto short_of_one = play_opening({opening.begin(), opening.end() - 1});
    EXPECT_EQ(pieces_placed(short_of_one.value()), 4u);

    EXPECT_EQ(play_opening({{0, 0}, {1, 1}}).error(),
              "opening entry 1: seat 1 is not the player to move (player 0 is)");
    EXPECT_EQ(play_opening({{0, 399}}).error(), "opening entry 0: tile 399 is not a legal tile for player 0");
    EXPECT_EQ(play_opening({{0, -1}}).error(), "opening entry 0: tile -1 is not a legal tile for player 0");
}

}  // namespace
}  // namespace tarnex::match
