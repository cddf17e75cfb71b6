// Each seat's remaining pieces, read from the network's planes alone.
//
// A seat's pieces never share an edge, so every edge-connected group of its
// cells is one placed piece, and its shape (under rotation and reflection)
// names the catalogue piece. The exception is the mover's piece of the
// current turn, placed tile by tile: the cells chosen so far may look like a
// smaller piece (a first tile is a monomino). They always lie edge to edge
// with a legal tile, since every legal tile belongs to a placement that
// contains them, while a placed piece of the mover never does (no placement
// may touch it along an edge); such groups are passed over. A group of no
// catalogue shape (only possible on planes that no game made) removes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pieces.hpp"
#include "wire_format.hpp"

namespace tarnex::features {

inline constexpr std::size_t kFeatureCount = wire::kSeatPlanes * kPieceCount;

// `planes`: one position's 5 x 400 bytes (nonzero: set) in the mover's frame,
// plane k the cells of the k-th seat after the mover, plane 4 the mover's
// legal tiles. Writes kFeatureCount bytes to `out`: for each seat in plane
// order, one per catalogue piece, 1 while the seat still holds it.
void piece_features(const std::uint8_t* planes, std::uint8_t* out);

}  // namespace tarnex::features
