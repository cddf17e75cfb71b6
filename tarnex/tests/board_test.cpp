// The board: new board, the placement test, placing single cells with their
// neighbour marks and corner sets, scores and the text picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <string>

#include "board.hpp"
#include "fault.hpp"
#include "test_support.hpp"

namespace tarnex {
namespace {

using test::expected_cells;
using test::expected_corners;
using test::members;
using test::Owners;

const PieceVariant& variant(std::size_t piece, std::size_t u) { return test::pieces()[piece].variants[u]; }

TEST(NewBoard, EmptyCellsFullHandsStartCorners) {
    const Board board = Board::new_();
    for (std::size_t n = 0; n < 400; ++n) EXPECT_EQ(board.cells[n], 0) << "cell " << n;
    const std::vector<std::size_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    for (std::size_t p = 0; p < 4; ++p) {
        EXPECT_EQ(board.remaining_pieces(p), all);
        EXPECT_EQ(test::remaining_of(board, p), all);
        EXPECT_EQ(board.piece_count(p), 21u);
        EXPECT_EQ(members(board.corners[p]), std::set<std::size_t>{test::kStart[p]});
    }
    EXPECT_EQ(members(board.corners[0]), std::set<std::size_t>{0});
    EXPECT_EQ(members(board.corners[1]), std::set<std::size_t>{19});
    EXPECT_EQ(members(board.corners[2]), std::set<std::size_t>{399});
    EXPECT_EQ(members(board.corners[3]), std::set<std::size_t>{380});
}

TEST(IsValidMove, StartCornerCases) {
    const Board board = Board::new_();
    EXPECT_TRUE(board.is_valid_move(0, variant(0, 0), 0));
    EXPECT_FALSE(board.is_valid_move(0, variant(0, 0), 1));  // no corner contact
    EXPECT_TRUE(board.is_valid_move(1, variant(1, 0), 18));  // covers 18 and 19
    EXPECT_FALSE(board.is_valid_move(1, variant(1, 0), 19));  // width 2 at column 19 leaves the board
    EXPECT_TRUE(board.is_valid_move(3, variant(9, 1), 300));  // covers 300..380
    EXPECT_FALSE(board.is_valid_move(3, variant(9, 1), 320));  // 320 + 81 > 400
    // Another player's start corner gives no contact.
    EXPECT_FALSE(board.is_valid_move(1, variant(0, 0), 0));
    EXPECT_TRUE(board.is_valid_move(2, variant(0, 0), 399));
    EXPECT_FALSE(board.is_valid_move(2, variant(0, 0), 398));
}

// Anchors that would leave the board are rejected before any cell is read:
// even with an anchor far beyond the board the answer is a plain false.
TEST(IsValidMove, BoundsAreTestedFirst) {
    const Board board = Board::new_();
    for (std::size_t anchor : {std::size_t{400}, std::size_t{1000}, std::size_t{1} << 40}) {
        EXPECT_FALSE(board.is_valid_move(0, variant(0, 0), anchor));
    }
    // Straight five lying along row 0: anchors 15 fits, 16 would wrap.
    Board b = Board::new_();
    b.corners[0].insert(19);
    EXPECT_TRUE(b.is_valid_move(0, variant(9, 0), 15));
    EXPECT_FALSE(b.is_valid_move(0, variant(9, 0), 16));
    // Bottom edge: the vertical five ending on row 19 fits, one row lower does not.
    b.corners[0].insert(399);
    EXPECT_TRUE(b.is_valid_move(0, variant(9, 1), 319));
    EXPECT_FALSE(b.is_valid_move(0, variant(9, 1), 339));
}

TEST(IsValidMove, EmptyCornerSetAllowsNothing) {
    Board board = Board::new_();
    board.corners[0] = CellSet{};
    for (std::size_t a = 0; a < 400; ++a) EXPECT_FALSE(board.is_valid_move(0, variant(0, 0), a));
}

TEST(PlaceTile, StartCells) {
    {
        Board b = Board::new_();
        b.place_tile(0, 0);
        EXPECT_EQ(b.cells[0], 0xF1);
        EXPECT_EQ(b.cells[1], 0x10);
        EXPECT_EQ(b.cells[20], 0x10);
        EXPECT_EQ(b.cells[21], 0x00);
        EXPECT_EQ(members(b.corners[0]), std::set<std::size_t>{21});
        for (std::size_t p = 1; p < 4; ++p) EXPECT_EQ(members(b.corners[p]), std::set<std::size_t>{test::kStart[p]});
    }
    {
        Board b = Board::new_();
        b.place_tile(19, 1);
        EXPECT_EQ(b.cells[19], 0xF2);
        EXPECT_EQ(b.cells[18], 0x20);
        EXPECT_EQ(b.cells[39], 0x20);
        EXPECT_EQ(b.cells[20], 0x00);  // no wrap to the next row's first cell
        EXPECT_EQ(members(b.corners[1]), std::set<std::size_t>{38});
    }
    {
        Board b = Board::new_();
        b.place_tile(399, 2);
        EXPECT_EQ(b.cells[399], 0xF3);
        EXPECT_EQ(b.cells[398], 0x40);
        EXPECT_EQ(b.cells[379], 0x40);
        EXPECT_EQ(members(b.corners[2]), std::set<std::size_t>{378});
    }
    {
        Board b = Board::new_();
        b.place_tile(380, 3);
        EXPECT_EQ(b.cells[380], 0xF4);
        EXPECT_EQ(b.cells[381], 0x80);
        EXPECT_EQ(b.cells[360], 0x80);
        EXPECT_EQ(b.cells[379], 0x00);  // no wrap to the previous row's last cell
        EXPECT_EQ(members(b.corners[3]), std::set<std::size_t>{361});
    }
}

// Cells on the side edges must not offer diagonals across the edge.
TEST(PlaceTile, DiagonalsDoNotWrapAcrossSideEdges) {
    Board b = Board::new_();
    b.place_tile(40, 0);  // row 2, column 0
    EXPECT_EQ(members(b.corners[0]), (std::set<std::size_t>{0, 21, 61}));
    Board c = Board::new_();
    c.place_tile(59, 1);  // row 2, column 19
    EXPECT_EQ(members(c.corners[1]), (std::set<std::size_t>{19, 38, 78}));
}

TEST(PlaceTile, EdgeAdjacentCellsOfOnePlayerInEitherOrder) {
    Board first = Board::new_();
    first.place_tile(42, 0);
    first.place_tile(43, 0);
    Board second = Board::new_();
    second.place_tile(43, 0);
    second.place_tile(42, 0);
    // Cells (2,2) and (2,3): diagonals (1,1), (1,4), (3,1), (3,4), and the start cell.
    const std::set<std::size_t> expected = {0, 21, 24, 61, 64};
    for (const Board* b : {&first, &second}) {
        EXPECT_EQ(members(b->corners[0]), expected);
        for (std::size_t n : {22, 23, 41, 44, 62, 63}) EXPECT_EQ(b->cells[n], 0x10) << "cell " << n;
        for (std::size_t n : {42, 43}) EXPECT_EQ(b->cells[n], 0xF1);
        Owners o = test::empty_owners();
        o[42] = o[43] = 0;
        EXPECT_EQ(b->cells, expected_cells(o));
        EXPECT_EQ(members(b->corners[0]), expected_corners(o, 0));
    }
}

TEST(PlaceTile, AnotherPlayersCellClosesItsNeighboursOnlyToThatPlayer) {
    Board b = Board::new_();
    b.place_tile(0, 0);  // player 0's corner set is {21}
    b.place_tile(22, 1);
    EXPECT_EQ(b.cells[22], 0xF2);
    for (std::size_t n : {21, 23, 2, 42}) EXPECT_EQ(b.cells[n] & 0x20, 0x20) << "cell " << n;
    EXPECT_EQ(b.cells[21], 0x20);
    EXPECT_EQ(members(b.corners[0]), std::set<std::size_t>{21});
    // Player 0 may still cover 21; player 1 may not.
    EXPECT_TRUE(b.is_valid_move(0, variant(0, 0), 21));
    b.corners[1].insert(21);
    EXPECT_FALSE(b.is_valid_move(1, variant(0, 0), 21));
    // Occupying a cell takes it out of every player's set.
    b.place_tile(21, 2);
    for (std::size_t p = 0; p < 4; ++p) EXPECT_FALSE(b.corners[p].contains(21));
    EXPECT_TRUE(b.corners[0].empty());
    for (std::size_t a = 0; a < 400; ++a) EXPECT_FALSE(b.is_valid_move(0, variant(0, 0), a));
}

// Random sequences of single cells for random players: the cell bytes and the
// corner sets always equal what the rules define from the ownership alone.
TEST(PlaceTile, ArbitrarySequencesKeepTheInvariants) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        Board b = Board::new_();
        Owners o = test::empty_owners();
        std::vector<std::size_t> order(400);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        const std::size_t count = 1 + rng() % 200;
        for (std::size_t k = 0; k < count; ++k) {
            const int p = static_cast<int>(rng() % 4);
            b.place_tile(order[k], static_cast<std::size_t>(p));
            o[order[k]] = p;
        }
        ASSERT_EQ(b.cells, expected_cells(o)) << "round " << round;
        for (int p = 0; p < 4; ++p) ASSERT_EQ(members(b.corners[p]), expected_corners(o, p)) << "round " << round;
    }
}

// is_valid_move against a check written from the rules with row and column
// arithmetic, for every piece, variant and anchor on random boards.
TEST(IsValidMove, AgreesWithAnIndependentCheck) {
    std::mt19937 rng(11);
    for (unsigned round = 0; round < test::scaled(12, 3); ++round) {
        Board b = Board::new_();
        Owners o = test::empty_owners();
        const std::size_t count = rng() % 120;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t n = rng() % 400;
            const int p = static_cast<int>(rng() % 4);
            if (o[n] >= 0) continue;
            b.place_tile(n, static_cast<std::size_t>(p));
            o[n] = p;
        }
        for (int p = 0; p < 4; ++p) {
            const auto corners = expected_corners(o, p);
            for (std::size_t i = 0; i < 21; ++i) {
                for (const PieceVariant& v : test::pieces()[i].variants) {
                    for (std::size_t a = 0; a < 400; ++a) {
                        ASSERT_EQ(b.is_valid_move(static_cast<std::size_t>(p), v, a),
                                  test::fits(o, p, corners, v.shape, a))
                            << "round " << round << " player " << p << " piece " << i << " "
                            << test::grid_text(v.shape) << " anchor " << a;
                    }
                }
            }
        }
    }
}

TEST(Scores, NewBoardAndFinishedHands) {
    Board b = Board::new_();
    EXPECT_EQ(b.get_scores({0, 0, 0, 0}), (std::array<std::int32_t, 4>{-89, -89, -89, -89}));
    // Player 0 covers 89 cells (rows 0..3 and nine of row 4) and has no piece left.
    for (std::size_t n = 0; n < 89; ++n) b.place_tile(n, 0);
    b.place_tile(399, 2);
    b.place_tile(398, 2);
    b.pieces[0] = 0;
    EXPECT_EQ(b.get_scores({5, 0, 0, 0}), (std::array<std::int32_t, 4>{15, -89, -87, -89}));
    EXPECT_EQ(b.get_scores({1, 0, 0, 0}), (std::array<std::int32_t, 4>{20, -89, -87, -89}));
    // The single-cell bonus needs an empty hand.
    EXPECT_EQ(b.get_scores({1, 1, 1, 1}), (std::array<std::int32_t, 4>{20, -89, -87, -89}));
    b.pieces[3] = 0;
    EXPECT_EQ(b.get_scores({1, 1, 1, 0}), (std::array<std::int32_t, 4>{20, -89, -87, -74}));
    EXPECT_EQ(b.get_scores({1, 1, 1, 1}), (std::array<std::int32_t, 4>{20, -89, -87, -69}));
}

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::string kWhite = "\xE2\xAC\x9C";
const std::string kRed = "\xF0\x9F\x9F\xA5";
const std::string kBlue = "\xF0\x9F\x9F\xA6";
const std::string kYellow = "\xF0\x9F\x9F\xA8";
const std::string kGreen = "\xF0\x9F\x9F\xA9";

TEST(PrintBoard, NewBoardIsTwentyWhiteRowsAndAnEmptyLine) {
    const Board b = Board::new_();
    const std::string expected = repeat(repeat(kWhite, 20) + "\n", 20) + "\n";
    EXPECT_EQ(b.render(), expected);
    testing::internal::CaptureStdout();
    b.print_board();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST(PrintBoard, GlyphPerOwner) {
    Board b = Board::new_();
    b.place_tile(0, 0);
    b.place_tile(19, 1);
    b.place_tile(399, 2);
    b.place_tile(380, 3);
    b.cells[5] = 0x07;  // an owner nibble above 4 shows as empty
    std::string row0 = kRed + repeat(kWhite, 18) + kBlue + "\n";
    std::string row19 = kGreen + repeat(kWhite, 18) + kYellow + "\n";
    const std::string expected = row0 + repeat(repeat(kWhite, 20) + "\n", 18) + row19 + "\n";
    EXPECT_EQ(b.render(), expected);
    testing::internal::CaptureStdout();
    b.print_board();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST(BoardValue, CopiesAreIndependent) {
    Board a = Board::new_();
    a.place_tile(0, 0);
    const Board snapshot = a;
    Board b = a;
    b.place_tile(21, 0);
    b.remove_piece(0, 3);
    EXPECT_EQ(a.cells, snapshot.cells);
    EXPECT_EQ(a.pieces, snapshot.pieces);
    EXPECT_TRUE(a.corners[0] == snapshot.corners[0]);
    EXPECT_EQ(members(a.corners[0]), std::set<std::size_t>{21});
    EXPECT_NE(b.cells, a.cells);
}

TEST(RemainingPieces, RemovingKeepsOrderAndShiftsLaterEntries) {
    Board b = Board::new_();
    b.remove_piece(0, 9);  // catalogue 9
    b.remove_piece(0, 0);  // catalogue 0
    b.remove_piece(0, 18);  // now the last entry: catalogue 20
    std::vector<std::size_t> expected;
    for (std::size_t i = 1; i < 20; ++i) {
        if (i != 9) expected.push_back(i);
    }
    EXPECT_EQ(b.remaining_pieces(0), expected);
    EXPECT_EQ(test::remaining_of(b, 0), expected);
    EXPECT_EQ(b.piece_count(0), 18u);
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(b.piece_at(0, k), expected[k]);
    EXPECT_EQ(b.piece_count(1), 21u);
    EXPECT_THROW(b.piece_at(0, 18), Fault);
}

}  // namespace
}  // namespace tarnex
