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
// Two more, written to differ from those two in what they value, so that a
// network trained beside greedy and lookahead can be tested against players
// whose habits it never saw:
//
//   centre     greedy's measure with every corner cell weighted by how near the
//              centre of the board it lies (10 on the edge ring, up to 19 in
//              the middle): it builds towards the open middle.
//   blocker    plays a largest piece that fits, at the placement that takes the
//              most placements away from the opponents, greedy's measure
//              breaking ties between those, then chance.
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
enum class ReferenceKind : std::uint8_t { greedy, lookahead, centre, blocker };
inline constexpr ReferenceKind kReferenceKinds[] = {ReferenceKind::greedy, ReferenceKind::lookahead,
                                                    ReferenceKind::centre, ReferenceKind::blocker};
std::optional<ReferenceKind> reference_kind(std::string_view name);  // "greedy", "lookahead", "centre", "blocker"
std::string_view reference_name(ReferenceKind kind);
// The tile reference player `kind` chooses next in `game` (not terminal; the mover is
// game.current_player). Stateless: on every tile it ranks the placements still live in the turn
// (all of them at the turn's first tile) and returns an unchosen cell of the best one.
// `tie_break` breaks ties among equally ranked placements (e.g. the smallest hash of
// (tie_break, placement)), so a random tie_break gives a uniform choice among ties, and the same
// tie_break keeps choosing the same placement through the turn.
Tile reference_tile(const Game& game, ReferenceKind kind, std::uint64_t tie_break);
}
