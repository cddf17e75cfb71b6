#include "reference.hpp"

#include "fault.hpp"

namespace tarnex {

std::optional<ReferenceKind> reference_kind(std::string_view name) {
    if (name == "greedy") return ReferenceKind::greedy;
    if (name == "lookahead") return ReferenceKind::lookahead;
    return std::nullopt;
}

std::string_view reference_name(ReferenceKind kind) {
    return kind == ReferenceKind::greedy ? "greedy" : "lookahead";
}

Tile reference_tile(const Game& game, ReferenceKind, std::uint64_t tie_break) {
    const std::vector<Tile> legal = game.get_legal_tiles();
    if (legal.empty()) fault("reference_tile: no legal tile");
    return legal[tie_break % legal.size()];
}

}  // namespace tarnex
