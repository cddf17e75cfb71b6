// The piece catalogue and its orientations, checked against the rules' table
// and worked examples.
#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "pieces.hpp"
#include "test_support.hpp"

namespace tarnex {
namespace {

using test::grid_from;
using test::grid_text;

struct CatalogueRow {
    const char* grid;
    std::uint32_t size;
    std::vector<int> kept_steps;
};

// The catalogue as the rules list it: base grid, cells, surviving orientation steps.
const std::vector<CatalogueRow>& catalogue_table() {
    static const std::vector<CatalogueRow> rows = {
        {"#", 1, {0}},
        {"##", 2, {0, 1}},
        {"##/.#", 3, {0, 1, 2, 3}},
        {"###", 3, {0, 1}},
        {"####", 4, {0, 1}},
        {"##/#./#.", 4, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"###/.#.", 4, {0, 1, 2, 3}},
        {"##/##", 4, {0}},
        {"##./.##", 4, {0, 1, 4, 5}},
        {"#####", 5, {0, 1}},
        {"####/#...", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"###./..##", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"###/##.", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"###/#../#..", 5, {0, 1, 2, 3}},
        {"##./.##/..#", 5, {0, 1, 2, 3}},
        {"##./.#./.##", 5, {0, 1, 4, 5}},
        {"###/#.#", 5, {0, 1, 2, 3}},
        {"####/.#..", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
        {".#./###/.#.", 5, {0}},
        {".#./###/#..", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"###/.#./.#.", 5, {0, 1, 2, 3}},
    };
    return rows;
}

// Independent quarter turn clockwise and mirror, written from the rules'
// definitions, used to derive the orientation steps.
Grid turn_cw(const Grid& g) {
    const std::size_t n = g.size(), w = g[0].size();
    Grid out(w, std::vector<bool>(n));
    for (std::size_t j = 0; j < w; ++j) {
        for (std::size_t k = 0; k < n; ++k) out[j][k] = g[n - 1 - k][j];
    }
    return out;
}

Grid mirror(Grid g) {
    for (auto& row : g) std::reverse(row.begin(), row.end());
    return g;
}

Grid orientation_step(const Grid& base, int step) {
    Grid g = step < 4 ? base : mirror(base);
    for (int i = 0; i < step % 4; ++i) g = turn_cw(g);
    return g;
}

std::vector<bool> bools(const std::string& text) {
    std::vector<bool> out;
    for (char c : text) out.push_back(c == '#');
    return out;
}

TEST(PieceCatalogue, EveryPieceMatchesTheTable) {
    std::size_t variants = 0;
    std::uint32_t cells = 0;
    for (std::size_t i = 0; i < 21; ++i) {
        SCOPED_TRACE("piece " + std::to_string(i));
        const CatalogueRow& row = catalogue_table()[i];
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(i));
        EXPECT_EQ(grid_text(piece.shape), row.grid);
        EXPECT_EQ(piece.catalogue_index, i);
        EXPECT_EQ(piece.size, row.size);
        ASSERT_EQ(piece.variants.size(), row.kept_steps.size());
        for (std::size_t k = 0; k < row.kept_steps.size(); ++k) {
            EXPECT_EQ(grid_text(piece.variants[k].shape),
                      grid_text(orientation_step(grid_from(row.grid), row.kept_steps[k])))
                << "variant " << k;
        }
        variants += piece.variants.size();
        cells += piece.size;
    }
    EXPECT_EQ(variants, 91u);
    EXPECT_EQ(cells, 89u);
}

TEST(PieceCatalogue, VariantCountsInIndexOrder) {
    const std::vector<std::size_t> expected = {1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8, 8, 8, 4, 4, 4, 4, 8, 1, 8, 4};
    std::vector<std::size_t> actual;
    for (int i = 0; i < 21; ++i) actual.push_back(Piece::new_(static_cast<std::uint8_t>(i)).variants.size());
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(std::accumulate(expected.begin(), expected.end(), std::size_t{0}), 91u);
}

// Every orientation that exists appears exactly once: the kept variants are
// the distinct grids among the eight steps, in first-occurrence order.
TEST(PieceCatalogue, VariantsAreTheDistinctOrientationsInStepOrder) {
    for (std::size_t i = 0; i < 21; ++i) {
        SCOPED_TRACE("piece " + std::to_string(i));
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(i));
        std::vector<std::string> distinct;
        for (int step = 0; step < 8; ++step) {
            const std::string g = grid_text(orientation_step(piece.shape, step));
            if (std::find(distinct.begin(), distinct.end(), g) == distinct.end()) distinct.push_back(g);
        }
        std::vector<std::string> actual;
        for (const auto& v : piece.variants) actual.push_back(grid_text(v.shape));
        EXPECT_EQ(actual, distinct);
        for (std::size_t a = 0; a < piece.variants.size(); ++a) {
            for (std::size_t b = a + 1; b < piece.variants.size(); ++b) {
                EXPECT_NE(piece.variants[a].mask, piece.variants[b].mask);
            }
        }
    }
}

TEST(PieceCatalogue, SingleCell) {
    const Piece piece = Piece::new_(0);
    ASSERT_EQ(piece.variants.size(), 1u);
    EXPECT_EQ(piece.variants[0].offsets, std::vector<std::size_t>{0});
    EXPECT_EQ(piece.variants[0].mask, std::vector<bool>{true});
    EXPECT_EQ(piece.variants[0].width, 1u);
    EXPECT_EQ(piece.size, 1u);
}

TEST(PieceCatalogue, SymmetricPiecesAndStraightPieces) {
    EXPECT_EQ(Piece::new_(7).variants.size(), 1u);
    EXPECT_EQ(Piece::new_(18).variants.size(), 1u);
    for (int i : {1, 3, 4, 9}) {
        SCOPED_TRACE("piece " + std::to_string(i));
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(i));
        ASSERT_EQ(piece.variants.size(), 2u);
        // Horizontal first: one row as wide as the piece, then one column.
        EXPECT_EQ(piece.variants[0].shape.size(), 1u);
        EXPECT_EQ(piece.variants[0].width, piece.size);
        EXPECT_EQ(piece.variants[1].shape.size(), piece.size);
        EXPECT_EQ(piece.variants[1].width, 1u);
    }
}

struct Example {
    const char* grid;
    std::vector<std::size_t> offsets;
};

void expect_variants(int index, const std::vector<Example>& examples) {
    SCOPED_TRACE("piece " + std::to_string(index));
    const Piece piece = Piece::new_(static_cast<std::uint8_t>(index));
    ASSERT_EQ(piece.variants.size(), examples.size());
    for (std::size_t k = 0; k < examples.size(); ++k) {
        EXPECT_EQ(grid_text(piece.variants[k].shape), examples[k].grid) << "variant " << k;
        EXPECT_EQ(piece.variants[k].offsets, examples[k].offsets) << "variant " << k;
    }
}

TEST(PieceCatalogue, WorkedExamplesOfVariantOffsets) {
    expect_variants(1, {{"##", {0, 1}}, {"#/#", {0, 20}}});
    expect_variants(2, {{"##/.#", {0, 1, 21}}, {".#/##", {1, 20, 21}}, {"#./##", {0, 20, 21}}, {"##/#.", {0, 1, 20}}});
    expect_variants(8, {{"##./.##", {0, 1, 21, 22}},
                        {".#/##/#.", {1, 20, 21, 40}},
                        {".##/##.", {1, 2, 20, 21}},
                        {"#./##/.#", {0, 20, 21, 41}}});
    expect_variants(5, {{"##/#./#.", {0, 1, 20, 40}},
                        {"###/..#", {0, 1, 2, 22}},
                        {".#/.#/##", {1, 21, 40, 41}},
                        {"#../###", {0, 20, 21, 22}},
                        {"##/.#/.#", {0, 1, 21, 41}},
                        {"..#/###", {2, 20, 21, 22}},
                        {"#./#./##", {0, 20, 40, 41}},
                        {"###/#..", {0, 1, 2, 20}}});
    expect_variants(18, {{".#./###/.#.", {1, 20, 21, 22, 41}}});
    expect_variants(20, {{"###/.#./.#.", {0, 1, 2, 21, 41}},
                         {"..#/###/..#", {2, 20, 21, 22, 42}},
                         {".#./.#./###", {1, 21, 40, 41, 42}},
                         {"#../###/#..", {0, 20, 21, 22, 40}}});
}

TEST(PieceCatalogue, DominoMasksAndWidths) {
    const Piece piece = Piece::new_(1);
    EXPECT_EQ(piece.variants[0].mask, bools("##"));
    EXPECT_EQ(piece.variants[0].width, 2u);
    std::vector<bool> vertical(21, false);
    vertical.front() = vertical.back() = true;
    EXPECT_EQ(piece.variants[1].mask, vertical);
    EXPECT_EQ(piece.variants[1].width, 1u);
}

// The skew piece keeps its mirror image (step 4) and drops steps 2, 3, 6, 7,
// which repeat steps 0, 1, 4, 5.
TEST(PieceCatalogue, SkewPieceKeepsItsMirror) {
    const Piece piece = Piece::new_(8);
    const Grid base = grid_from("##./.##");
    ASSERT_EQ(piece.variants.size(), 4u);
    EXPECT_EQ(grid_text(piece.variants[2].shape), grid_text(mirror(base)));
    EXPECT_EQ(grid_text(orientation_step(base, 2)), grid_text(base));
    EXPECT_EQ(grid_text(orientation_step(base, 6)), grid_text(mirror(base)));
}

TEST(PieceCatalogue, IndicesBeyondTheTableGiveTheLastGrid) {
    const Piece last = Piece::new_(20);
    for (int index : {21, 255}) {
        SCOPED_TRACE("index " + std::to_string(index));
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(index));
        EXPECT_EQ(piece.catalogue_index, static_cast<std::size_t>(index));
        EXPECT_EQ(grid_text(piece.shape), "###/.#./.#.");
        EXPECT_EQ(piece.size, 5u);
        ASSERT_EQ(piece.variants.size(), last.variants.size());
        for (std::size_t k = 0; k < last.variants.size(); ++k) {
            EXPECT_EQ(piece.variants[k].shape, last.variants[k].shape);
            EXPECT_EQ(piece.variants[k].mask, last.variants[k].mask);
            EXPECT_EQ(piece.variants[k].offsets, last.variants[k].offsets);
            EXPECT_EQ(piece.variants[k].width, last.variants[k].width);
        }
    }
}

TEST(PieceGeometry, RotateAndFlipExamples) {
    EXPECT_EQ(grid_text(Piece::rotate(grid_from("##/.#"))), ".#/##");
    EXPECT_EQ(grid_text(Piece::flip(grid_from("##/#./#."))), "##/.#/.#");
    EXPECT_EQ(grid_text(Piece::rotate(grid_from("###"))), "#/#/#");
    EXPECT_EQ(grid_text(Piece::rotate(grid_from("#/#/#"))), "###");
    // An asymmetric grid pins the direction: the top row becomes the right column.
    EXPECT_EQ(grid_text(Piece::rotate(grid_from("###/#.."))), "##/.#/.#");
    EXPECT_EQ(grid_text(Piece::flip(grid_from("###/#.."))), "###/..#");
}

TEST(PieceGeometry, FourTurnsOrTwoMirrorsAreIdentities) {
    for (std::size_t i = 0; i < 21; ++i) {
        for (const PieceVariant& v : Piece::new_(static_cast<std::uint8_t>(i)).variants) {
            SCOPED_TRACE("piece " + std::to_string(i) + " grid " + grid_text(v.shape));
            Grid g = v.shape;
            for (int t = 0; t < 4; ++t) {
                g = Piece::rotate(g);
                if (t < 3 && v.shape.size() != v.shape[0].size()) {
                    // Odd turns swap height and width.
                    EXPECT_EQ(g.size(), t % 2 == 0 ? v.shape[0].size() : v.shape.size());
                }
            }
            EXPECT_EQ(g, v.shape);
            EXPECT_EQ(Piece::flip(Piece::flip(v.shape)), v.shape);
            EXPECT_EQ(grid_text(Piece::rotate(v.shape)), grid_text(turn_cw(v.shape)));
            EXPECT_EQ(grid_text(Piece::flip(v.shape)), grid_text(mirror(v.shape)));
        }
    }
}

TEST(PieceVariantLayout, OffsetsAndMaskAtBoardStride) {
    for (std::size_t i = 0; i < 21; ++i) {
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(i));
        for (std::size_t u = 0; u < piece.variants.size(); ++u) {
            SCOPED_TRACE("piece " + std::to_string(i) + " variant " + std::to_string(u));
            const PieceVariant& v = piece.variants[u];
            const std::size_t rows = v.shape.size();
            EXPECT_EQ(v.width, v.shape[0].size());
            EXPECT_EQ(v.mask.size(), (rows - 1) * 20 + v.width);
            EXPECT_EQ(v.offsets.size(), piece.size);
            EXPECT_TRUE(std::is_sorted(v.offsets.begin(), v.offsets.end()));
            EXPECT_EQ(std::adjacent_find(v.offsets.begin(), v.offsets.end()), v.offsets.end());
            std::vector<std::size_t> from_grid;
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t c = 0; c < v.shape[r].size(); ++c) {
                    if (v.shape[r][c]) from_grid.push_back(r * 20 + c);
                }
            }
            EXPECT_EQ(v.offsets, from_grid);
            for (std::size_t k = 0; k < v.mask.size(); ++k) {
                const bool in_grid = (k % 20) < v.width && v.shape[k / 20][k % 20];
                EXPECT_EQ(v.mask[k], in_grid) << "mask entry " << k;
            }
        }
    }
}

TEST(PieceVariantLayout, TrailingEmptyCellKeepsTheMaskLength) {
    const Piece piece = Piece::new_(19);
    const PieceVariant& v = piece.variants[0];
    EXPECT_EQ(grid_text(v.shape), ".#./###/#..");
    ASSERT_EQ(v.mask.size(), 43u);
    EXPECT_FALSE(v.mask.back());
    EXPECT_EQ(v.offsets, (std::vector<std::size_t>{1, 20, 21, 22, 40}));
}

TEST(PieceVariantLayout, VariantFromAGrid) {
    const PieceVariant v = PieceVariant::new_(grid_from(".#/##/#."));
    EXPECT_EQ(v.offsets, (std::vector<std::size_t>{1, 20, 21, 40}));
    EXPECT_EQ(v.width, 2u);
    EXPECT_EQ(grid_text(v.shape), ".#/##/#.");
    std::vector<bool> mask(42, false);
    for (std::size_t k : {1, 20, 21, 40}) mask[k] = true;
    EXPECT_EQ(v.mask, mask);
    // A full-width row gets no padding.
    const PieceVariant wide = PieceVariant::new_(Grid(2, std::vector<bool>(20, true)));
    EXPECT_EQ(wide.mask, std::vector<bool>(40, true));
    EXPECT_EQ(wide.offsets.size(), 40u);
}

// The shared catalogue and its row-mask form, which move generation reads,
// describe the same orientations as Piece::new_.
TEST(PieceCatalogue, SharedCatalogueAgreesWithNew) {
    const auto& shared = catalogue();
    const auto& bits = catalogue_bits();
    for (std::size_t i = 0; i < 21; ++i) {
        SCOPED_TRACE("piece " + std::to_string(i));
        const Piece piece = Piece::new_(static_cast<std::uint8_t>(i));
        EXPECT_EQ(shared[i].catalogue_index, i);
        EXPECT_EQ(shared[i].size, piece.size);
        ASSERT_EQ(shared[i].variants.size(), piece.variants.size());
        ASSERT_EQ(bits[i].variant_count, piece.variants.size());
        EXPECT_EQ(bits[i].size, piece.size);
        for (std::size_t u = 0; u < piece.variants.size(); ++u) {
            const PieceVariant& v = piece.variants[u];
            EXPECT_EQ(shared[i].variants[u].offsets, v.offsets);
            const VariantBits& b = bits[i].variants[u];
            EXPECT_EQ(b.height, v.shape.size());
            EXPECT_EQ(b.width, v.width);
            EXPECT_EQ(b.size, v.offsets.size());
            for (std::size_t r = 0; r < v.shape.size(); ++r) {
                std::uint32_t row = 0;
                for (std::size_t c = 0; c < v.width; ++c) row |= (v.shape[r][c] ? 1u : 0u) << c;
                EXPECT_EQ(b.rows[r], row) << "row " << r;
            }
            for (std::size_t k = 0; k < v.offsets.size(); ++k) EXPECT_EQ(b.offsets[k], v.offsets[k]);
        }
    }
}

TEST(PieceCatalogue, CopiesAreIndependent) {
    Piece a = Piece::new_(5);
    Piece b = a;
    b.variants[0].offsets[0] = 99;
    b.shape[0][0] = false;
    EXPECT_EQ(a.variants[0].offsets[0], 0u);
    EXPECT_TRUE(a.shape[0][0]);
}

}  // namespace
}  // namespace tarnex
