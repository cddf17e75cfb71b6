// The training driver's result as Python objects.
#pragma once

#include "python_api/ref.hpp"  // Python.h comes first

#include "drivers.hpp"

namespace tarnex::python {

// (history, policies, payoff): history a list of (int, int) tuples, policies
// a list of lists of (int, float) tuples, payoff a list of floats.
Ref training_result_to_python(const self_play::TrainingGameResult& result);

}  // namespace tarnex::python
