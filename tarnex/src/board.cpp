#include "board.hpp"

#include <bit>
#include <cstdio>
#include <string_view>

#include "fault.hpp"

namespace tarnex {

Board Board::new_() {
    Board board;
    for (std::size_t p = 0; p < kPlayers; ++p) {
        board.pieces[p] = (std::uint32_t{1} << kPieceCount) - 1;
        board.corners[p].insert(kStartCells[p]);
    }
    return board;
}

bool Board::is_valid_move(std::size_t player, const PieceVariant& variant, std::size_t anchor) const {
    const std::size_t length = variant.mask.size();
    if (anchor + length > kBoardCells || variant.width + anchor % kBoardSide > kBoardSide) {
        return false;
    }
    // The filled entries of the mask are exactly the offsets.
    const std::uint8_t closed = closed_bit(player);
    for (std::size_t offset : variant.offsets) {
        if ((cells[anchor + offset] & closed) != 0) return false;
    }
    for (std::size_t offset : variant.offsets) {
        if (corners[player].contains(anchor + offset)) return true;
    }
    return false;
}

void Board::place_tile(std::size_t x, std::size_t p) {
    if (x >= kBoardCells || p >= kPlayers) {
        fault("place_tile: cell " + std::to_string(x) + " or player " + std::to_string(p) + " out of range");
    }
    const std::size_t col = x % kBoardSide;
    const std::uint8_t bit = closed_bit(p);

    cells[x] = static_cast<std::uint8_t>(0xF0 | (p + 1));
    for (std::size_t q = 0; q < kPlayers; ++q) {
        corners[q].erase(x);
        closed[q].insert(x);
    }

    auto close = [&](std::size_t n) {
        cells[n] |= bit;
        closed[p].insert(n);
        corners[p].erase(n);
    };
    if (col != 0) close(x - 1);
    if (col != kBoardSide - 1) close(x + 1);
    if (x >= kBoardSide) close(x - kBoardSide);
    if (x + kBoardSide < kBoardCells) close(x + kBoardSide);

    auto offer = [&](bool inside, std::size_t d) {
        if (inside && (cells[d] & bit) == 0) corners[p].insert(d);
    };
    const bool left_ok = col != 0;
    const bool right_ok = col != kBoardSide - 1;
    offer(right_ok && x + 21 < kBoardCells, x + 21);
    offer(left_ok && x >= 21, x - 21);
    offer(right_ok && x >= 19, x - 19);
    offer(left_ok && x + 19 < kBoardCells, x + 19);
}

std::array<std::int32_t, kPlayers> Board::get_scores(const std::array<std::uint32_t, kPlayers>& last_sizes) const {
    std::array<std::int32_t, kPlayers> counts{};
    for (std::uint8_t cell : cells) {
        const std::uint8_t owner = cell & kOwnerMask;
        if (owner >= 1 && owner <= kPlayers) ++counts[owner - 1];
    }
    std::array<std::int32_t, kPlayers> scores{};
    for (std::size_t p = 0; p < kPlayers; ++p) {
        if (pieces[p] != 0) {
            scores[p] = counts[p] - 89;
        } else if (last_sizes[p] == 1) {
            scores[p] = counts[p] - 69;
        } else {
            scores[p] = counts[p] - 74;
        }
    }
    return scores;
}

std::string Board::render() const {
    static constexpr std::array<std::string_view, 5> kGlyphs = {
        "\u2B1C", "\U0001F7E5", "\U0001F7E6", "\U0001F7E8", "\U0001F7E9"};
    std::string text;
    text.reserve(kBoardCells * 4 + kBoardSide + 1);
    for (std::size_t r = 0; r < kBoardSide; ++r) {
        for (std::size_t c = 0; c < kBoardSide; ++c) {
            const std::uint8_t owner = cells[r * kBoardSide + c] & kOwnerMask;
            text += kGlyphs[owner <= kPlayers ? owner : 0];
        }
        text += '\n';
    }
    text += '\n';
    return text;
}

void Board::print_board() const {
    const std::string text = render();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::vector<std::size_t> Board::remaining_pieces(std::size_t player) const {
    std::vector<std::size_t> out;
    for (std::uint32_t bits = pieces[player]; bits != 0; bits &= bits - 1) {
        out.push_back(static_cast<std::size_t>(std::countr_zero(bits)));
    }
    return out;
}

std::size_t Board::piece_count(std::size_t player) const {
    return static_cast<std::size_t>(std::popcount(pieces[player]));
}

std::size_t Board::piece_at(std::size_t player, std::size_t index) const {
    std::uint32_t bits = pieces[player];
    if (index >= static_cast<std::size_t>(std::popcount(bits))) {
        fault("piece index " + std::to_string(index) + " out of range for player " + std::to_string(player) +
              " with " + std::to_string(std::popcount(bits)) + " pieces");
    }
    for (std::size_t i = 0; i < index; ++i) bits &= bits - 1;
    return static_cast<std::size_t>(std::countr_zero(bits));
}

void Board::remove_piece(std::size_t player, std::size_t index) {
    pieces[player] &= ~(std::uint32_t{1} << piece_at(player, index));
}

}  // namespace tarnex
