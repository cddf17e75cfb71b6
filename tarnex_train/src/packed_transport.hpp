// The evaluation round trip of tarnex_train's own games, in the worker
// pool's own forms: a request leaves as the 2,000 bytes the server batches
// (queue.put(id, planes)), the reply comes back as the bytes the evaluators
// make (pipe.recv()), and nothing on the way becomes a list of Python
// objects. tarnex_self_play keeps the list protocol of PythonTransport; this
// one is for _match alone, so the two can change apart.
//
// planes: bytes, 2000: the 5 x 20 x 20 board state in the mover's frame, one
//         byte 0 or 1 per cell, plane-major, then row, then column.
// reply:  bytes, 1617: b"R", then the 400 policy entries and the 4 values
//         (relative to the mover) as native 32-bit floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "evaluation.hpp"
#include "python_api/error.hpp"
#include "python_api/ref.hpp"

namespace tarnex::match {

inline constexpr std::size_t kPackedPlanesSize = 5 * kBoardCells;
inline constexpr std::size_t kPackedReplySize = 1 + 4 * (kBoardCells + kPlayers);
inline constexpr char kPackedReplyTag = 'R';

class PackedTransport {
public:
    using Error = python::PyError;

    // `queue` and `pipe` are borrowed: the caller keeps them alive for the
    // transport's lifetime. Call everything with the interpreter lock held,
    // after prepare_packed_transport().
    PackedTransport(PyObject* queue, PyObject* pipe) : queue_(queue), pipe_(pipe) {}

    // queue.put(id, planes), then pipe.recv(); any Python exception on the
    // way is returned, and so is a TypeError for a reply that is not bytes
    // of the form above.
    std::optional<python::PyError> exchange(std::int32_t id, const BoardState& planes,
                                            self_play::EvaluationReply& reply);

private:
    PyObject* queue_;
    PyObject* pipe_;
    python::Ref id_;
    std::int32_t id_value_ = 0;
};

static_assert(self_play::Transport<PackedTransport>);

// The method names the transport calls, made on first use; false with the
// Python error set if they cannot be made.
bool prepare_packed_transport();

}  // namespace tarnex::match
