// The evaluation round trip of tarnex_train's own games, in the worker
// pool's own forms: a request leaves as the 2,000 bytes the server batches
// (queue.put(id, planes)), the reply comes back as the bytes the evaluators
// make (pipe.recv()), and nothing on the way becomes a list of Python
// objects. tarnex_self_play keeps the list protocol of PythonTransport; this
// one is for _match alone, so the two can change apart.
//
// Both in the forms of wire_format.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "evaluation.hpp"
#include "python_api/error.hpp"
#include "python_api/ref.hpp"
#include "wire_format.hpp"

namespace tarnex::match {

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
