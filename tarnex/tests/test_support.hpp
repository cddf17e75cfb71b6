// Shared helpers for the rules tests: grids written as text, seeded random
// games, and brute-force recomputations of what the rules define (cell bytes,
// corner sets, placement legality, move maps, scores, the network's picture)
// from the ownership of the cells alone.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "board.hpp"
#include "cellset.hpp"
#include "game.hpp"
#include "pieces.hpp"

namespace tarnex::test {

inline constexpr std::size_t kSide = 20;
inline constexpr std::size_t kCells = 400;
// Start cells of players 0..3 as the rules give them: corners top left, top
// right, bottom right, bottom left.
inline constexpr std::array<std::size_t, 4> kStart = {0, 19, 399, 380};

// Unoptimised builds (the sanitizer build among them) run far fewer random
// games and positions, so that they finish in about a minute; the checks
// themselves are the same.
#ifdef NDEBUG
inline constexpr bool kOptimisedBuild = true;
#else
inline constexpr bool kOptimisedBuild = false;
#endif
inline constexpr unsigned scaled(unsigned optimised, unsigned unoptimised) {
    return kOptimisedBuild ? optimised : unoptimised;
}

// ---------------------------------------------------------------- grids

// "##/.#" -> rows top to bottom, '#' filled.
inline Grid grid_from(std::string_view text) {
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

inline std::string grid_text(const Grid& grid) {
    std::string out;
    for (std::size_t r = 0; r < grid.size(); ++r) {
        if (r != 0) out += '/';
        for (bool b : grid[r]) out += b ? '#' : '.';
    }
    return out;
}

// The pieces as built by Piece::new_, once per process; their grids are checked
// against the rules' table in pieces_test.
inline const std::vector<Piece>& pieces() {
    static const std::vector<Piece> all = [] {
        std::vector<Piece> out;
        for (int i = 0; i < 21; ++i) out.push_back(Piece::new_(static_cast<std::uint8_t>(i)));
        return out;
    }();
    return all;
}

// Cells covered by a variant's grid with its top-left corner on `anchor`,
// computed with row/column arithmetic from the grid (not from the offsets).
inline std::vector<std::size_t> covered_cells(std::size_t catalogue, std::size_t variant, std::size_t anchor) {
    const Grid& shape = pieces().at(catalogue).variants.at(variant).shape;
    std::vector<std::size_t> out;
    out.reserve(5);
    const std::size_t r0 = anchor / kSide;
    const std::size_t c0 = anchor % kSide;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        for (std::size_t j = 0; j < shape[i].size(); ++j) {
            if (shape[i][j]) out.push_back((r0 + i) * kSide + c0 + j);
        }
    }
    return out;
}

// ---------------------------------------------------------------- ownership

// Owner of each cell: -1 empty, else the player.
using Owners = std::array<int, kCells>;

inline Owners empty_owners() {
    Owners o;
    o.fill(-1);
    return o;
}

inline Owners owners_of(const Board& board) {
    Owners o;
    for (std::size_t n = 0; n < kCells; ++n) {
        const int nibble = board.cells[n] & 0x0F;
        o[n] = (nibble >= 1 && nibble <= 4) ? nibble - 1 : -1;
    }
    return o;
}

// Whether a cell of `player` shares an edge with cell n (no wrap across the
// side edges).
inline bool edge_touches(const Owners& o, std::size_t n, int player) {
    const std::size_t r = n / kSide, c = n % kSide;
    return (c > 0 && o[n - 1] == player) || (c + 1 < kSide && o[n + 1] == player) ||
           (r > 0 && o[n - kSide] == player) || (r + 1 < kSide && o[n + kSide] == player);
}

// Whether a cell of `player` touches cell n corner to corner.
inline bool diagonal_touches(const Owners& o, std::size_t n, int player) {
    const std::size_t r = n / kSide, c = n % kSide;
    const bool up = r > 0, down = r + 1 < kSide, left = c > 0, right = c + 1 < kSide;
    return (up && left && o[n - kSide - 1] == player) || (up && right && o[n - kSide + 1] == player) ||
           (down && left && o[n + kSide - 1] == player) || (down && right && o[n + kSide + 1] == player);
}

// The cell bytes the rules prescribe for an ownership pattern.
inline std::array<std::uint8_t, kCells> expected_cells(const Owners& o) {
    std::array<std::uint8_t, kCells> out{};
    for (std::size_t n = 0; n < kCells; ++n) {
        if (o[n] >= 0) {
            out[n] = static_cast<std::uint8_t>(0xF0 | (o[n] + 1));
            continue;
        }
        for (int p = 0; p < 4; ++p) {
            if (edge_touches(o, n, p)) out[n] |= static_cast<std::uint8_t>(0x10 << p);
        }
    }
    return out;
}

// The corner set of a player as the rules define it: its start cell while
// empty and free of edge contact with the player, plus every empty cell
// diagonal to one of the player's cells and edge-free of them.
inline std::set<std::size_t> expected_corners(const Owners& o, int player) {
    std::set<std::size_t> out;
    for (std::size_t n = 0; n < kCells; ++n) {
        if (o[n] >= 0 || edge_touches(o, n, player)) continue;
        if (diagonal_touches(o, n, player) || n == kStart[static_cast<std::size_t>(player)]) out.insert(n);
    }
    return out;
}

inline std::set<std::size_t> members(const CellSet& set) {
    std::set<std::size_t> out;
    for (std::size_t n = 0; n < kCells; ++n) {
        if (set.contains(n)) out.insert(n);
    }
    return out;
}

// Whether the rules allow the variant with its top-left corner on `anchor`,
// decided from ownership and the player's corner set only.
template <class CornerSet>
bool fits(const Owners& o, int player, const CornerSet& corners, const Grid& shape, std::size_t anchor) {
    const std::size_t r0 = anchor / kSide, c0 = anchor % kSide;
    if (r0 + shape.size() > kSide || c0 + shape[0].size() > kSide) return false;
    bool contact = false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        for (std::size_t j = 0; j < shape[i].size(); ++j) {
            if (!shape[i][j]) continue;
            const std::size_t n = (r0 + i) * kSide + c0 + j;
            if (o[n] >= 0 || edge_touches(o, n, player)) return false;
            contact = contact || corners.count(n) != 0;
        }
    }
    return contact;
}

// Whether any remaining piece (catalogue indices) of the player fits anywhere.
inline bool has_any_placement(const Owners& o, int player, const std::vector<std::size_t>& remaining) {
    const auto corners = expected_corners(o, player);
    for (std::size_t k : corners) {
        const int kr = static_cast<int>(k / kSide), kc = static_cast<int>(k % kSide);
        for (std::size_t cat : remaining) {
            for (const PieceVariant& v : pieces()[cat].variants) {
                for (std::size_t i = 0; i < v.shape.size(); ++i) {
                    for (std::size_t j = 0; j < v.shape[i].size(); ++j) {
                        if (!v.shape[i][j]) continue;
                        const int ar = kr - static_cast<int>(i), ac = kc - static_cast<int>(j);
                        if (ar < 0 || ac < 0) continue;
                        if (fits(o, player, corners, v.shape, static_cast<std::size_t>(ar * 20 + ac))) return true;
                    }
                }
            }
        }
    }
    return false;
}

// The player's remaining pieces as catalogue indices, read off the bit mask.
inline std::vector<std::size_t> remaining_of(const Board& board, std::size_t player) {
    std::vector<std::size_t> out;
    for (std::size_t c = 0; c < 21; ++c) {
        if ((board.pieces[player] >> c) & 1u) out.push_back(c);
    }
    return out;
}

// ---------------------------------------------------------------- move maps

// (piece index in the remaining list, variant index, anchor)
using Triple = std::tuple<std::size_t, std::size_t, std::size_t>;
// Tile -> its set, each set a sorted vector without repeats.
using MoveMap = std::map<std::size_t, std::vector<Triple>>;

inline bool holds(const std::vector<Triple>& set, const Triple& t) {
    return std::binary_search(set.begin(), set.end(), t);
}

inline Triple triple(const Placement& p) { return {p.piece, p.variant, p.anchor}; }

inline std::string describe(const Triple& t) {
    std::ostringstream s;
    s << "(" << std::get<0>(t) << ", " << std::get<1>(t) << ", " << std::get<2>(t) << ")";
    return s.str();
}

// Every remaining piece j, every variant u, every anchor 0..399, tested with
// Board::is_valid_move; each accepted placement goes into the set of each
// cell it covers. Placements are found in ascending (j, u, anchor) order, so
// every set comes out sorted.
inline MoveMap brute_force_map(const Board& board, std::size_t player) {
    MoveMap out;
    const auto remaining = remaining_of(board, player);
    for (std::size_t j = 0; j < remaining.size(); ++j) {
        const Piece& piece = pieces()[remaining[j]];
        for (std::size_t u = 0; u < piece.variants.size(); ++u) {
            for (std::size_t a = 0; a < kCells; ++a) {
                if (!board.is_valid_move(player, piece.variants[u], a)) continue;
                for (std::size_t cell : covered_cells(remaining[j], u, a)) out[cell].push_back({j, u, a});
            }
        }
    }
    return out;
}

// All placements of a map, sorted, each once.
inline std::vector<Triple> all_triples(const MoveMap& map) {
    std::vector<Triple> out;
    for (const auto& [tile, set] : map) out.insert(out.end(), set.begin(), set.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Reads a TileMoves back as a tile -> set map, checking on the way what any
// map must satisfy: keys() / contains() / tiles() agree, a set holds no
// placement twice, a non-key has an empty set, and each placement's catalogue
// index is the entry of the remaining list its piece index names.
inline testing::AssertionResult read_map(const TileMoves& moves, const Board& board, std::size_t player,
                                         MoveMap& out) {
    out.clear();
    const auto remaining = remaining_of(board, player);
    std::vector<std::size_t> keys;
    for (std::size_t t = 0; t < kCells; ++t) {
        const bool key = moves.contains(t);
        if (key != moves.keys().contains(t)) return testing::AssertionFailure() << "contains/keys disagree at " << t;
        const auto set = moves.placements_at(t);
        if (!key) {
            if (!set.empty()) return testing::AssertionFailure() << "non-key tile " << t << " has placements";
            continue;
        }
        keys.push_back(t);
        auto& dst = out[t];
        dst.reserve(set.size());
        for (const Placement& p : set) {
            if (p.piece >= remaining.size()) {
                return testing::AssertionFailure() << "piece index " << int{p.piece} << " beyond the list";
            }
            if (p.catalogue != remaining[p.piece]) {
                return testing::AssertionFailure() << "placement " << describe(triple(p)) << " names catalogue "
                                                   << int{p.catalogue} << " instead of " << remaining[p.piece];
            }
            dst.push_back(triple(p));
        }
        std::sort(dst.begin(), dst.end());
        if (auto dup = std::adjacent_find(dst.begin(), dst.end()); dup != dst.end()) {
            return testing::AssertionFailure() << "placement " << describe(*dup) << " twice in tile " << t;
        }
    }
    for (Tile t : {Tile{400}, Tile{401}, Tile{100000}}) {
        if (moves.contains(t) || !moves.placements_at(t).empty()) {
            return testing::AssertionFailure() << "off-board tile " << t << " reported as a key";
        }
    }
    std::vector<Tile> tiles = moves.tiles();
    std::sort(tiles.begin(), tiles.end());
    if (std::adjacent_find(tiles.begin(), tiles.end()) != tiles.end()) {
        return testing::AssertionFailure() << "tiles() lists a tile twice";
    }
    if (tiles != std::vector<Tile>(keys.begin(), keys.end())) {
        return testing::AssertionFailure() << "tiles() differs from the keys";
    }
    if (moves.size() != keys.size() || moves.empty() != keys.empty()) {
        return testing::AssertionFailure() << "size()/empty() disagree with the keys";
    }
    return testing::AssertionSuccess();
}

inline testing::AssertionResult same_map(const MoveMap& expected, const MoveMap& actual) {
    const auto e = all_triples(expected), a = all_triples(actual);
    for (const Triple& t : e) {
        if (!holds(a, t)) return testing::AssertionFailure() << "missing placement " << describe(t);
    }
    for (const Triple& t : a) {
        if (!holds(e, t)) return testing::AssertionFailure() << "extra placement " << describe(t);
    }
    for (const auto& [tile, set] : expected) {
        auto it = actual.find(tile);
        if (it == actual.end()) return testing::AssertionFailure() << "missing key " << tile;
        if (it->second != set) return testing::AssertionFailure() << "set of tile " << tile << " differs";
    }
    for (const auto& [tile, set] : actual) {
        if (!expected.count(tile)) return testing::AssertionFailure() << "extra key " << tile;
    }
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- scores, payoff, picture

inline std::array<std::int32_t, 4> expected_scores(const Owners& o, const std::array<std::size_t, 4>& pieces_left,
                                                   const std::array<std::uint32_t, 4>& last_sizes) {
    std::array<std::int32_t, 4> out{};
    for (int p = 0; p < 4; ++p) {
        const auto n = static_cast<std::int32_t>(std::count(o.begin(), o.end(), p));
        if (pieces_left[p] != 0) {
            out[p] = n - 89;
        } else {
            out[p] = n - (last_sizes[p] == 1 ? 69 : 74);
        }
    }
    return out;
}

inline std::array<float, 4> expected_payoff(const std::array<std::int32_t, 4>& scores) {
    const std::int32_t best = *std::max_element(scores.begin(), scores.end());
    int k = 0;
    for (auto s : scores) k += s == best ? 1 : 0;
    std::array<float, 4> out{};
    for (int p = 0; p < 4; ++p) out[p] = scores[p] == best ? 1.0f / static_cast<float>(k) : 0.0f;
    return out;
}

// The picture the rules describe, built literally: planes by relative player,
// the legal tiles on plane 4, then `mover` quarter turns counter-clockwise
// with N[i][j] = P[j][19 - i].
inline BoardState expected_board_state(const Owners& o, const std::vector<Tile>& legal, std::size_t mover) {
    using Plane = std::array<std::array<bool, 20>, 20>;
    std::array<Plane, 5> planes{};
    for (std::size_t n = 0; n < kCells; ++n) {
        if (o[n] >= 0) planes[(static_cast<std::size_t>(o[n]) + 4 - mover) % 4][n / 20][n % 20] = true;
    }
    for (Tile t : legal) planes[4][t / 20][t % 20] = true;
    for (std::size_t turn = 0; turn < mover; ++turn) {
        for (Plane& p : planes) {
            Plane next{};
            for (std::size_t i = 0; i < 20; ++i) {
                for (std::size_t j = 0; j < 20; ++j) next[i][j] = p[j][19 - i];
            }
            p = next;
        }
    }
    BoardState out{};
    for (std::size_t k = 0; k < 5; ++k) {
        for (std::size_t i = 0; i < 20; ++i) {
            for (std::size_t j = 0; j < 20; ++j) out[k * kCells + i * 20 + j] = planes[k][i][j];
        }
    }
    return out;
}

// ---------------------------------------------------------------- whole-state comparison

// Everything a Game holds, compared field by field (the move map through its
// keys and sets).
inline testing::AssertionResult same_game(const Game& a, const Game& b) {
    if (a.board.cells != b.board.cells) return testing::AssertionFailure() << "cells differ";
    for (std::size_t p = 0; p < 4; ++p) {
        if (!(a.board.corners[p] == b.board.corners[p])) return testing::AssertionFailure() << "corners differ";
        if (!(a.board.closed[p] == b.board.closed[p])) return testing::AssertionFailure() << "closed marks differ";
    }
    if (a.board.pieces != b.board.pieces) return testing::AssertionFailure() << "pieces differ";
    if (a.history != b.history) return testing::AssertionFailure() << "history differs";
    if (a.current_player != b.current_player) return testing::AssertionFailure() << "current player differs";
    if (a.last_sizes != b.last_sizes) return testing::AssertionFailure() << "last sizes differ";
    if (a.finished != b.finished) return testing::AssertionFailure() << "finished differs";
    if (!(a.tile_moves.keys() == b.tile_moves.keys())) return testing::AssertionFailure() << "keys differ";
    for (std::size_t t = 0; t < kCells; ++t) {
        if (!a.tile_moves.contains(t)) continue;
        std::vector<Triple> sx, sy;
        for (const auto& p : a.tile_moves.placements_at(t)) sx.push_back(triple(p));
        for (const auto& p : b.tile_moves.placements_at(t)) sy.push_back(triple(p));
        std::sort(sx.begin(), sx.end());
        std::sort(sy.begin(), sy.end());
        if (sx != sy) return testing::AssertionFailure() << "set of tile " << t << " differs";
    }
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- random games

// The legal tiles in ascending order, so that a seeded game does not depend on
// the order the map yields its keys in.
inline std::vector<Tile> sorted_legal(const Game& game) {
    auto tiles = game.get_legal_tiles();
    std::sort(tiles.begin(), tiles.end());
    return tiles;
}

inline Tile random_legal_tile(const Game& game, std::mt19937& rng) {
    const auto tiles = sorted_legal(game);
    std::uniform_int_distribution<std::size_t> pick(0, tiles.size() - 1);
    return tiles[pick(rng)];
}

}  // namespace tarnex::test
