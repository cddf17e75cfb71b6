#include "panic.hpp"

#include <cstdio>

#include "python_api/error.hpp"

namespace tarnex::python {

namespace {
PyObject* g_panic_type = nullptr;
}

PyObject* panic_exception_type() {
    if (g_panic_type != nullptr) return g_panic_type;
    Ref type = Ref::steal(PyErr_NewExceptionWithDoc(
        "tarnex_self_play.PanicException",
        "An internal fault of the self-play engine: a broken precondition or an impossible state. The call "
        "that raised it was abandoned; the module remains usable.",
        PyExc_BaseException, nullptr));
    if (!type) return nullptr;
    return keep_once(g_panic_type, std::move(type));
}

void raise_panic(const char* where, const std::string& message) {
    std::fprintf(stderr, "tarnex_self_play: internal fault in %s: %s\n", where, message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the error of creating it is set instead
    Ref text = unicode(message);
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace tarnex::python
