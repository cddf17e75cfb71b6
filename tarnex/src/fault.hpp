// The one exception type of the libraries: a broken precondition or an
// impossible state. Expected failures travel as values; a Fault abandons the
// whole call and is turned into a Python exception by the module layer only.
#pragma once

#include <stdexcept>
#include <string>

namespace tarnex {

class Fault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] inline void fault(const std::string& message) { throw Fault(message); }

}  // namespace tarnex
