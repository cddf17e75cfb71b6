// Whole random games, each tile chosen uniformly among the legal ones, with
// the game's state checked after every tile against a model the test keeps
// itself: who owns which cell, which pieces are left, whose turn it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "game.hpp"
#include "test_support.hpp"

namespace tarnex {
namespace {

using test::Owners;
using test::Triple;

// What the test knows about the game without asking the engine.
struct Model {
    Owners owners = test::empty_owners();
    std::array<std::vector<std::size_t>, 4> hands;  // catalogue indices left
    std::array<std::uint32_t, 4> last_sizes{};
    std::array<bool, 4> finished{};
    std::vector<std::pair<std::int32_t, std::int32_t>> history;
    std::size_t mover = 0;
    // The turn-start placements of the mover, with their cells.
    std::vector<std::pair<Triple, std::vector<std::size_t>>> turn_start;
    std::vector<Tile> chosen;

    Model() {
        for (auto& hand : hands) {
            hand.resize(21);
            std::iota(hand.begin(), hand.end(), std::size_t{0});
        }
    }
};

bool contains(const std::vector<std::size_t>& v, std::size_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Takes the game's map at a turn start as the turn's placements, after
// checking it against a fresh generation and checking that each placement is
// allowed by the rules (decided from the ownership alone).
testing::AssertionResult start_turn(Model& m, const Game& g) {
    const std::size_t p = m.mover;
    test::MoveMap own, fresh;
    if (auto r = test::read_map(g.tile_moves, g.board, p, own); !r) return r;
    if (auto r = test::read_map(get_tile_moves(g.board, p), g.board, p, fresh); !r) return r;
    if (auto r = test::same_map(fresh, own); !r) return r << " (turn-start map is not a fresh one)";
    const auto corners = test::expected_corners(m.owners, static_cast<int>(p));
    m.turn_start.clear();
    for (const Triple& t : test::all_triples(own)) {
        const std::size_t cat = m.hands[p].at(std::get<0>(t));
        const Grid& shape = test::pieces()[cat].variants.at(std::get<1>(t)).shape;
        if (!test::fits(m.owners, static_cast<int>(p), corners, shape, std::get<2>(t))) {
            return testing::AssertionFailure() << "placement " << test::describe(t) << " breaks the rules";
        }
        m.turn_start.emplace_back(t, test::covered_cells(cat, std::get<1>(t), std::get<2>(t)));
    }
    m.chosen.clear();
    return testing::AssertionSuccess();
}

// Everything observable about the game, compared with the model.
testing::AssertionResult matches_model(const Model& m, const Game& g) {
    if (g.current_player != m.mover) return testing::AssertionFailure() << "player " << g.current_player
                                                                        << " to move instead of " << m.mover;
    if (g.finished != m.finished) return testing::AssertionFailure() << "finished flags differ";
    if (g.is_terminal() != std::all_of(m.finished.begin(), m.finished.end(), [](bool f) { return f; })) {
        return testing::AssertionFailure() << "is_terminal differs";
    }
    if (g.last_sizes != m.last_sizes) return testing::AssertionFailure() << "last sizes differ";
    if (g.history != m.history) return testing::AssertionFailure() << "history differs";
    if (g.board.cells != test::expected_cells(m.owners)) return testing::AssertionFailure() << "cell bytes differ";
    std::array<std::size_t, 4> left{};
    for (std::size_t p = 0; p < 4; ++p) {
        if (test::members(g.board.corners[p]) != test::expected_corners(m.owners, static_cast<int>(p))) {
            return testing::AssertionFailure() << "corner set of player " << p << " differs";
        }
        for (std::size_t n = 0; n < 400; ++n) {
            if (g.board.closed[p].contains(n) != ((g.board.cells[n] & (0x10 << p)) != 0)) {
                return testing::AssertionFailure() << "closed mark of player " << p << " at " << n << " differs";
            }
        }
        if (g.board.remaining_pieces(p) != m.hands[p] || test::remaining_of(g.board, p) != m.hands[p]) {
            return testing::AssertionFailure() << "remaining pieces of player " << p << " differ";
        }
        left[p] = m.hands[p].size();
        // Outside an open turn a player's cells are exactly its placed pieces.
        if (p != m.mover || m.chosen.empty()) {
            std::uint32_t in_hand = 0;
            for (std::size_t cat : m.hands[p]) in_hand += test::pieces()[cat].size;
            const auto on_board = std::count(m.owners.begin(), m.owners.end(), static_cast<int>(p));
            if (static_cast<std::uint32_t>(on_board) + in_hand != 89) {
                return testing::AssertionFailure() << "player " << p << " has " << on_board << " cells and "
                                                   << in_hand << " in hand";
            }
        }
    }
    const auto scores = test::expected_scores(m.owners, left, m.last_sizes);
    if (g.board.get_scores(g.last_sizes) != scores) return testing::AssertionFailure() << "scores differ";
    if (g.get_payoff() != test::expected_payoff(scores)) return testing::AssertionFailure() << "payoff differs";

    // The open choices: the turn-start placements that cover every chosen
    // tile, listed under each of their cells not chosen yet.
    test::MoveMap expected;
    if (!g.is_terminal()) {
        for (const auto& [t, cells] : m.turn_start) {
            if (!std::all_of(m.chosen.begin(), m.chosen.end(), [&](Tile c) { return contains(cells, c); })) continue;
            for (std::size_t c : cells) {
                if (!contains(m.chosen, c)) expected[c].push_back(t);
            }
        }
    }
    test::MoveMap actual;
    if (auto r = test::read_map(g.tile_moves, g.board, m.mover, actual); !r) return r;
    if (auto r = test::same_map(expected, actual); !r) return r;
    for (const auto& [tile, set] : actual) {
        if (set.empty()) return testing::AssertionFailure() << "key " << tile << " has an empty set";
        if (m.owners[tile] >= 0) return testing::AssertionFailure() << "occupied tile " << tile << " is a key";
    }
    for (Tile c : m.chosen) {
        if (m.owners[c] != static_cast<int>(m.mover)) return testing::AssertionFailure() << "chosen tile not owned";
    }
    const auto legal = test::sorted_legal(g);
    if (legal.empty() != g.is_terminal()) return testing::AssertionFailure() << "legal tiles empty but not over";
    if (g.get_board_state() != test::expected_board_state(m.owners, legal, m.mover)) {
        return testing::AssertionFailure() << "board state differs";
    }
    return testing::AssertionSuccess();
}

// After the mover completes a piece: the next player in order who is not
// finished and has a placement moves; players met without one drop out.
void pass_turn(Model& m) {
    std::size_t q = m.mover;
    while (!std::all_of(m.finished.begin(), m.finished.end(), [](bool f) { return f; })) {
        q = (q + 1) % 4;
        if (m.finished[q]) continue;
        if (test::has_any_placement(m.owners, static_cast<int>(q), m.hands[q])) break;
        m.finished[q] = true;
    }
    m.mover = q;
}

std::string where(unsigned seed, std::size_t step) {
    std::ostringstream s;
    s << "game seed " << seed << ", after " << step << " tiles";
    return s.str();
}

TEST(RandomGames, StateFollowsTheRulesAfterEveryTile) {
    constexpr unsigned kGames = test::scaled(18, 3);
    std::size_t drop_outs_seen = 0, tiles = 0, rejected = 0, copies = 0;
    for (unsigned seed = 0; seed < kGames; ++seed) {
        std::mt19937 rng(seed);
        std::bernoulli_distribution probe(0.05);
        Game g = Game::reset();
        Model m;
        ASSERT_TRUE(start_turn(m, g)) << where(seed, 0);
        ASSERT_TRUE(matches_model(m, g)) << where(seed, 0);
        std::size_t step = 0;
        while (!g.is_terminal()) {
            ASSERT_LT(step, 356u) << where(seed, step) << ": more tiles than the hands hold";
            const auto legal = test::sorted_legal(g);
            ASSERT_FALSE(legal.empty()) << where(seed, step);

            if (probe(rng)) {
                // A tile that is not legal, on or off the board, changes nothing.
                std::vector<Tile> illegal = {400, 401, 1000 + rng() % 100000};
                for (Tile t = 0; t < 400; ++t) {
                    if (!std::binary_search(legal.begin(), legal.end(), t)) illegal.push_back(t);
                }
                const Tile bad = illegal[rng() % illegal.size()];
                const Game before = g;
                std::ostringstream text;
                text << "Invalid move - Player " << g.current_player << ", Tile " << bad;
                ASSERT_EQ(g.apply(bad), std::optional<std::string>(text.str())) << where(seed, step);
                ASSERT_TRUE(test::same_game(g, before)) << where(seed, step) << " tile " << bad;
                ++rejected;
            }
            if (probe(rng)) {
                // Moving a copy on leaves the original as it was.
                const Game before = g;
                Game copy = g;
                for (int k = 0; k < 6 && !copy.is_terminal(); ++k) {
                    ASSERT_EQ(copy.apply(test::random_legal_tile(copy, rng)), std::nullopt);
                }
                ASSERT_TRUE(test::same_game(g, before)) << where(seed, step);
                ASSERT_TRUE(matches_model(m, g)) << where(seed, step);
                ++copies;
            }

            const Tile tile = legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
            const std::size_t p = m.mover;
            ASSERT_EQ(g.apply(tile), std::nullopt) << where(seed, step);
            ++step;
            ++tiles;
            m.owners[tile] = static_cast<int>(p);
            m.history.emplace_back(static_cast<std::int32_t>(p), static_cast<std::int32_t>(tile));
            m.chosen.push_back(tile);

            // Which turn-start placements are still consistent, and is one of
            // them now complete with nothing left to choose?
            std::vector<const std::pair<Triple, std::vector<std::size_t>>*> consistent;
            bool open_cell = false;
            for (const auto& entry : m.turn_start) {
                if (!std::all_of(m.chosen.begin(), m.chosen.end(), [&](Tile c) { return contains(entry.second, c); })) {
                    continue;
                }
                consistent.push_back(&entry);
                for (std::size_t c : entry.second) open_cell = open_cell || !contains(m.chosen, c);
            }
            ASSERT_FALSE(consistent.empty()) << where(seed, step);
            if (!open_cell) {
                // The turn ends: exactly one placement, exactly the chosen cells.
                ASSERT_EQ(consistent.size(), 1u) << where(seed, step);
                const auto& [placement, cells] = *consistent.front();
                ASSERT_EQ(cells.size(), m.chosen.size()) << where(seed, step);
                auto& hand = m.hands[p];
                const std::size_t cat = hand.at(std::get<0>(placement));
                ASSERT_EQ(test::pieces()[cat].size, cells.size());
                hand.erase(hand.begin() + static_cast<std::ptrdiff_t>(std::get<0>(placement)));
                m.last_sizes[p] = static_cast<std::uint32_t>(cells.size());
                const auto finished_before = std::count(m.finished.begin(), m.finished.end(), true);
                pass_turn(m);
                drop_outs_seen += static_cast<std::size_t>(
                    std::count(m.finished.begin(), m.finished.end(), true) - finished_before);
                ASSERT_EQ(g.current_player, m.mover) << where(seed, step);
                ASSERT_EQ(g.finished, m.finished) << where(seed, step);
                if (!g.is_terminal()) {
                    ASSERT_TRUE(start_turn(m, g)) << where(seed, step);
                } else {
                    m.turn_start.clear();
                    m.chosen.clear();
                }
            }
            ASSERT_TRUE(matches_model(m, g)) << where(seed, step);
        }

        // The end: everybody finished, nothing legal, every further tile refused.
        ASSERT_TRUE(std::all_of(m.finished.begin(), m.finished.end(), [](bool f) { return f; }));
        for (std::size_t p = 0; p < 4; ++p) {
            EXPECT_FALSE(test::has_any_placement(m.owners, static_cast<int>(p), m.hands[p])) << where(seed, step);
        }
        EXPECT_TRUE(g.get_legal_tiles().empty());
        const auto board_state = g.get_board_state();
        EXPECT_EQ(std::count(board_state.begin() + 1600, board_state.end(), true), 0);
        const Game before = g;
        for (Tile t : {Tile{0}, Tile{199}, Tile{399}, Tile{400}}) {
            EXPECT_TRUE(g.apply(t).has_value());
            EXPECT_TRUE(test::same_game(g, before));
        }
        const auto payoff = g.get_payoff();
        EXPECT_FLOAT_EQ(std::accumulate(payoff.begin(), payoff.end(), 0.0f), 1.0f) << where(seed, step);
    }
    EXPECT_EQ(drop_outs_seen, 4u * kGames);
    EXPECT_GT(tiles, 150u * kGames);
    EXPECT_GT(rejected, 5u * kGames);
    EXPECT_GT(copies, 5u * kGames);
}

}  // namespace
}  // namespace tarnex
