// Binding the arguments of a fast call (positional array plus keyword names)
// to a fixed list of required parameters, with the interpreter's usual
// TypeError wording for calls of a Python function.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "python_api/ref.hpp"

namespace tarnex::python {

// Fills `bound` (borrowed references, in parameter order) from `args`
// (`nargs` positional ones followed by one per name in `kwnames`). On a
// binding error sets TypeError naming `function` and returns false. Checks in
// the interpreter's order: keyword arguments (unexpected, multiple values),
// then surplus positional arguments, then missing ones.
bool bind_arguments(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

template <std::size_t N>
bool bind_arguments(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& bound) {
    return bind_arguments(function, names.data(), N, args, nargs, kwnames, bound.data());
}

}  // namespace tarnex::python
