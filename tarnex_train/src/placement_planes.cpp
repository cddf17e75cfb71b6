#include "placement_planes.hpp"

#include <algorithm>
#include <array>

#include "game.hpp"

namespace tarnex::features {
namespace {

using wire::kLegalPlane;
using wire::kSeatPlanes;

// The mover's cells edge to edge with a legal tile, and every cell joined to
// them along edges: the tiles chosen so far in the turn (see
// piece_features.hpp for why no placed piece is among them).
CellSet chosen_tiles(const std::uint8_t* mover, const std::uint8_t* legal) {
    CellSet chosen;
    std::array<std::uint16_t, kBoardCells> stack{};
    std::size_t top = 0;
    auto neighbours = [](std::size_t cell, auto&& f) {
        const std::size_t col = cell % kBoardSide;
        if (col != 0) f(cell - 1);
        if (col != kBoardSide - 1) f(cell + 1);
        if (cell >= kBoardSide) f(cell - kBoardSide);
        if (cell + kBoardSide < kBoardCells) f(cell + kBoardSide);
    };
    for (std::size_t cell = 0; cell < kBoardCells; ++cell) {
        if (mover[cell] == 0 || chosen.contains(cell)) continue;
        bool touches = false;
        neighbours(cell, [&](std::size_t n) { touches = touches || legal[n] != 0; });
        if (!touches) continue;
        chosen.insert(cell);
        stack[top++] = static_cast<std::uint16_t>(cell);
        while (top > 0) {
            neighbours(stack[--top], [&](std::size_t n) {
                if (mover[n] != 0 && !chosen.contains(n)) {
                    chosen.insert(n);
                    stack[top++] = static_cast<std::uint16_t>(n);
                }
            });
        }
    }
    return chosen;
}

}  // namespace

void placement_planes(const std::uint8_t* planes, std::uint8_t* out) {
    std::fill(out, out + kPlacementSize, std::uint8_t{0});
    std::array<std::uint8_t, kFeatureCount> hands{};
    piece_features(planes, hands.data());
    const std::uint8_t* legal = planes + kLegalPlane * kBoardCells;
    const CellSet chosen = chosen_tiles(planes, legal);

    // Seat k of the planes is player k of a board in the planes' frame: the
    // frame turns the board so that the mover starts at cell 0 and the seats
    // after it at the other start cells in the rules' order. The opponents
    // see the mover's chosen tiles as taken (its piece will cover them); the
    // mover's placements are those of the board its turn began on.
    Board board = Board::new_();
    for (std::size_t seat = 0; seat < kSeatPlanes; ++seat) {
        std::uint32_t pieces = 0;
        for (std::size_t k = 0; k < kPieceCount; ++k) {
            if (hands[seat * kPieceCount + k] != 0) pieces |= std::uint32_t{1} << k;
        }
        board.pieces[seat] = pieces;
        for (std::size_t cell = 0; cell < kBoardCells; ++cell) {
            if (planes[seat * kBoardCells + cell] != 0 && !(seat == 0 && chosen.contains(cell))) {
                board.place_tile(cell, seat);
            }
        }
    }
    Board turn_start = board;
    chosen.for_each([&](std::size_t cell) { board.place_tile(cell, 0); });

    const std::size_t chosen_count = chosen.size();
    for (std::size_t seat = 0; seat < kSeatPlanes; ++seat) {
        std::uint8_t* largest = out + seat * kBoardCells;
        std::uint8_t* count = out + (kSeatPlanes + seat) * kBoardCells;
        const TileMoves moves = get_tile_moves(seat == 0 ? turn_start : board, seat);
        for (const Placement& p : moves.live()) {
            const std::uint8_t size = catalogue_bits()[p.catalogue].size;
            if (seat == 0 && chosen_count != 0) {
                std::size_t inside = 0;
                p.for_each_cell([&](std::size_t cell) { inside += chosen.contains(cell) ? 1 : 0; });
                if (inside != chosen_count) continue;
            }
            p.for_each_cell([&](std::size_t cell) {
                if (seat == 0 && chosen.contains(cell)) return;
                largest[cell] = std::max(largest[cell], size);
                if (count[cell] != UINT8_MAX) ++count[cell];
            });
        }
    }
}

}  // namespace tarnex::features
