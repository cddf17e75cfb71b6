// Where each seat can still put its pieces, read from the network's planes.
//
// The planes show the cells, not what can be done with them: whether a
// five-cell piece still fits somewhere, and where the opponents can go next,
// take a search over every remaining piece in every orientation, which a few
// convolutions over an 11 x 11 field cannot do. Both reference players rank
// placements by exactly such counts. So the network is given them: the board
// is rebuilt from the planes (each seat's pieces from piece_features), the
// rules library lists each seat's placements, and every cell gets the largest
// piece and the number of placements of each seat that cover it.
//
// The mover may be in the middle of a piece: the tiles chosen so far (the
// group edge to edge with a legal tile) are taken off the board, and only
// the placements containing all of them count, as for the legal tiles. The
// mover's cells that are nonzero are then exactly the legal tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "piece_features.hpp"

namespace tarnex::features {

// Per position: for each seat in plane order the size of the largest
// placement covering each cell (0 for none, up to 5), then for each seat the
// number of placements covering each cell (at most 255).
inline constexpr std::size_t kPlacementPlanes = 2 * wire::kSeatPlanes;
inline constexpr std::size_t kPlacementSize = kPlacementPlanes * kBoardCells;

// `planes` as for piece_features; writes kPlacementSize bytes to `out`,
// plane-major, cells in the planes' frame.
void placement_planes(const std::uint8_t* planes, std::uint8_t* out);

}  // namespace tarnex::features
