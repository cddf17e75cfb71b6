#include "game.hpp"

#include <algorithm>
#include <bit>

#include "fault.hpp"

namespace tarnex {

bool Placement::covers(Tile tile) const {
    const VariantBits& v = catalogue_bits()[catalogue].variants[variant];
    if (tile < anchor) return false;
    const std::size_t dr = tile / kBoardSide - anchor / kBoardSide;
    const std::size_t col = tile % kBoardSide;
    const std::size_t acol = anchor % kBoardSide;
    if (dr >= v.height || col < acol) return false;
    return (v.rows[dr] >> (col - acol)) & 1u;
}

TileMoves::TileMoves(std::vector<Placement> placements, const CellSet& keys)
    : live_(std::make_shared<const std::vector<Placement>>(std::move(placements))), keys_(keys) {}

std::vector<Tile> TileMoves::tiles() const {
    std::vector<Tile> out;
    out.reserve(keys_.size());
    keys_.for_each([&](std::size_t cell) { out.push_back(cell); });
    return out;
}

std::span<const Placement> TileMoves::live() const {
    if (!live_) return {};
    return {live_->data(), live_->size()};
}

std::vector<Placement> TileMoves::placements_at(Tile tile) const {
    std::vector<Placement> out;
    if (!contains(tile)) return out;
    for (const Placement& p : live()) {
        if (p.covers(tile)) out.push_back(p);
    }
    return out;
}

std::span<const Placement> TileMoves::narrow(Tile tile) {
    std::vector<Placement> kept;
    CellSet cells;
    for (const Placement& p : live()) {
        if (!p.covers(tile)) continue;
        kept.push_back(p);
        const VariantBits& v = catalogue_bits()[p.catalogue].variants[p.variant];
        const std::size_t r = p.anchor / kBoardSide;
        const std::size_t c = p.anchor % kBoardSide;
        for (std::size_t i = 0; i < v.height; ++i) cells.row(r + i) |= v.rows[i] << c;
    }
    // A key stays when it is still covered by some consistent placement;
    // tiles chosen earlier in the turn are no longer keys and stay out.
    for (std::size_t r = 0; r < kBoardSide; ++r) keys_.row(r) &= cells.row(r);
    keys_.erase(tile);
    live_ = std::make_shared<const std::vector<Placement>>(std::move(kept));
    return live();
}

std::vector<Placement> TileMoves::completable() const {
    const std::span<const Placement> placements = live();
    // The live placements by covered cell, in compressed rows: a placement
    // containing p covers p's first cell.
    std::array<std::uint32_t, kBoardCells + 1> start{};
    for (const Placement& p : placements) p.for_each_cell([&](std::size_t cell) { ++start[cell + 1]; });
    for (std::size_t n = 0; n < kBoardCells; ++n) start[n + 1] += start[n];
    std::vector<std::uint32_t> by_cell(start.back());
    auto fill = start;
    for (std::uint32_t i = 0; i < placements.size(); ++i) {
        placements[i].for_each_cell([&](std::size_t cell) { by_cell[fill[cell]++] = i; });
    }
    const auto& bits = catalogue_bits();
    std::vector<Placement> out;
    for (const Placement& p : placements) {
        const VariantBits& v = bits[p.catalogue].variants[p.variant];
        const std::size_t first = std::size_t{p.anchor} + v.offsets[0];
        bool contained = false;
        for (std::uint32_t k = start[first]; k < start[first + 1] && !contained; ++k) {
            const Placement& q = placements[by_cell[k]];
            if (bits[q.catalogue].size <= v.size) continue;
            contained = true;
            p.for_each_cell([&](std::size_t cell) { contained = contained && q.covers(cell); });
        }
        if (!contained) out.push_back(p);
    }
    return out;
}

// Bit-parallel generation. For a variant and an anchor row r, the anchor
// columns c at which every covered cell is open to the player are those where
// no row of the variant, shifted by c, meets a closed cell; the contact test
// is the same shift against the corner set. Trying every anchor row that puts
// some row of the variant on a row holding a corner finds exactly the
// placements that is_valid_move accepts, each once.
TileMoves get_tile_moves(const Board& board, std::size_t player) {
    if (player >= kPlayers) fault("get_tile_moves: player " + std::to_string(player) + " out of range");
    const CellSet& corners = board.corners[player];
    const CellSet& closed = board.closed[player];
    const std::uint32_t corner_rows = corners.occupied_rows();
    std::vector<Placement> found;
    CellSet keys;
    if (corner_rows == 0 || board.pieces[player] == 0) return TileMoves(std::move(found), keys);
    found.reserve(256);

    const auto& bits = catalogue_bits();
    std::uint8_t piece_index = 0;
    for (std::uint32_t remaining = board.pieces[player]; remaining != 0; remaining &= remaining - 1, ++piece_index) {
        const auto catalogue = static_cast<std::uint8_t>(std::countr_zero(remaining));
        const PieceBits& piece = bits[catalogue];
        for (std::uint8_t u = 0; u < piece.variant_count; ++u) {
            const VariantBits& v = piece.variants[u];
            // Anchor rows whose variant rows reach a corner row and stay on the board.
            std::uint32_t rows = 0;
            for (std::size_t i = 0; i < v.height; ++i) rows |= corner_rows >> i;
            rows &= (std::uint32_t{1} << (kBoardSide + 1 - v.height)) - 1;
            const std::uint32_t columns = (std::uint32_t{1} << (kBoardSide + 1 - v.width)) - 1;
            for (; rows != 0; rows &= rows - 1) {
                const auto r = static_cast<std::size_t>(std::countr_zero(rows));
                // Contact first: most anchor rows touch no corner at any column.
                std::uint32_t valid = 0;
                for (std::size_t k = 0; k < v.size; ++k) {
                    valid |= corners.row(r + v.offsets[k] / kBoardSide) >> (v.offsets[k] % kBoardSide);
                }
                valid &= columns;
                for (std::size_t k = 0; k < v.size && valid != 0; ++k) {
                    valid &= ~(closed.row(r + v.offsets[k] / kBoardSide) >> (v.offsets[k] % kBoardSide));
                }
                for (; valid != 0; valid &= valid - 1) {
                    const auto c = static_cast<std::size_t>(std::countr_zero(valid));
                    found.push_back(Placement{static_cast<std::uint16_t>(r * kBoardSide + c), piece_index, u, catalogue});
                    for (std::size_t i = 0; i < v.height; ++i) keys.row(r + i) |= v.rows[i] << c;
                }
            }
        }
    }
    return TileMoves(std::move(found), keys);
}

Game Game::reset() {
    Game game;
    game.board = Board::new_();
    game.tile_moves = get_tile_moves(game.board, 0);
    game.history.reserve(256);
    return game;
}

std::optional<std::string> Game::apply(Tile tile, std::optional<std::size_t> piece) {
    const std::size_t p = current_player;
    // Test first: a rejected tile must leave the game exactly as it was.
    if (!tile_moves.contains(tile)) {
        return "Invalid move - Player " + std::to_string(p) + ", Tile " + std::to_string(tile);
    }
    if (piece && *piece >= board.piece_count(p)) {
        fault("piece index " + std::to_string(*piece) + " out of range for player " + std::to_string(p));
    }
    board.place_tile(tile, p);
    history.emplace_back(static_cast<std::int32_t>(p), static_cast<std::int32_t>(tile));
    const std::span<const Placement> consistent = tile_moves.narrow(tile);
    if (tile_moves.empty() || piece) {
        std::size_t index = 0;
        if (piece) {
            index = *piece;
        } else {
            if (consistent.size() != 1) fault("turn ended with " + std::to_string(consistent.size()) + " placements");
            index = consistent.front().piece;
        }
        last_sizes[p] = catalogue()[board.piece_at(p, index)].size;
        board.remove_piece(p, index);
        advance_player();
    }
    return std::nullopt;
}

std::size_t Game::advance_player() {
    while (!is_terminal()) {
        current_player = (current_player + 1) % kPlayers;
        tile_moves = get_tile_moves(board, current_player);
        if (finished[current_player]) continue;
        if (!tile_moves.empty()) return current_player;
        finished[current_player] = true;
    }
    return current_player;
}

std::array<float, kPlayers> Game::get_payoff() const {
    const auto scores = board.get_scores(last_sizes);
    const std::int32_t best = *std::max_element(scores.begin(), scores.end());
    const auto winners = static_cast<float>(std::count(scores.begin(), scores.end(), best));
    std::array<float, kPlayers> payoff{};
    for (std::size_t p = 0; p < kPlayers; ++p) payoff[p] = scores[p] == best ? 1.0f / winners : 0.0f;
    return payoff;
}

const std::array<std::uint16_t, kBoardCells>& board_state_frame(std::size_t mover) {
    static const auto frames = [] {
        std::array<std::array<std::uint16_t, kBoardCells>, kPlayers> out{};
        for (std::size_t n = 0; n < kBoardCells; ++n) {
            const std::size_t i = n / kBoardSide;
            const std::size_t j = n % kBoardSide;
            const std::size_t last = kBoardSide - 1;
            out[0][n] = static_cast<std::uint16_t>(i * kBoardSide + j);
            out[1][n] = static_cast<std::uint16_t>((last - j) * kBoardSide + i);
            out[2][n] = static_cast<std::uint16_t>((last - i) * kBoardSide + (last - j));
            out[3][n] = static_cast<std::uint16_t>(j * kBoardSide + (last - i));
        }
        return out;
    }();
    return frames[mover];
}

BoardState Game::get_board_state() const {
    BoardState planes{};
    const std::size_t s = current_player;
    const auto& frame = board_state_frame(s);
    for (std::size_t n = 0; n < kBoardCells; ++n) {
        const std::size_t owner = board.cells[n] & kOwnerMask;
        if (owner >= 1 && owner <= kPlayers) {
            const std::size_t plane = (owner - 1 + kPlayers - s) % kPlayers;
            planes[plane * kBoardCells + frame[n]] = true;
        }
    }
    tile_moves.keys().for_each([&](std::size_t t) { planes[4 * kBoardCells + frame[t]] = true; });
    return planes;
}

}  // namespace tarnex
