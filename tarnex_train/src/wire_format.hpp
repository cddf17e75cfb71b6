// The evaluation wire format between tarnex_train's processes, in one place
// for the bindings that pack, unpack and check it (wire.py is the Python
// side).
//
// planes: 2,000 bytes: the 5 x 20 x 20 board state in the mover's frame, one
//         byte 0 or 1 per cell, plane-major, then row, then column; plane k
//         (k < 4) the cells of the k-th seat after the mover, plane 4 the
//         mover's legal tiles.
// reply:  1,617 bytes: b"R", then the 400 policy entries and the 4 values
//         (relative to the mover) as native 32-bit floats.
#pragma once

#include <cstddef>

#include "board.hpp"
#include "pieces.hpp"

namespace tarnex::wire {

inline constexpr std::size_t kSeatPlanes = 4;
inline constexpr std::size_t kLegalPlane = 4;
inline constexpr std::size_t kPlanes = kSeatPlanes + 1;
inline constexpr std::size_t kPlanesSize = kPlanes * kBoardCells;

inline constexpr char kReplyTag = 'R';
inline constexpr std::size_t kPolicySize = kBoardCells;
inline constexpr std::size_t kValueSize = kPlayers;
inline constexpr std::size_t kReplySize = 1 + 4 * (kPolicySize + kValueSize);

}  // namespace tarnex::wire
