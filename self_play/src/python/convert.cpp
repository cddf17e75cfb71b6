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

namespace {

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

// A new list of `n` items made by `make(i)`; null with the error set if any fails.
template <class Make>
Ref make_list(std::size_t n, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    for (std::size_t i = 0; i < n; ++i) {
        Ref item = make(i);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace

Ref training_result_to_python(const self_play::TrainingGameResult& result) {
    Ref history = make_list(result.history.size(), [&](std::size_t i) {
        return int_pair(result.history[i].first, result.history[i].second);
    });
    if (!history) return {};
    Ref policies = make_list(result.policies.size(), [&](std::size_t i) {
        const auto& record = result.policies[i];
        return make_list(record.size(), [&](std::size_t j) { return share_pair(record[j].first, record[j].second); });
    });
    if (!policies) return {};
    Ref payoff = make_list(result.payoff.size(), [&](std::size_t i) {
        return Ref::steal(PyFloat_FromDouble(static_cast<double>(result.payoff[i])));
    });
    if (!payoff) return {};
    return Ref::steal(PyTuple_Pack(3, history.get(), policies.get(), payoff.get()));
}

}  // namespace tarnex::python
