// A thin RAII layer over the Python C API: owned references, the
// interpreter lock, and process-wide objects created once on first use.
//
// This folder is the Python layer the extensions share (the self-play module
// self_play/src/lib.cpp and the training tools' bindings in
// tarnex_train/src/); only they include Python.h, and the engine knows
// nothing of Python. Everything here must build against CPython 3.9+ and
// PyPy's emulation of the C API (PyPy 7.3, Python 3.9), which lacks
// Py_NewRef, Py_Is, PyModule_AddObjectRef and friends: only the classic calls
// are used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnex::python {

// An owned (strong) reference, released on destruction. Null means "no
// object", which after a failed C-API call means a Python error is set.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (as returned by most C-API calls).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }

    PyObject* get() const { return o_; }
    explicit operator bool() const { return o_ != nullptr; }
    // Hands the reference over (for calls that steal one).
    PyObject* release() { return std::exchange(o_, nullptr); }
    void reset() {
        PyObject* old = std::exchange(o_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* o) : o_(o) {}
    PyObject* o_ = nullptr;
};

// Holds the interpreter lock for its lifetime (a no-op when the calling
// thread holds it already, as it does when called from Python).
class GilGuard {
public:
    GilGuard() : state_(PyGILState_Ensure()) {}
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    ~GilGuard() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Stores `fresh` in `slot` unless another thread got there first (possible
// only if creating it ran Python code that let another thread in); either way
// returns the stored object. The stored reference is kept for the life of the
// process. Call with the lock held.
inline PyObject* keep_once(PyObject*& slot, Ref fresh) {
    if (slot == nullptr) slot = fresh.release();
    return slot;
}

// An interned string made once per process on first use; null (with the
// Python error set) if it could not be made.
inline PyObject* interned(PyObject*& slot, const char* text) {
    if (slot != nullptr) return slot;
    Ref s = Ref::steal(PyUnicode_InternFromString(text));
    if (!s) return nullptr;
    return keep_once(slot, std::move(s));
}

}  // namespace tarnex::python
