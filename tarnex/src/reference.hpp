#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include "game.hpp"
namespace tarnex {
enum class ReferenceKind : std::uint8_t { greedy, lookahead };
std::optional<ReferenceKind> reference_kind(std::string_view name);  // "greedy", "lookahead"
std::string_view reference_name(ReferenceKind kind);
Tile reference_tile(const Game& game, ReferenceKind kind, std::uint64_t tie_break);
}
