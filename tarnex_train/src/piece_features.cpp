#include "piece_features.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <utility>

namespace tarnex::features {
namespace {

using wire::kLegalPlane;
using wire::kSeatPlanes;

// No piece has more cells, nor spans more rows or columns.
constexpr std::size_t kMostCells = 5;

using Cells = std::array<std::pair<int, int>, kMostCells>;

// A shape's cells as a bit mask of a 5 x 5 grid (bit row * 5 + column),
// moved to the grid's top left corner.
std::uint32_t grid_mask(const Cells& cells, std::size_t count) {
    int top = INT_MAX;
    int left = INT_MAX;
    for (std::size_t k = 0; k < count; ++k) {
        top = std::min(top, cells[k].first);
        left = std::min(left, cells[k].second);
    }
    std::uint32_t mask = 0;
    for (std::size_t k = 0; k < count; ++k) {
        mask |= std::uint32_t{1} << ((cells[k].first - top) * kMostCells + (cells[k].second - left));
    }
    return mask;
}

// The same number for a shape in all eight orientations: the least mask of
// its turns and mirror images (the square's symmetries: swap the axes, then
// negate either).
std::uint32_t canonical(const Cells& cells, std::size_t count) {
    std::uint32_t best = UINT32_MAX;
    for (int symmetry = 0; symmetry < 8; ++symmetry) {
        Cells moved{};
        for (std::size_t k = 0; k < count; ++k) {
            auto [row, col] = cells[k];
            if (symmetry & 4) std::swap(row, col);
            moved[k] = {symmetry & 1 ? -row : row, symmetry & 2 ? -col : col};
        }
        best = std::min(best, grid_mask(moved, count));
    }
    return best;
}

// The catalogue's shapes in the canonical form, by catalogue index.
const std::array<std::uint32_t, kPieceCount>& catalogue_shapes() {
    static const std::array<std::uint32_t, kPieceCount> shapes = [] {
        std::array<std::uint32_t, kPieceCount> out{};
        for (std::size_t k = 0; k < kPieceCount; ++k) {
            const Grid& grid = catalogue()[k].shape;
            Cells cells{};
            std::size_t count = 0;
            for (std::size_t row = 0; row < grid.size(); ++row) {
                for (std::size_t col = 0; col < grid[row].size(); ++col) {
                    if (grid[row][col]) cells[count++] = {static_cast<int>(row), static_cast<int>(col)};
                }
            }
            out[k] = canonical(cells, count);
        }
        return out;
    }();
    return shapes;
}

// Clears in `hand` (21 flags) the pieces that the groups of `plane` are;
// with `legal`, groups edge to edge with a legal tile are passed over.
void mark_placed(const std::uint8_t* plane, const std::uint8_t* legal, std::uint8_t* hand) {
    const auto& shapes = catalogue_shapes();
    std::array<bool, kBoardCells> seen{};
    std::array<std::uint16_t, kBoardCells> stack{};
    for (std::size_t start = 0; start < kBoardCells; ++start) {
        if (plane[start] == 0 || seen[start]) continue;
        // Flood the group; its first few cells are kept for the shape.
        Cells cells{};
        std::size_t count = 0;
        bool touches_legal = false;
        std::size_t top = 0;
        stack[top++] = static_cast<std::uint16_t>(start);
        seen[start] = true;
        while (top > 0) {
            const std::size_t cell = stack[--top];
            const int row = static_cast<int>(cell / kBoardSide);
            const int col = static_cast<int>(cell % kBoardSide);
            if (count < kMostCells) cells[count] = {row, col};
            ++count;
            const std::array<std::pair<int, int>, 4> neighbours = {
                {{row - 1, col}, {row + 1, col}, {row, col - 1}, {row, col + 1}}};
            for (auto [r, c] : neighbours) {
                if (r < 0 || c < 0 || r >= static_cast<int>(kBoardSide) || c >= static_cast<int>(kBoardSide)) {
                    continue;
                }
                const std::size_t next = static_cast<std::size_t>(r) * kBoardSide + static_cast<std::size_t>(c);
                if (legal != nullptr && legal[next] != 0) touches_legal = true;
                if (plane[next] != 0 && !seen[next]) {
                    seen[next] = true;
                    stack[top++] = static_cast<std::uint16_t>(next);
                }
            }
        }
        if (count > kMostCells || touches_legal) continue;
        const auto found = std::find(shapes.begin(), shapes.end(), canonical(cells, count));
        if (found != shapes.end()) hand[found - shapes.begin()] = 0;
    }
}

}  // namespace

void piece_features(const std::uint8_t* planes, std::uint8_t* out) {
    std::fill(out, out + kFeatureCount, std::uint8_t{1});
    const std::uint8_t* legal = planes + kLegalPlane * kBoardCells;
    for (std::size_t seat = 0; seat < kSeatPlanes; ++seat) {
        // Only the mover (plane 0) can be in the middle of placing a piece.
        mark_placed(planes + seat * kBoardCells, seat == 0 ? legal : nullptr, out + seat * kPieceCount);
    }
}

}  // namespace tarnex::features
