// The 21 polyomino pieces and their distinct orientations.
//
// Orientations are stored at board stride: a filled cell in row i, column j of
// the oriented grid is the offset i * 20 + j, so a variant placed with the
// top-left corner of its bounding box on `anchor` covers anchor + offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnex {

inline constexpr std::size_t kBoardSide = 20;
inline constexpr std::size_t kBoardCells = kBoardSide * kBoardSide;
inline constexpr std::size_t kPieceCount = 21;
inline constexpr std::size_t kCatalogueCells = 89;

// Rows from top to bottom, each a row of booleans from left to right.
using Grid = std::vector<std::vector<bool>>;

struct PieceVariant {
    std::vector<std::size_t> offsets;  // ascending board-stride offsets of the filled cells
    std::vector<bool> mask;            // the grid flattened at board stride
    Grid shape;
    std::size_t width = 0;

    static PieceVariant new_(Grid grid);

    std::size_t height() const { return shape.size(); }
};

struct Piece {
    Grid shape;
    std::vector<PieceVariant> variants;
    std::size_t catalogue_index = 0;
    std::uint32_t size = 0;

    // Index 0..19 selects that catalogue row; any larger index the grid of row
    // 20, while `catalogue_index` keeps the value given.
    static Piece new_(std::uint8_t index);
    // Quarter turn clockwise: result[j][k] = grid[n - 1 - k][j].
    static Grid rotate(Grid grid);
    // Mirror left to right.
    static Grid flip(Grid grid);
};

// The catalogue, built once per process (indices 0..20).
const std::array<Piece, kPieceCount>& catalogue();

// Compact per-variant data for the bit-parallel move generator: each row of
// the oriented grid as a bit mask (bit j = column j), plus cached sizes.
struct VariantBits {
    std::array<std::uint32_t, 5> rows{};
    std::uint8_t height = 0;
    std::uint8_t width = 0;
    std::uint8_t size = 0;
    std::array<std::uint16_t, 5> offsets{};  // same as PieceVariant::offsets
};

struct PieceBits {
    std::array<VariantBits, 8> variants{};
    std::uint8_t variant_count = 0;
    std::uint8_t size = 0;
};

const std::array<PieceBits, kPieceCount>& catalogue_bits();

}  // namespace tarnex
