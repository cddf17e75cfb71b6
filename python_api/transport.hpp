// The evaluation round trip, Python half: the engine's transport that sends
// (id, planes) through `queue.put` and reads (policy, values) from
// `pipe.recv()`.
#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "evaluation.hpp"
#include "ref.hpp"

// Two implementations of one exchange, with the same requests, replies,
// errors and messages:
// - direct C-API calls, the fastest on CPython;
// - one call of a small Python function compiled inside the module, which
//   builds the request from a bytes object and reads the reply into a bytes
//   object. On PyPy every C-API call crosses its emulation layer, and the
//   ~2,000 calls of the direct way cost more than the whole search; the
//   Python function runs under PyPy's JIT instead.
// The choice is made at build time; defining TARNEX_EXCHANGE_VIA_HELPER as 0
// or 1 overrides it (to measure or test one way on the other interpreter).
#ifndef TARNEX_EXCHANGE_VIA_HELPER
#ifdef PYPY_VERSION
#define TARNEX_EXCHANGE_VIA_HELPER 1
#else
#define TARNEX_EXCHANGE_VIA_HELPER 0
#endif
#endif

namespace tarnex::python {

class PythonTransport {
public:
    using Error = PyError;

    // `queue` and `pipe` are borrowed: the caller keeps them alive for the
    // transport's lifetime. Call everything with the interpreter lock held.
    PythonTransport(PyObject* queue, PyObject* pipe) : queue_(queue), pipe_(pipe) {}

    // Calls queue.put((id, planes)), then pipe.recv(), and reads reply[0] and
    // reply[1] into `reply` (single-precision numbers, in the mover's frame).
    // Any Python exception on the way is returned, with nothing else done; so
    // is a ValueError for a reply item that goes on beyond 1,000,000 items.
    std::optional<PyError> exchange(std::int32_t id, const BoardState& planes, self_play::EvaluationReply& reply);

private:
    std::optional<PyError> exchange_direct(PyObject* id, const BoardState& planes, self_play::EvaluationReply& reply);
    std::optional<PyError> exchange_via_helper(PyObject* id, const BoardState& planes,
                                               self_play::EvaluationReply& reply);
    PyObject* id_object(std::int32_t id);

    PyObject* queue_;
    PyObject* pipe_;
    Ref id_;
    std::int32_t id_value_ = 0;
    // The helper way's state object and the address of its row patterns.
    Ref helper_state_;
    std::uint32_t* row_patterns_ = nullptr;
};

static_assert(self_play::Transport<PythonTransport>);

// The process-wide objects the transport needs (attribute names, the helper
// function), made on first use; false with the Python error set if they
// cannot be made.
bool prepare_transport();

}  // namespace tarnex::python
