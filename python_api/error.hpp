// A Python exception taken out of the interpreter: its type, value and
// traceback, owned, with the two text renderings the drivers use.
#pragma once

#include <string>

#include "ref.hpp"

namespace tarnex::python {

class PyError {
public:
    // Takes the exception that is currently set (normalised, so `value` is an
    // instance of `type`) and clears it. If none is set, a SystemError stands
    // in for it.
    static PyError fetch();
    // A new exception of `type` with `message` as its only argument.
    static PyError make(PyObject* type, const std::string& message);
    // Adopts an already-normalised exception; `traceback` may be null.
    static PyError adopt(Ref type, Ref value, Ref traceback);

    // The exception type's qualified name, ": " and str() of the value
    // ("<exception str() failed>" when str() raises).
    std::string display() const;
    // PyErr { type: <repr>, value: <repr>, traceback: None | Some(<repr>) }
    std::string detail() const;

    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    PyObject* traceback() const { return traceback_.get(); }

    // Makes this exception the interpreter's current one (consumes it).
    void restore() &&;

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// UTF-8 text of a str object; lone surrogates become U+FFFD. Never leaves a
// Python error set; `ok` is false if the object is not a str at all.
std::string utf8_text(PyObject* str, bool* ok = nullptr);
// repr() of an object as UTF-8 text; "<unprintable T object>" if repr raises.
std::string repr_text(PyObject* o);
// The __qualname__ of a type (its tp_name if that attribute cannot be read).
std::string qualified_name(PyObject* type);
// A str object from UTF-8 text (invalid bytes replaced); null on failure.
Ref unicode(const std::string& utf8);

}  // namespace tarnex::python
