// Internal faults as Python sees them: `PanicException`, a direct subclass of
// BaseException (so `except Exception` does not catch it), created once per
// process on first use and not reachable as a module attribute.
#pragma once

#include <string>

#include "python_api/ref.hpp"

namespace tarnex::python {

// The PanicException type (borrowed, kept for the life of the process), or
// null with the Python error set.
PyObject* panic_exception_type();

// Writes a report of the fault to standard error and sets PanicException
// with `message` as its only argument. `where` names the exported function.
void raise_panic(const char* where, const std::string& message);

}  // namespace tarnex::python
