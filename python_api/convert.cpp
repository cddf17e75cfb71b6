#include "convert.hpp"

namespace tarnex::python {

bool as_double(PyObject* o, double& out) {
    if (PyFloat_Check(o)) {
        // A float subclass is read directly, whatever its __float__ says
        // (PyPy's PyFloat_AsDouble would call it; CPython's does not).
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
#ifdef PYPY_VERSION
        // PyPy's PyFloat_AsDouble ignores __index__, which CPython's (and
        // PyPy's own float()) honours; fall back to it the same way.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
        if (PyObject_HasAttrString(type, "__float__") || !PyObject_HasAttrString(type, "__index__")) return false;
        PyErr_Clear();
        Ref index = Ref::steal(PyNumber_Index(o));
        if (!index) return false;
        d = PyLong_AsDouble(index.get());
        if (d == -1.0 && PyErr_Occurred()) return false;
#else
        return false;
#endif
    }
    out = d;
    return true;
}

// PyNumber_Index first: PyLong_As* on PyPy would also truncate floats.
bool as_u64(PyObject* o, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool as_long(PyObject* o, long& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

Ref int_pair(std::int32_t a, std::int32_t b) {
    Ref first = Ref::steal(PyLong_FromLong(a));
    if (!first) return {};
    Ref second = Ref::steal(PyLong_FromLong(b));
    if (!second) return {};
    return Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
}

Ref share_pair(std::int32_t tile, float share) {
    Ref first = Ref::steal(PyLong_FromLong(tile));
    if (!first) return {};
    Ref second = Ref::steal(PyFloat_FromDouble(static_cast<double>(share)));
    if (!second) return {};
    return Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
}

}  // namespace tarnex::python
