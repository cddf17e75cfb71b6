#include "reference.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <vector>

#include "fault.hpp"

namespace tarnex {
namespace {

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The order among equally ranked placements: a placement's position in it
// depends on the placement and the tie break alone, never on the tiles chosen
// so far, so the turn keeps to one placement.
std::uint64_t tie_order(std::uint64_t tie_break, const Placement& p) {
    const std::uint64_t key = (std::uint64_t{p.anchor} << 16) | (std::uint64_t{p.catalogue} << 8) | p.variant;
    return mix(tie_break ^ mix(key));
}

std::uint8_t size_of(const Placement& p) { return catalogue_bits()[p.catalogue].size; }

// The board as it was when the mover's turn began. The tiles chosen so far in
// the turn are the mover's cells that the live placements cover (placements
// only ever cover open cells); corner and closed sets depend on the ownership
// of the cells alone, so replaying the other cells in any order rebuilds them.
Board turn_start_board(const Game& game) {
    const std::size_t mover = game.current_player;
    const auto owner = static_cast<std::uint8_t>(mover + 1);
    CellSet chosen;
    game.tile_moves.live().front().for_each_cell([&](std::size_t cell) {
        if ((game.board.cells[cell] & kOwnerMask) == owner) chosen.insert(cell);
    });
    if (chosen.empty()) return game.board;
    Board board = Board::new_();
    board.pieces = game.board.pieces;
    for (std::size_t n = 0; n < kBoardCells; ++n) {
        const std::size_t cell_owner = game.board.cells[n] & kOwnerMask;
        if (cell_owner >= 1 && cell_owner <= kPlayers && !chosen.contains(n)) board.place_tile(n, cell_owner - 1);
    }
    return board;
}

// How near the centre a cell lies: 10 on the board's edge ring, one more for
// each ring further in, 19 on the four middle cells.
constexpr std::array<std::int64_t, kBoardCells> kCentreWeight = [] {
    std::array<std::int64_t, kBoardCells> weights{};
    const auto ring = [](std::size_t i) { return std::min(i, kBoardSide - 1 - i); };
    for (std::size_t n = 0; n < kBoardCells; ++n) {
        weights[n] = 10 + static_cast<std::int64_t>(std::min(ring(n / kBoardSide), ring(n % kBoardSide)));
    }
    return weights;
}();

// A set of corner cells as greedy counts them (one each) or as centre does
// (each by its weight).
std::int64_t corner_count(const CellSet& cells, bool centred) {
    if (!centred) return static_cast<std::int64_t>(cells.size());
    std::int64_t sum = 0;
    cells.for_each([&](std::size_t cell) { sum += kCentreWeight[cell]; });
    return sum;
}

// Greedy's measure: how many corner cells the mover has after the placement
// beyond the `before` it had (the ones it opens minus the ones it closes by
// touching them edge to edge), minus the opponents' corner cells it
// occupies; centre's counts every corner cell by its weight. Counting the
// closed ones as losses makes greedy keep its options: 0.77 against three
// random seats, against 0.75 for counting only the opened ones.
std::int64_t corner_gain(const Board& board, std::size_t mover, const Placement& p, bool centred,
                         std::int64_t before) {
    Board after = board;
    p.for_each_cell([&](std::size_t cell) { after.place_tile(cell, mover); });
    std::int64_t gain = corner_count(after.corners[mover], centred) - before;
    p.for_each_cell([&](std::size_t cell) {
        for (std::size_t q = 0; q < kPlayers; ++q) {
            if (q != mover && board.corners[q].contains(cell)) gain -= centred ? kCentreWeight[cell] : 1;
        }
    });
    return gain;
}

// Lookahead's measure: the mover's placements on its next turn if the
// opponents played nothing in between, minus the opponents' placements the
// placement occupies a cell of (the only ones it takes away from them).
// Blocker's: those taken away alone.
class Mobility {
public:
    Mobility(const Board& board, std::size_t mover) : board_(board), mover_(mover) {
        for (std::size_t q = 0; q < kPlayers; ++q) {
            if (q == mover) continue;
            const TileMoves moves = get_tile_moves(board, q);
            opponents_.insert(opponents_.end(), moves.live().begin(), moves.live().end());
        }
        // The opponents' placements by covered cell, in compressed rows.
        for (const Placement& p : opponents_) p.for_each_cell([&](std::size_t cell) { ++start_[cell + 1]; });
        for (std::size_t n = 0; n < kBoardCells; ++n) start_[n + 1] += start_[n];
        by_cell_.resize(start_.back());
        auto fill = start_;
        for (std::uint32_t i = 0; i < opponents_.size(); ++i) {
            opponents_[i].for_each_cell([&](std::size_t cell) { by_cell_[fill[cell]++] = i; });
        }
        seen_.assign(opponents_.size(), 0);
    }

    std::int64_t operator()(const Placement& p) {
        Board after = board_;
        p.for_each_cell([&](std::size_t cell) { after.place_tile(cell, mover_); });
        after.pieces[mover_] &= ~(std::uint32_t{1} << p.catalogue);
        const auto own = static_cast<std::int64_t>(get_tile_moves(after, mover_).live().size());
        return own - taken(p);
    }

    std::int64_t taken(const Placement& p) {
        ++epoch_;
        std::int64_t count = 0;
        p.for_each_cell([&](std::size_t cell) {
            for (std::uint32_t k = start_[cell]; k < start_[cell + 1]; ++k) {
                std::uint32_t& mark = seen_[by_cell_[k]];
                if (mark != epoch_) {
                    mark = epoch_;
                    ++count;
                }
            }
        });
        return count;
    }

private:
    const Board& board_;
    std::size_t mover_;
    std::vector<Placement> opponents_;
    std::array<std::uint32_t, kBoardCells + 1> start_{};
    std::vector<std::uint32_t> by_cell_;
    std::vector<std::uint32_t> seen_;
    std::uint32_t epoch_ = 0;
};

}  // namespace

std::optional<ReferenceKind> reference_kind(std::string_view name) {
    for (ReferenceKind kind : kReferenceKinds) {
        if (name == reference_name(kind)) return kind;
    }
    return std::nullopt;
}

std::string_view reference_name(ReferenceKind kind) {
    switch (kind) {
        case ReferenceKind::greedy: return "greedy";
        case ReferenceKind::lookahead: return "lookahead";
        case ReferenceKind::centre: return "centre";
        case ReferenceKind::blocker: return "blocker";
    }
    fault("reference_name: no such kind");
}

// Both players rank size first: the best placement is then of the largest
// live size, so no live placement covers its cells and more, and choosing
// all of them is sure to end the turn with it.
Tile reference_tile(const Game& game, ReferenceKind kind, std::uint64_t tie_break) {
    if (game.is_terminal() || game.tile_moves.empty()) fault("reference_tile: the game is over");
    const std::span<const Placement> live = game.tile_moves.live();
    const std::size_t mover = game.current_player;
    const Board board = turn_start_board(game);
    std::uint8_t largest = 0;
    for (const Placement& p : live) largest = std::max(largest, size_of(p));

    std::optional<Mobility> mobility;
    if (kind == ReferenceKind::lookahead || kind == ReferenceKind::blocker) mobility.emplace(board, mover);
    // Blocker ranks by what it takes, then by greedy's measure, which no
    // placement moves by as much as one taken placement here.
    constexpr std::int64_t kTakenWeight = std::int64_t{1} << 20;
    const bool centred = kind == ReferenceKind::centre;
    const std::int64_t corners_before = corner_count(board.corners[mover], centred);
    const auto measure = [&](const Placement& p) -> std::int64_t {
        switch (kind) {
            case ReferenceKind::greedy:
            case ReferenceKind::centre: return corner_gain(board, mover, p, centred, corners_before);
            case ReferenceKind::lookahead: return (*mobility)(p);
            case ReferenceKind::blocker:
                return mobility->taken(p) * kTakenWeight + corner_gain(board, mover, p, false, corners_before);
        }
        fault("reference_tile: no such kind");
    };
    const Placement* best = nullptr;
    std::int64_t best_value = std::numeric_limits<std::int64_t>::min();
    std::uint64_t best_order = 0;
    for (const Placement& p : live) {
        if (size_of(p) != largest) continue;
        const std::int64_t value = measure(p);
        const std::uint64_t order = tie_order(tie_break, p);
        if (best == nullptr || value > best_value || (value == best_value && order < best_order)) {
            best = &p;
            best_value = value;
            best_order = order;
        }
    }
    Tile tile = kBoardCells;
    best->for_each_cell([&](std::size_t cell) {
        if (tile == kBoardCells && game.tile_moves.contains(cell)) tile = cell;
    });
    if (tile == kBoardCells) fault("reference_tile: the chosen placement has no unchosen cell");
    return tile;
}

}  // namespace tarnex
