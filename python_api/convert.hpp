// Conversions between Python numbers and the engine's numbers, and the
// small builders that turn the drivers' results into Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "ref.hpp"

namespace tarnex::python {

// The interpreter's float protocol, alike on CPython and PyPy: a float (or
// float subclass) is read directly, anything else through __float__, or
// through __index__ when it has no __float__. Returns false with the Python
// error set on failure.
bool as_double(PyObject* o, double& out);
// An exact float read directly, anything else as above.
inline bool as_double_fast(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return as_double(o, out);
}
// The nearest single-precision value, rounding to nearest even; magnitudes
// beyond the float range become infinities. (A plain cast of an
// out-of-range double is undefined behaviour in C++.)
inline float to_float(double d) {
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kOverflow = 0x1.ffffffp+127;  // kMax + half an ulp: rounds up
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    if (d > kMax) return static_cast<float>(kMax);
    if (d < -kMax) return static_cast<float>(-kMax);
    return static_cast<float>(d);
}
// An int, or an object accepted through __index__, within the target's
// range; false with the Python error set otherwise (TypeError for a
// non-integer, OverflowError out of range).
bool as_u64(PyObject* o, std::uint64_t& out);
// Signed: the range of a C long (64 bits here), with the interpreter's own
// overflow message beyond it.
bool as_long(PyObject* o, long& out);

// (a, b) as a tuple of two ints.
Ref int_pair(std::int32_t a, std::int32_t b);
// (tile, share) as a tuple of an int and a float.
Ref share_pair(std::int32_t tile, float share);

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

}  // namespace tarnex::python
