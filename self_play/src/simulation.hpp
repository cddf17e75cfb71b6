// The self-play engine: settings, search tree, evaluation, PUCT search and the
// game drivers, all templated on the evaluation transport.
#pragma once

#include "config.hpp"
#include "drivers.hpp"
#include "evaluation.hpp"
#include "expected.hpp"
#include "node.hpp"
#include "quoted.hpp"
#include "rng.hpp"
#include "search.hpp"
