// The remaining pieces read from the planes against the rules' own record,
// at every tile of random games: at the start of each turn and in the middle
// of one, where the mover's piece so far may look like a piece it still holds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "piece_features.hpp"
#include "test_support.hpp"

namespace tarnex::features {
namespace {

using wire::kPlanesSize;
using wire::kSeatPlanes;
using Planes = std::array<std::uint8_t, kPlanesSize>;
using Features = std::array<std::uint8_t, kFeatureCount>;

Features features_of(const Planes& planes) {
    Features out{};
    piece_features(planes.data(), out.data());
    return out;
}

Features from_rules(const Game& game) {
    Features out{};
    for (std::size_t k = 0; k < kSeatPlanes; ++k) {
        const std::size_t seat = (game.current_player + k) % kPlayers;
        for (std::size_t piece : game.board.remaining_pieces(seat)) out[k * kPieceCount + piece] = 1;
    }
    return out;
}

TEST(PieceFeatures, MatchTheRulesAtEveryTileOfRandomGames) {
    const int games = test::kOptimisedBuild ? 20 : 3;
    std::mt19937 rng(7);
    int mid_turn = 0;
    for (int g = 0; g < games; ++g) {
        Game game = Game::reset();
        bool turn_started = true;
        while (!game.is_terminal()) {
            const BoardState state = game.get_board_state();
            Planes planes{};
            for (std::size_t k = 0; k < kPlanesSize; ++k) planes[k] = state[k] ? 1 : 0;
            ASSERT_EQ(features_of(planes), from_rules(game)) << "game " << g << ", tile " << game.history.size();
            mid_turn += turn_started ? 0 : 1;
            const std::size_t mover = game.current_player;
            const std::uint32_t hand = game.board.pieces[mover];
            (void)game.apply(test::random_legal_tile(game, rng));
            turn_started = game.board.pieces[mover] != hand;
        }
    }
    EXPECT_GT(mid_turn, 100 * games);
}

TEST(PieceFeatures, GroupsOfNoCatalogueShapeRemoveNothing) {
    Planes planes{};
    std::fill(planes.begin() + kBoardCells, planes.begin() + 2 * kBoardCells, 1);  // seat 1: the whole board
    for (std::size_t cell : {0, 1, 20, 21, 40, 41}) planes[2 * kBoardCells + cell] = 1;  // seat 2: a 3 x 2 block
    // Seat 3: the L of four cells (catalogue index 5) mirrored, and the monomino.
    for (std::size_t cell : {398, 378, 358, 357, 0}) planes[3 * kBoardCells + cell] = 1;
    Features expected{};
    expected.fill(1);
    expected[3 * kPieceCount + 0] = 0;
    expected[3 * kPieceCount + 5] = 0;
    EXPECT_EQ(features_of(planes), expected);
}

}  // namespace
}  // namespace tarnex::features
