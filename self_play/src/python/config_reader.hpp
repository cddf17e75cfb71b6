// Reading the search settings from any Python object, by attribute.
#pragma once

#include <variant>

#include "config.hpp"
#include "python_api/error.hpp"

namespace tarnex::python {

// Looks up sims_per_move, sample_moves, c_base, c_init, dirichlet_alpha and
// exploration_fraction in this order; the first failure ends the reading. A
// failed look-up is returned unchanged; a value that does not convert gives
// TypeError "failed to extract field Config.<name>" with the conversion error
// as its __cause__. Call with the interpreter lock held.
std::variant<self_play::Config, PyError> read_config(PyObject* object);

}  // namespace tarnex::python
