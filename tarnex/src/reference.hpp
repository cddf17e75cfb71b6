// Rule-based players that can take a seat without a network: fixed yardsticks
// for the learner, whose strength never moves.
//
//   greedy     plays a largest piece that fits, at the placement that most
//              increases its own corner cells (those it opens minus those it
//              closes) minus the opponents' corner cells it covers, ties broken
//              at random.
//   lookahead  plays a largest piece that fits, at the placement that leaves it
//              the most legal placements on its next turn minus the placements
//              it takes away from the opponents, ties broken at random.
//
// Both rank every placement on the board as it was when the turn began, so the
// ranking, and with it the chosen placement, stays the same for every tile of
// the turn.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include "game.hpp"
namespace tarnex {
enum class ReferenceKind : std::uint8_t { greedy, lookahead };
std::optional<ReferenceKind> reference_kind(std::string_view name);  // "greedy", "lookahead"
std::string_view reference_name(ReferenceKind kind);
// The tile reference player `kind` chooses next in `game` (not terminal; the mover is
// game.current_player). Stateless: on every tile it ranks the placements still live in the turn
// (all of them at the turn's first tile) and returns an unchosen cell of the best one.
// `tie_break` breaks ties among equally ranked placements (e.g. the smallest hash of
// (tie_break, placement)), so a random tie_break gives a uniform choice among ties, and the same
// tie_break keeps choosing the same placement through the turn.
Tile reference_tile(const Game& game, ReferenceKind kind, std::uint64_t tie_break);
}
