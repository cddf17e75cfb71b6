// The placement planes read from the network's planes against the rules' own
// move maps, at every tile of random games: the mover's live placements of
// the turn (also in the middle of a piece) and each opponent's placements on
// the board as it stands, in the planes' frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

#include "placement_planes.hpp"
#include "test_support.hpp"

namespace tarnex::features {
namespace {

using wire::kPlanesSize;
using wire::kSeatPlanes;
using Planes = std::array<std::uint8_t, kPlanesSize>;
using Output = std::array<std::uint8_t, kPlacementSize>;

// Adds the placements of plane seat k to `out`, as the planes would show them.
void add(Output& out, std::size_t k, std::span<const Placement> placements, const Game& game) {
    const auto& frame = board_state_frame(game.current_player);
    const auto mover_cell = static_cast<std::uint8_t>(game.current_player + 1);
    for (const Placement& p : placements) {
        const std::uint8_t size = catalogue_bits()[p.catalogue].size;
        p.for_each_cell([&](std::size_t cell) {
            if (k == 0 && (game.board.cells[cell] & kOwnerMask) == mover_cell) return;  // chosen this turn
            std::uint8_t& largest = out[k * kBoardCells + frame[cell]];
            std::uint8_t& count = out[(kSeatPlanes + k) * kBoardCells + frame[cell]];
            largest = std::max(largest, size);
            if (count != UINT8_MAX) ++count;
        });
    }
}

TEST(PlacementPlanes, MatchTheRulesAtEveryTileOfRandomGames) {
    const int games = test::kOptimisedBuild ? 10 : 2;
    std::mt19937 rng(11);
    int mid_turn = 0;
    for (int g = 0; g < games; ++g) {
        Game game = Game::reset();
        while (!game.is_terminal()) {
            const BoardState state = game.get_board_state();
            Planes planes{};
            for (std::size_t k = 0; k < kPlanesSize; ++k) planes[k] = state[k] ? 1 : 0;
            Output expected{};
            add(expected, 0, game.tile_moves.live(), game);
            for (std::size_t k = 1; k < kSeatPlanes; ++k) {
                const TileMoves moves = get_tile_moves(game.board, (game.current_player + k) % kPlayers);
                add(expected, k, moves.live(), game);
            }
            Output got{};
            placement_planes(planes.data(), got.data());
            ASSERT_EQ(got, expected) << "game " << g << ", tile " << game.history.size();
            const std::size_t mover = game.current_player;
            const std::uint32_t hand = game.board.pieces[mover];
            (void)game.apply(test::random_legal_tile(game, rng));
            mid_turn += game.board.pieces[mover] == hand ? 1 : 0;
        }
    }
    EXPECT_GT(mid_turn, 100 * games);
}

}  // namespace
}  // namespace tarnex::features
