// A game's history as Python gives it: (seat, tile) pairs of ints, read the
// same way by every module that takes one (tarnex_train._rules' replays,
// tarnex_train._match's openings and positions).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ref.hpp"

namespace tarnex::python {

// (seat, tile) pairs as given, before they are checked against the rules.
using Moves = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Reads `history`, a sequence (or any other iterable) of (seat, tile) pairs;
// `what` names it in errors ("history entry 3: tile must be an int, not
// float"). A history longer than any game is refused before anything
// proportional to its length is allocated, and the entries are read from a
// snapshot taken first, so an entry whose __len__ or __getitem__ changes the
// history cannot pull it away mid-read. False with the Python error set:
// TypeError for what is not pairs of ints, ValueError for a number beyond 64
// bits or a history too long.
bool read_moves(PyObject* history, const std::string& what, Moves& out);

}  // namespace tarnex::python
