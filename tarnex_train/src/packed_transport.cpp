#include "packed_transport.hpp"

#include <cstring>
#include <string>

namespace tarnex::match {

namespace {

using python::PyError;
using python::Ref;

PyObject* g_put = nullptr;
PyObject* g_recv = nullptr;

// One line, whatever came back instead.
PyError bad_reply(PyObject* answer) {
    std::string message = "a reply must be bytes: b'R' and 404 float32 (" + std::to_string(wire::kReplySize) +
                          " bytes), got ";
    if (PyBytes_Check(answer)) {
        message += std::to_string(PyBytes_Size(answer)) + " bytes";
    } else {
        message += python::qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(answer)));
    }
    return PyError::make(PyExc_TypeError, message);
}

}  // namespace

bool prepare_packed_transport() { return python::interned(g_put, "put") && python::interned(g_recv, "recv"); }

std::optional<PyError> PackedTransport::exchange(std::int32_t id, const BoardState& planes,
                                                 self_play::EvaluationReply& reply) {
    if (!id_ || id != id_value_) {
        id_ = Ref::steal(PyLong_FromLong(id));
        if (!id_) return PyError::fetch();
        id_value_ = id;
    }
    static_assert(sizeof(bool) == 1 && sizeof(planes) == wire::kPlanesSize && sizeof(float) == 4,
                  "a cell is one byte, 0 or 1; an entry is a float32");
    {
        Ref packed = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(planes.data()),
                                                          static_cast<Py_ssize_t>(wire::kPlanesSize)));
        if (!packed) return PyError::fetch();
        Ref returned = Ref::steal(PyObject_CallMethodObjArgs(queue_, g_put, id_.get(), packed.get(), nullptr));
        if (!returned) return PyError::fetch();
    }
    Ref answer = Ref::steal(PyObject_CallMethodObjArgs(pipe_, g_recv, nullptr));
    if (!answer) return PyError::fetch();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(answer.get()) || PyBytes_AsStringAndSize(answer.get(), &data, &size) < 0 ||
        static_cast<std::size_t>(size) != wire::kReplySize || data[0] != wire::kReplyTag) {
        PyErr_Clear();
        return bad_reply(answer.get());
    }
    reply.policy.resize(kBoardCells);
    reply.values.resize(kPlayers);
    std::memcpy(reply.policy.data(), data + 1, 4 * kBoardCells);
    std::memcpy(reply.values.data(), data + 1 + 4 * kBoardCells, 4 * kPlayers);
    return std::nullopt;
}

}  // namespace tarnex::match
