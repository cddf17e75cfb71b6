// The 20 x 20 board: cell bytes, each player's remaining pieces and corner sets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cellset.hpp"
#include "pieces.hpp"

namespace tarnex {

inline constexpr std::size_t kPlayers = 4;
// Start cells of players 0..3: top left, top right, bottom right, bottom left.
inline constexpr std::array<std::size_t, kPlayers> kStartCells = {0, 19, 399, 380};

// Cell byte: bits 0..3 owner (0 empty, 1..4 players 0..3); bit 4 + p closed to p.
inline constexpr std::uint8_t kOwnerMask = 0x0F;
inline constexpr std::uint8_t closed_bit(std::size_t player) {
    return static_cast<std::uint8_t>(0x10u << player);
}

struct Board {
    // Remaining pieces per player as a bit set over catalogue indices: the
    // rules only ever remove pieces, so ascending bit order is the list order.
    std::array<std::uint32_t, kPlayers> pieces{};
    std::array<CellSet, kPlayers> corners{};
    std::array<std::uint8_t, kBoardCells> cells{};
    // Mirror of bit 4 + p of `cells` as row masks, for the move generator.
    std::array<CellSet, kPlayers> closed{};

    static Board new_();

    bool is_valid_move(std::size_t player, const PieceVariant& variant, std::size_t anchor) const;
    void place_tile(std::size_t position, std::size_t player);
    std::array<std::int32_t, kPlayers> get_scores(const std::array<std::uint32_t, kPlayers>& last_sizes) const;
    // The picture print_board writes: 20 lines of glyphs and an empty line.
    std::string render() const;
    void print_board() const;

    // The player's remaining pieces as catalogue indices, in list order.
    std::vector<std::size_t> remaining_pieces(std::size_t player) const;
    std::size_t piece_count(std::size_t player) const;
    // Catalogue index of entry `index` of the player's remaining-piece list.
    std::size_t piece_at(std::size_t player, std::size_t index) const;
    // Removes entry `index` of the player's list; later entries move down one.
    void remove_piece(std::size_t player, std::size_t index);
};

}  // namespace tarnex
