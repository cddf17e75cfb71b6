// Move generation, the tile-by-tile turn, payoff and the network's picture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "board.hpp"
#include "cellset.hpp"

namespace tarnex {

using Tile = std::size_t;

// One way to put a remaining piece down. `piece` is the position in the
// player's remaining-piece list when the map was generated; `catalogue` is
// kept beside it so the placement's cells need no list lookup.
struct Placement {
    std::uint16_t anchor = 0;
    std::uint8_t piece = 0;
    std::uint8_t variant = 0;
    std::uint8_t catalogue = 0;

    bool covers(Tile tile) const;
    // Calls f(cell) for each covered cell, ascending.
    template <class F>
    void for_each_cell(F&& f) const {
        const VariantBits& v = catalogue_bits()[catalogue].variants[variant];
        for (std::size_t k = 0; k < v.size; ++k) f(std::size_t{anchor} + v.offsets[k]);
    }
    bool operator==(const Placement& o) const {
        return anchor == o.anchor && piece == o.piece && variant == o.variant;
    }
};

// The mover's open choices in the current turn: the placements still
// consistent with the tiles chosen so far, and the tiles still choosable
// (every cell of those placements not yet chosen). The set of a key t is the
// live placements covering t. A turn's placements never change once
// generated, so copies share the list; narrowing makes a new one.
class TileMoves {
public:
    TileMoves() = default;
    TileMoves(std::vector<Placement> placements, const CellSet& keys);

    bool empty() const { return keys_.empty(); }
    std::size_t size() const { return keys_.size(); }
    bool contains(Tile tile) const { return tile < kBoardCells && keys_.contains(tile); }
    const CellSet& keys() const { return keys_; }
    std::vector<Tile> tiles() const;
    std::span<const Placement> live() const;
    // The set of a key (empty for a tile that is not a key).
    std::vector<Placement> placements_at(Tile tile) const;

    // Removes key `tile` (which must be a key) and keeps only the placements
    // covering it; returns those placements.
    std::span<const Placement> narrow(Tile tile);

    // The live placements that can end the turn: the turn ends when no key is
    // left, so one whose cells another live placement covers along with more
    // can never be completed on its own.
    std::vector<Placement> completable() const;

private:
    std::shared_ptr<const std::vector<Placement>> live_;
    CellSet keys_;
};

TileMoves get_tile_moves(const Board& board, std::size_t player);

// 5 planes of 20 x 20, indexed [plane * 400 + row * 20 + column].
using BoardState = std::array<bool, 5 * kBoardCells>;

struct Game {
    Board board;
    std::vector<std::pair<std::int32_t, std::int32_t>> history;
    TileMoves tile_moves;
    std::size_t current_player = 0;
    std::array<std::uint32_t, kPlayers> last_sizes{};
    std::array<bool, kPlayers> finished{};

    static Game reset();

    // Chooses one cell for the mover. A tile that is not one of the legal
    // tiles is rejected with "Invalid move - Player p, Tile t" and changes
    // nothing. With `piece` the turn ends after this tile with that piece.
    std::optional<std::string> apply(Tile tile, std::optional<std::size_t> piece = std::nullopt);
    std::size_t advance_player();
    std::vector<Tile> get_legal_tiles() const { return tile_moves.tiles(); }
    bool is_terminal() const { return finished[0] && finished[1] && finished[2] && finished[3]; }
    std::array<float, kPlayers> get_payoff() const;
    BoardState get_board_state() const;
};

// Where board cell n appears in the planes of a position with `mover` to move.
const std::array<std::uint16_t, kBoardCells>& board_state_frame(std::size_t mover);

}  // namespace tarnex
