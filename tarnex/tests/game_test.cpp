// Move maps of known positions and the tile-by-tile turn: reset, narrowing,
// completing pieces, drop-outs, the end of the game, payoff and the picture
// handed to the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fault.hpp"
#include "game.hpp"
#include "test_support.hpp"

namespace tarnex {
namespace {

using test::MoveMap;
using test::Triple;

std::set<Tile> legal_set(const Game& g) {
    const auto tiles = g.get_legal_tiles();
    return {tiles.begin(), tiles.end()};
}

// Cells within four steps (row + column distance) of a player's start corner.
std::set<Tile> start_region(std::size_t player) {
    std::set<Tile> out;
    const std::size_t sr = test::kStart[player] / 20, sc = test::kStart[player] % 20;
    for (std::size_t n = 0; n < 400; ++n) {
        const std::size_t r = n / 20, c = n % 20;
        const std::size_t d = (r > sr ? r - sr : sr - r) + (c > sc ? c - sc : sc - c);
        if (d <= 4) out.insert(n);
    }
    return out;
}

const std::set<Tile> kPlayer0Start = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

MoveMap map_of(const TileMoves& moves, const Board& board, std::size_t player) {
    MoveMap out;
    EXPECT_TRUE(test::read_map(moves, board, player, out));
    return out;
}

std::size_t count_true(const BoardState& s, std::size_t plane) {
    return static_cast<std::size_t>(std::count(s.begin() + plane * 400, s.begin() + (plane + 1) * 400, true));
}

TEST(Reset, StartingPosition) {
    const Game g = Game::reset();
    EXPECT_EQ(g.current_player, 0u);
    EXPECT_EQ(legal_set(g), kPlayer0Start);
    EXPECT_EQ(legal_set(g), start_region(0));
    EXPECT_EQ(g.get_legal_tiles().size(), 15u);
    EXPECT_FALSE(g.is_terminal());
    EXPECT_TRUE(g.history.empty());
    EXPECT_EQ(g.last_sizes, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(g.finished, (std::array<bool, 4>{false, false, false, false}));
    EXPECT_EQ(g.board.get_scores(g.last_sizes), (std::array<std::int32_t, 4>{-89, -89, -89, -89}));
    EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.25f}));
    const BoardState s = g.get_board_state();
    for (std::size_t plane = 0; plane < 4; ++plane) EXPECT_EQ(count_true(s, plane), 0u) << "plane " << plane;
    for (std::size_t n = 0; n < 400; ++n) EXPECT_EQ(s[4 * 400 + n], kPlayer0Start.count(n) == 1) << "cell " << n;
}

TEST(StartMaps, FifteenTilesAndFiftyEightPlacementsForEveryPlayer) {
    const Board board = Board::new_();
    for (std::size_t p = 0; p < 4; ++p) {
        SCOPED_TRACE("player " + std::to_string(p));
        const MoveMap map = map_of(get_tile_moves(board, p), board, p);
        std::set<Tile> keys;
        for (const auto& [t, set] : map) keys.insert(t);
        EXPECT_EQ(keys, start_region(p));
        const auto placements = test::all_triples(map);
        EXPECT_EQ(placements.size(), 58u);
        // Every placement covers the start cell and lies in its set.
        for (const Triple& t : placements) {
            const auto cells = test::covered_cells(std::get<0>(t), std::get<1>(t), std::get<2>(t));
            EXPECT_NE(std::find(cells.begin(), cells.end(), test::kStart[p]), cells.end()) << test::describe(t);
        }
        EXPECT_EQ(map.at(test::kStart[p]).size(), 58u);
        EXPECT_TRUE(test::same_map(test::brute_force_map(board, p), map));
    }
}

TEST(StartMaps, PlayerZeroTileSets) {
    const Board board = Board::new_();
    const MoveMap map = map_of(get_tile_moves(board, 0), board, 0);
    for (const Triple& t : test::all_triples(map)) EXPECT_EQ(std::get<2>(t), 0u) << test::describe(t);
    const auto& at0 = map.at(0);
    EXPECT_EQ(at0.size(), 58u);
    EXPECT_TRUE(test::holds(at0, {0, 0, 0}));
    // Only variants with a filled top-left cell take part.
    EXPECT_TRUE(test::holds(at0, {1, 0, 0}));
    EXPECT_TRUE(test::holds(at0, {1, 1, 0}));
    std::size_t bent = 0, ell = 0;
    for (const Triple& t : at0) {
        bent += std::get<0>(t) == 2 ? 1 : 0;
        ell += std::get<0>(t) == 5 ? 1 : 0;
    }
    EXPECT_EQ(bent, 3u);
    EXPECT_EQ(ell, 6u);
    std::size_t top_left_filled = 0;
    for (const Piece& piece : test::pieces()) {
        for (const PieceVariant& v : piece.variants) top_left_filled += v.shape[0][0] ? 1 : 0;
    }
    EXPECT_EQ(top_left_filled, 58u);
    EXPECT_FALSE(test::holds(at0, {2, 1, 0}));  // .#/## has an empty top-left cell
    EXPECT_EQ(map.at(1).size(), 35u);
    for (const Triple& t : map.at(1)) EXPECT_TRUE(test::holds(at0, t)) << test::describe(t);
    EXPECT_EQ(map.at(4), (std::vector<Triple>{{9, 0, 0}}));
    EXPECT_EQ(map.at(80), (std::vector<Triple>{{9, 1, 0}}));
}

TEST(MoveGeneration, NoPiecesOrNoCornersGiveAnEmptyMap) {
    Board board = Board::new_();
    board.pieces[2] = 0;
    board.corners[3] = CellSet{};
    for (std::size_t p : {2u, 3u}) {
        const TileMoves moves = get_tile_moves(board, p);
        EXPECT_TRUE(moves.empty());
        EXPECT_TRUE(moves.tiles().empty());
        EXPECT_TRUE(moves.placements_at(test::kStart[p]).empty());
    }
    EXPECT_FALSE(get_tile_moves(board, 1).empty());
}

// Player 0 on 0 and 4: its corner cells are 21, 23 and 25. The horizontal
// straight three on 21..23 touches two of them and is still listed once in
// each of its cells' sets.
TEST(MoveGeneration, PlacementTouchingTwoCornersIsListedOnce) {
    Board board = Board::new_();
    board.place_tile(0, 0);
    board.place_tile(4, 0);
    ASSERT_EQ(test::members(board.corners[0]), (std::set<std::size_t>{21, 23, 25}));
    const TileMoves moves = get_tile_moves(board, 0);
    for (Tile t : {21u, 22u, 23u}) {
        const auto set = moves.placements_at(t);
        const auto n = std::count_if(set.begin(), set.end(),
                                     [](const Placement& p) { return test::triple(p) == Triple{3, 0, 21}; });
        EXPECT_EQ(n, 1) << "tile " << t;
    }
    EXPECT_TRUE(test::same_map(test::brute_force_map(board, 0), map_of(moves, board, 0)));
}

TEST(MoveGeneration, InvalidPlayerIsAFault) {
    const Board board = Board::new_();
    EXPECT_THROW(get_tile_moves(board, 4), Fault);
}

TEST(Apply, FirstTileKeepsTheTurn) {
    Game g = Game::reset();
    ASSERT_EQ(g.apply(0), std::nullopt);
    EXPECT_EQ(g.current_player, 0u);
    std::set<Tile> rest = kPlayer0Start;
    rest.erase(0);
    EXPECT_EQ(legal_set(g), rest);
    EXPECT_EQ(g.history, (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 0}}));
    const BoardState s = g.get_board_state();
    EXPECT_TRUE(s[0]);
    EXPECT_EQ(count_true(s, 0), 1u);
    for (std::size_t n = 0; n < 400; ++n) EXPECT_EQ(s[4 * 400 + n], rest.count(n) == 1) << "cell " << n;
    // The chosen cell already counts.
    EXPECT_EQ(g.board.get_scores(g.last_sizes)[0], -88);
}

TEST(Apply, StraightFiveInEveryOrderPassesTheTurn) {
    std::vector<Tile> order = {0, 1, 2, 3, 4};
    const std::set<Tile> player1_tiles = {15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99};
    std::vector<std::size_t> without_nine;
    for (std::size_t i = 0; i < 21; ++i) {
        if (i != 9) without_nine.push_back(i);
    }
    int orders = 0;
    do {
        SCOPED_TRACE(::testing::PrintToString(order));
        Game g = Game::reset();
        for (std::size_t k = 0; k < order.size(); ++k) {
            ASSERT_EQ(g.apply(order[k]), std::nullopt);
            if (k + 1 < order.size()) {
                ASSERT_EQ(g.current_player, 0u);
            }
        }
        EXPECT_EQ(g.board.remaining_pieces(0), without_nine);
        EXPECT_EQ(g.board.piece_count(0), 20u);
        EXPECT_EQ(g.last_sizes, (std::array<std::uint32_t, 4>{5, 0, 0, 0}));
        ASSERT_EQ(g.history.size(), 5u);
        for (std::size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(g.history[k], (std::pair<std::int32_t, std::int32_t>{0, static_cast<std::int32_t>(order[k])}));
        }
        EXPECT_EQ(g.current_player, 1u);
        EXPECT_EQ(legal_set(g), player1_tiles);
        EXPECT_EQ(g.board.get_scores(g.last_sizes), (std::array<std::int32_t, 4>{-84, -89, -89, -89}));
        const BoardState s = g.get_board_state();
        for (std::size_t plane = 0; plane < 3; ++plane) EXPECT_EQ(count_true(s, plane), 0u);
        for (std::size_t i = 0; i < 20; ++i) {
            for (std::size_t j = 0; j < 20; ++j) {
                EXPECT_EQ(s[3 * 400 + i * 20 + j], j == 0 && i >= 15) << i << "," << j;
                EXPECT_EQ(s[4 * 400 + i * 20 + j], i + j <= 4) << i << "," << j;
            }
        }
        ++orders;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(orders, 120);
}

TEST(Apply, SquareCellsDoNotEndTheTurn) {
    for (const std::vector<Tile>& order : {std::vector<Tile>{0, 20, 1, 21}, std::vector<Tile>{21, 1, 20, 0}}) {
        SCOPED_TRACE(::testing::PrintToString(order));
        Game g = Game::reset();
        for (Tile t : order) ASSERT_EQ(g.apply(t), std::nullopt);
        EXPECT_EQ(g.current_player, 0u);
        EXPECT_EQ(g.board.piece_count(0), 21u);
        EXPECT_EQ(legal_set(g), (std::set<Tile>{2, 22, 40, 41}));
        // Each remaining tile completes one five-cell piece containing the square.
        for (Tile t : {2u, 22u, 40u, 41u}) {
            const auto set = g.tile_moves.placements_at(t);
            ASSERT_EQ(set.size(), 1u) << "tile " << t;
            EXPECT_EQ(set[0].catalogue, 12) << "tile " << t;
        }
        ASSERT_EQ(g.apply(40), std::nullopt);
        EXPECT_EQ(g.current_player, 1u);
        EXPECT_EQ(g.last_sizes[0], 5u);
        const auto left = g.board.remaining_pieces(0);
        EXPECT_EQ(std::count(left.begin(), left.end(), 12u), 0);
        EXPECT_EQ(std::count(left.begin(), left.end(), 7u), 1);
    }
}

TEST(Apply, GivenPieceEndsTheTurn) {
    Game g = Game::reset();
    ASSERT_EQ(g.apply(0, 0), std::nullopt);
    EXPECT_EQ(g.current_player, 1u);
    EXPECT_EQ(g.last_sizes[0], 1u);
    EXPECT_EQ(g.board.piece_count(0), 20u);
    EXPECT_EQ(g.board.piece_at(0, 0), 1u);
    Game h = Game::reset();
    EXPECT_THROW(h.apply(0, 21), Fault);
}

TEST(Apply, LastPieceSizeDecidesTheBonus) {
    // Only the single cell left: placing it empties the hand with size 1.
    Game single = Game::reset();
    single.board.pieces[0] = 1u << 0;
    single.tile_moves = get_tile_moves(single.board, 0);
    ASSERT_EQ(legal_set(single), std::set<Tile>{0});
    ASSERT_EQ(single.apply(0), std::nullopt);
    EXPECT_EQ(single.board.piece_count(0), 0u);
    EXPECT_EQ(single.last_sizes[0], 1u);
    EXPECT_EQ(single.board.get_scores(single.last_sizes)[0], 1 - 69);
    EXPECT_EQ(single.current_player, 1u);

    // Only the domino left: the hand empties with size 2, the smaller bonus.
    Game domino = Game::reset();
    domino.board.pieces[0] = 1u << 1;
    domino.tile_moves = get_tile_moves(domino.board, 0);
    ASSERT_EQ(legal_set(domino), (std::set<Tile>{0, 1, 20}));
    ASSERT_EQ(domino.apply(0), std::nullopt);
    EXPECT_EQ(domino.current_player, 0u);
    ASSERT_EQ(domino.apply(20), std::nullopt);
    EXPECT_EQ(domino.last_sizes[0], 2u);
    EXPECT_EQ(domino.board.get_scores(domino.last_sizes)[0], 2 - 74);
    EXPECT_EQ(domino.current_player, 1u);
}

TEST(TurnOrder, PlayerWithoutMovesDropsOutInTheSameCall) {
    Game g = Game::reset();
    g.board.pieces[1] = 0;
    for (Tile t : {0u, 1u, 2u, 3u, 4u}) ASSERT_EQ(g.apply(t), std::nullopt);
    EXPECT_EQ(g.current_player, 2u);
    EXPECT_EQ(g.finished, (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(legal_set(g), start_region(2));
    EXPECT_FALSE(g.is_terminal());
    for (Tile t : {399u, 398u, 397u, 396u, 395u}) ASSERT_EQ(g.apply(t), std::nullopt);
    EXPECT_EQ(g.current_player, 3u);
    for (Tile t : {380u, 381u, 382u, 383u, 384u}) ASSERT_EQ(g.apply(t), std::nullopt);
    EXPECT_EQ(g.current_player, 0u);
    // Player 0 puts the five-cell L down from corner 25; the finished player 1
    // is passed over for good.
    for (Tile t : {25u, 45u, 65u, 85u, 86u}) ASSERT_EQ(g.apply(t), std::nullopt);
    EXPECT_EQ(g.current_player, 2u);
    EXPECT_EQ(g.finished, (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(g.history.size(), 20u);
}

TEST(TurnOrder, GameEndsWhenEveryPlayerIsFinished) {
    Game g = Game::reset();
    g.board.pieces = {1u << 0, 0, 0, 0};
    g.tile_moves = get_tile_moves(g.board, 0);
    ASSERT_EQ(g.apply(0), std::nullopt);
    EXPECT_TRUE(g.is_terminal());
    EXPECT_EQ(g.finished, (std::array<bool, 4>{true, true, true, true}));
    EXPECT_EQ(g.current_player, 0u);  // the last player found without a move
    EXPECT_TRUE(g.get_legal_tiles().empty());
    EXPECT_TRUE(g.tile_moves.empty());
    EXPECT_EQ(count_true(g.get_board_state(), 4), 0u);
    EXPECT_EQ(g.board.get_scores(g.last_sizes), (std::array<std::int32_t, 4>{-68, -74, -74, -74}));
    EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
    const Game before = g;
    EXPECT_EQ(g.apply(5), std::optional<std::string>("Invalid move - Player 0, Tile 5"));
    EXPECT_EQ(g.apply(0), std::optional<std::string>("Invalid move - Player 0, Tile 0"));
    EXPECT_TRUE(test::same_game(g, before));
    EXPECT_EQ(g.advance_player(), 0u);
}

TEST(Apply, InvalidTileChangesNothing) {
    Game g = Game::reset();
    const auto check = [](Game& game, Tile tile, const std::string& text) {
        const Game before = game;
        const auto cells = game.board.cells;
        const auto history = game.history.size();
        const auto keys = game.get_legal_tiles();
        EXPECT_EQ(game.apply(tile), std::optional<std::string>(text));
        EXPECT_TRUE(test::same_game(game, before)) << "tile " << tile;
        EXPECT_EQ(game.board.cells, cells);
        EXPECT_EQ(game.history.size(), history);
        EXPECT_EQ(game.get_legal_tiles(), keys);
    };
    check(g, 399, "Invalid move - Player 0, Tile 399");
    check(g, 5, "Invalid move - Player 0, Tile 5");
    check(g, 400, "Invalid move - Player 0, Tile 400");
    check(g, 1000, "Invalid move - Player 0, Tile 1000");
    check(g, std::numeric_limits<Tile>::max(),
          "Invalid move - Player 0, Tile " + std::to_string(std::numeric_limits<Tile>::max()));
    ASSERT_EQ(g.apply(0), std::nullopt);
    check(g, 0, "Invalid move - Player 0, Tile 0");  // chosen earlier in the turn
    check(g, 19, "Invalid move - Player 0, Tile 19");
    for (Tile t : {1u, 2u, 3u, 4u}) ASSERT_EQ(g.apply(t), std::nullopt);
    ASSERT_EQ(g.current_player, 1u);
    check(g, 21, "Invalid move - Player 1, Tile 21");
    check(g, 0, "Invalid move - Player 1, Tile 0");
    EXPECT_EQ(g.history.size(), 5u);
}

TEST(Payoff, TiesShareTheWin) {
    const auto payoff_with = [](std::initializer_list<std::pair<Tile, std::size_t>> cells) {
        Game g = Game::reset();
        for (auto [t, p] : cells) g.board.place_tile(t, p);
        return g.get_payoff();
    };
    EXPECT_EQ(payoff_with({{19, 1}, {380, 3}}), (std::array<float, 4>{0.0f, 0.5f, 0.0f, 0.5f}));
    const auto three = payoff_with({{0, 0}, {19, 1}, {399, 2}});
    EXPECT_EQ(three, (std::array<float, 4>{0.33333334f, 0.33333334f, 0.33333334f, 0.0f}));
    EXPECT_EQ(three[0], 1.0f / 3.0f);
    EXPECT_EQ(payoff_with({{0, 0}, {19, 1}, {399, 2}, {380, 3}}), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.25f}));
    EXPECT_EQ(payoff_with({{399, 2}}), (std::array<float, 4>{0.0f, 0.0f, 1.0f, 0.0f}));
    EXPECT_EQ(payoff_with({{0, 0}, {1, 0}, {19, 1}}), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
}

TEST(Payoff, EmptyHandBonusCounts) {
    Game g = Game::reset();
    for (Tile t = 0; t < 10; ++t) g.board.place_tile(t, 0);  // player 0: -79
    g.board.pieces[3] = 0;                                   // player 3: 0 cells, -74 or -69
    EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{0.0f, 0.0f, 0.0f, 1.0f}));
    g.last_sizes[3] = 1;
    EXPECT_EQ(g.board.get_scores(g.last_sizes)[3], -69);
    g.board.pieces[3] = 1u << 4;
    EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
}

// Where board cell (i, j) appears for each mover, as the rules' table gives it.
std::pair<std::size_t, std::size_t> table_position(std::size_t mover, std::size_t i, std::size_t j) {
    switch (mover) {
        case 0: return {i, j};
        case 1: return {19 - j, i};
        case 2: return {19 - i, 19 - j};
        default: return {j, 19 - i};
    }
}

TEST(BoardState, EveryMoverSeesItsOwnFrame) {
    // An asymmetric position with cells of every player.
    Game base = Game::reset();
    const std::vector<std::pair<Tile, std::size_t>> cells = {
        {0, 0}, {1, 0}, {45, 0}, {19, 1}, {39, 1}, {399, 2}, {377, 2}, {380, 3}, {381, 3}, {300, 3}};
    for (auto [t, p] : cells) base.board.place_tile(t, p);
    for (std::size_t s = 0; s < 4; ++s) {
        SCOPED_TRACE("mover " + std::to_string(s));
        Game g = base;
        g.current_player = s;
        g.tile_moves = get_tile_moves(g.board, s);
        ASSERT_FALSE(g.tile_moves.empty());
        const BoardState state = g.get_board_state();
        EXPECT_EQ(state, test::expected_board_state(test::owners_of(g.board), g.get_legal_tiles(), s));
        std::array<std::size_t, 5> counts{};
        for (auto [t, q] : cells) {
            const auto [r, c] = table_position(s, t / 20, t % 20);
            const std::size_t plane = (q + 4 - s) % 4;
            EXPECT_TRUE(state[plane * 400 + r * 20 + c]) << "tile " << t;
            ++counts[plane];
        }
        for (Tile t : g.get_legal_tiles()) {
            const auto [r, c] = table_position(s, t / 20, t % 20);
            EXPECT_TRUE(state[4 * 400 + r * 20 + c]) << "legal tile " << t;
            ++counts[4];
        }
        for (std::size_t plane = 0; plane < 5; ++plane) EXPECT_EQ(count_true(state, plane), counts[plane]);
        // The mover's start corner is at row 0, column 0 and its cell is on plane 0.
        const auto [r, c] = table_position(s, test::kStart[s] / 20, test::kStart[s] % 20);
        EXPECT_EQ(r, 0u);
        EXPECT_EQ(c, 0u);
        EXPECT_TRUE(state[0]);
    }
}

// A placement is completable exactly when choosing its remaining cells ends
// the turn with its piece; checked at every tile of seeded random games, in
// the middle of turns as well.
TEST(Completable, ExactlyThePlacementsWhoseCellsEndTheTurn) {
    std::size_t completable = 0, not_completable = 0;
    for (unsigned seed = 0; seed < test::scaled(3, 1); ++seed) {
        std::mt19937 rng(seed);
        for (Game g = Game::reset(); !g.is_terminal(); g.apply(test::random_legal_tile(g, rng))) {
            if (g.history.size() % test::scaled(2, 9) != 0) continue;
            const auto listed = g.tile_moves.completable();
            for (const Placement& p : g.tile_moves.live()) {
                Game after = g;
                p.for_each_cell([&](std::size_t cell) {
                    if (after.tile_moves.contains(cell)) {
                        ASSERT_EQ(after.apply(cell), std::nullopt);
                    }
                });
                const bool ended = after.board.pieces[g.current_player] ==
                                   (g.board.pieces[g.current_player] & ~(std::uint32_t{1} << p.catalogue));
                EXPECT_EQ(std::count(listed.begin(), listed.end(), p), ended ? 1 : 0)
                    << "placement " << test::describe(test::triple(p)) << " after " << g.history.size() << " tiles";
                ++(ended ? completable : not_completable);
            }
        }
    }
    EXPECT_GT(completable, 0u);
    EXPECT_GT(not_completable, 0u);
}

TEST(GameValue, CopiesAreIndependent) {
    Game g = Game::reset();
    ASSERT_EQ(g.apply(0), std::nullopt);
    const Game snapshot = g;
    Game copy = g;
    for (Tile t : {1u, 2u, 3u, 4u}) ASSERT_EQ(copy.apply(t), std::nullopt);
    ASSERT_EQ(copy.current_player, 1u);
    EXPECT_TRUE(test::same_game(g, snapshot));
    EXPECT_EQ(g.current_player, 0u);
    EXPECT_EQ(g.history.size(), 1u);
    EXPECT_EQ(g.get_legal_tiles().size(), 14u);
    EXPECT_EQ(g.tile_moves.placements_at(1).size(), 35u);  // every start placement covers tile 0
    EXPECT_EQ(g.board.cells[1], 0x10);
    EXPECT_EQ(g.board.piece_count(0), 21u);
    // And the other way round: the original moves on, the copy stays.
    const Game copy_snapshot = copy;
    ASSERT_EQ(g.apply(20), std::nullopt);
    EXPECT_TRUE(test::same_game(copy, copy_snapshot));
}

}  // namespace
}  // namespace tarnex
