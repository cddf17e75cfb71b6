// The move generator against a brute-force one: every remaining piece, every
// variant, every anchor tried with Board::is_valid_move, on positions drawn
// from seeded random games, for every player at each position. Then the
// narrowing of the map during a turn against the turn-start map filtered by
// brute force.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "game.hpp"
#include "test_support.hpp"

namespace tarnex {
namespace {

using test::MoveMap;
using test::Triple;

std::string where(unsigned seed, std::size_t step, std::size_t player) {
    std::ostringstream s;
    s << "game seed " << seed << ", after " << step << " tiles, map of player " << player;
    return s.str();
}

TEST(MoveGenOracle, AgreesWithBruteForceOnRandomGamePositions) {
    constexpr unsigned kGames = test::scaled(160, 12);
    std::size_t positions = 0, mid_turn = 0, turn_starts = 0, late = 0, nonempty_maps = 0, empty_maps = 0;
    for (unsigned seed = 0; seed < kGames; ++seed) {
        std::mt19937 rng(1000 + seed);
        // Sample about one position in 24, so that each game gives a dozen
        // positions spread from the first tile to the end.
        std::bernoulli_distribution sample(1.0 / 24);
        Game g = Game::reset();
        bool turn_start = true;
        for (std::size_t step = 0;; ++step) {
            const bool last = g.is_terminal();
            if (sample(rng) || last) {
                ++positions;
                mid_turn += turn_start ? 0 : 1;
                turn_starts += turn_start ? 1 : 0;
                late += step > 200 ? 1 : 0;
                for (std::size_t q = 0; q < 4; ++q) {
                    const MoveMap expected = test::brute_force_map(g.board, q);
                    MoveMap actual;
                    ASSERT_TRUE(test::read_map(get_tile_moves(g.board, q), g.board, q, actual)) << where(seed, step, q);
                    ASSERT_TRUE(test::same_map(expected, actual)) << where(seed, step, q);
                    (expected.empty() ? empty_maps : nonempty_maps) += 1;
                    if (q == g.current_player && turn_start) {
                        // At a turn start the game's own map is that map.
                        MoveMap own;
                        ASSERT_TRUE(test::read_map(g.tile_moves, g.board, q, own)) << where(seed, step, q);
                        ASSERT_TRUE(test::same_map(expected, own)) << where(seed, step, q) << " (game's map)";
                    }
                }
            }
            if (last) break;
            // Every tile takes an empty cell of the 356 the four hands can fill.
            ASSERT_LT(step, 356u) << "game seed " << seed << " does not end";
            const std::size_t p = g.current_player;
            const std::size_t hand = g.board.piece_count(p);
            ASSERT_EQ(g.apply(test::random_legal_tile(g, rng)), std::nullopt);
            turn_start = g.board.piece_count(p) != hand;
        }
    }
    // The sample really covers the game (about 2000 positions in an
    // optimised build): many in the middle of a turn, many late, and maps both
    // full and empty.
    EXPECT_GE(positions, 12u * kGames);
    EXPECT_GE(mid_turn, 7u * kGames);
    EXPECT_GE(turn_starts, 2u * kGames);
    EXPECT_GE(late, 3u * kGames);
    EXPECT_GE(nonempty_maps, 35u * kGames);
    EXPECT_GE(empty_maps, 4u * kGames);
}

// During a turn the set of each remaining key holds exactly the placements of
// the turn-start map that cover that key and every tile chosen so far; the
// turn ends exactly when no such placement has an unchosen cell.
TEST(MoveGenOracle, NarrowingFollowsTheTurnStartMap) {
    constexpr unsigned kGames = test::scaled(18, 2);
    std::size_t checked_steps = 0, turns = 0;
    for (unsigned seed = 0; seed < kGames; ++seed) {
        std::mt19937 rng(5000 + seed);
        Game g = Game::reset();
        std::map<Triple, std::vector<std::size_t>> start;  // turn-start placements with their cells
        std::vector<Tile> chosen;
        std::size_t step = 0;
        const auto begin_turn = [&]() -> testing::AssertionResult {
            const std::size_t p = g.current_player;
            const MoveMap expected = test::brute_force_map(g.board, p);
            MoveMap own;
            if (auto r = test::read_map(g.tile_moves, g.board, p, own); !r) return r;
            if (auto r = test::same_map(expected, own); !r) return r;
            start.clear();
            const auto hand = test::remaining_of(g.board, p);
            for (const Triple& t : test::all_triples(expected)) {
                start[t] = test::covered_cells(hand[std::get<0>(t)], std::get<1>(t), std::get<2>(t));
            }
            chosen.clear();
            ++turns;
            return testing::AssertionSuccess();
        };
        ASSERT_TRUE(begin_turn()) << where(seed, step, 0);
        while (!g.is_terminal()) {
            ASSERT_LT(step, 356u) << "game seed " << seed << " does not end";
            const std::size_t p = g.current_player;
            const std::size_t hand = g.board.piece_count(p);
            const Tile tile = test::random_legal_tile(g, rng);
            ASSERT_EQ(g.apply(tile), std::nullopt);
            ++step;
            chosen.push_back(tile);
            MoveMap expected;
            std::size_t consistent = 0;
            for (const auto& [t, cells] : start) {
                const bool covers_all = std::all_of(chosen.begin(), chosen.end(), [&](Tile c) {
                    return std::find(cells.begin(), cells.end(), c) != cells.end();
                });
                if (!covers_all) continue;
                ++consistent;
                for (std::size_t c : cells) {
                    if (std::find(chosen.begin(), chosen.end(), c) == chosen.end()) expected[c].push_back(t);
                }
            }
            ASSERT_GE(consistent, 1u) << where(seed, step, p);
            if (expected.empty()) {
                // Completed: exactly one placement, made of the chosen tiles.
                ASSERT_EQ(consistent, 1u) << where(seed, step, p);
                ASSERT_EQ(g.board.piece_count(p), hand - 1) << where(seed, step, p);
                if (!g.is_terminal()) {
                    ASSERT_TRUE(begin_turn()) << where(seed, step, g.current_player);
                }
            } else {
                ASSERT_EQ(g.current_player, p) << where(seed, step, p);
                ASSERT_EQ(g.board.piece_count(p), hand) << where(seed, step, p);
                MoveMap actual;
                ASSERT_TRUE(test::read_map(g.tile_moves, g.board, p, actual)) << where(seed, step, p);
                ASSERT_TRUE(test::same_map(expected, actual)) << where(seed, step, p);
                ++checked_steps;
            }
        }
    }
    EXPECT_GE(turns, 55u * kGames);
    EXPECT_GE(checked_steps, 180u * kGames);
}

}  // namespace
}  // namespace tarnex
