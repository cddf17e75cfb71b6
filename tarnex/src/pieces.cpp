#include "pieces.hpp"

#include <string_view>

namespace tarnex {
namespace {

// Base grids, rows joined by '/', '#' filled.
constexpr std::array<std::string_view, kPieceCount> kBaseGrids = {
    "#",           "##",          "##/.#",       "###",         "####",
    "##/#./#.",    "###/.#.",     "##/##",       "##./.##",     "#####",
    "####/#...",   "###./..##",   "###/##.",     "###/#../#..", "##./.##/..#",
    "##./.#./.##", "###/#.#",     "####/.#..",   ".#./###/.#.", ".#./###/#..",
    "###/.#./.#.",
};

Grid parse_grid(std::string_view text) {
    Grid grid(1);
    for (char c : text) {
        if (c == '/') {
            grid.emplace_back();
        } else {
            grid.back().push_back(c == '#');
        }
    }
    return grid;
}

VariantBits variant_bits(const PieceVariant& v) {
    VariantBits bits;
    bits.height = static_cast<std::uint8_t>(v.shape.size());
    bits.width = static_cast<std::uint8_t>(v.width);
    bits.size = static_cast<std::uint8_t>(v.offsets.size());
    for (std::size_t i = 0; i < v.shape.size(); ++i) {
        for (std::size_t j = 0; j < v.shape[i].size(); ++j) {
            if (v.shape[i][j]) bits.rows[i] |= 1u << j;
        }
    }
    for (std::size_t k = 0; k < v.offsets.size(); ++k) {
        bits.offsets[k] = static_cast<std::uint16_t>(v.offsets[k]);
    }
    return bits;
}

}  // namespace

PieceVariant PieceVariant::new_(Grid grid) {
    PieceVariant v;
    for (std::size_t j = 0; j < grid.size(); ++j) {
        const auto& row = grid[j];
        v.mask.insert(v.mask.end(), row.begin(), row.end());
        if (j + 1 < grid.size() && row.size() < kBoardSide) {
            v.mask.insert(v.mask.end(), kBoardSide - row.size(), false);
        }
    }
    for (std::size_t k = 0; k < v.mask.size(); ++k) {
        if (v.mask[k]) v.offsets.push_back(k);
    }
    v.width = grid.front().size();
    v.shape = std::move(grid);
    return v;
}

Grid Piece::rotate(Grid grid) {
    const std::size_t n = grid.size();
    const std::size_t w = grid.front().size();
    Grid out(w, std::vector<bool>(n));
    for (std::size_t j = 0; j < w; ++j) {
        for (std::size_t k = 0; k < n; ++k) out[j][k] = grid[n - 1 - k][j];
    }
    return out;
}

Grid Piece::flip(Grid grid) {
    for (auto& row : grid) {
        std::vector<bool> reversed(row.rbegin(), row.rend());
        row = std::move(reversed);
    }
    return grid;
}

Piece Piece::new_(std::uint8_t index) {
    Piece piece;
    piece.shape = parse_grid(kBaseGrids[index < 20 ? index : 20]);
    piece.catalogue_index = index;
    for (const auto& row : piece.shape) {
        for (bool cell : row) piece.size += cell ? 1 : 0;
    }

    // Steps 0..3: the base turned 0..3 times; steps 4..7: its mirror turned.
    auto try_add = [&piece](const Grid& grid) {
        PieceVariant candidate = PieceVariant::new_(grid);
        for (const auto& kept : piece.variants) {
            if (kept.mask == candidate.mask) return;
        }
        piece.variants.push_back(std::move(candidate));
    };
    Grid g = piece.shape;
    for (int step = 0; step < 4; ++step) {
        try_add(g);
        g = rotate(std::move(g));
    }
    g = flip(piece.shape);
    for (int step = 0; step < 4; ++step) {
        try_add(g);
        g = rotate(std::move(g));
    }
    return piece;
}

const std::array<Piece, kPieceCount>& catalogue() {
    static const std::array<Piece, kPieceCount> pieces = [] {
        std::array<Piece, kPieceCount> out;
        for (std::size_t i = 0; i < kPieceCount; ++i) {
            out[i] = Piece::new_(static_cast<std::uint8_t>(i));
        }
        return out;
    }();
    return pieces;
}

const std::array<PieceBits, kPieceCount>& catalogue_bits() {
    static const std::array<PieceBits, kPieceCount> bits = [] {
        std::array<PieceBits, kPieceCount> out;
        const auto& pieces = catalogue();
        for (std::size_t i = 0; i < kPieceCount; ++i) {
            out[i].size = static_cast<std::uint8_t>(pieces[i].size);
            out[i].variant_count = static_cast<std::uint8_t>(pieces[i].variants.size());
            for (std::size_t u = 0; u < pieces[i].variants.size(); ++u) {
                out[i].variants[u] = variant_bits(pieces[i].variants[u]);
            }
        }
        return out;
    }();
    return bits;
}

}  // namespace tarnex
