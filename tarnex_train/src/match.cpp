#include "match.hpp"

#include <algorithm>
#include <cmath>

namespace tarnex::match {

namespace {

// Uniform in [0, 1) with 53 bits.
double uniform_double(Rng& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// The root's children in ascending tile order: decisions must not depend on
// the walk order, which is shuffled at expansion.
std::vector<const Node*> children_by_tile(const Node& root) {
    std::vector<const Node*> children;
    children.reserve(root.children.size());
    for (const Node& child : root.children) children.push_back(&child);
    // Stable: placements may share their first cell, and keep their order.
    std::stable_sort(children.begin(), children.end(),
                     [](const Node* a, const Node* b) { return a->tile < b->tile; });
    return children;
}

// A tile drawn with probability proportional to prior^(1/temperature) among
// the children with a prior above 0 (none: nullopt). Priors are divided by
// the greatest first, so a low temperature cannot underflow every weight.
std::optional<Tile> sampled_tile(const std::vector<const Node*>& children, float temperature, Rng& rng) {
    double greatest = 0.0;
    for (const Node* child : children) greatest = std::max(greatest, static_cast<double>(child->prior));
    if (!(greatest > 0.0)) return std::nullopt;
    const double exponent = 1.0 / static_cast<double>(temperature);
    std::vector<double> weights;
    weights.reserve(children.size());
    double total = 0.0;
    for (const Node* child : children) {
        const double prior = child->prior;
        weights.push_back(prior > 0.0 ? std::pow(prior / greatest, exponent) : 0.0);
        total += weights.back();
    }
    const double u = uniform_double(rng) * total;
    double running = 0.0;
    std::optional<Tile> last;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (weights[i] == 0.0) continue;
        running += weights[i];
        last = children[i]->tile;
        if (running > u) break;
    }
    return last;
}

}  // namespace

bool evaluates(const Player& player) {
    return std::holds_alternative<PolicyPlayer>(player) || std::holds_alternative<SearchPlayer>(player);
}

Expected<Game, std::string> play_opening(const Moves& opening,
                                         const std::string& name) {
    Game game = Game::reset();
    for (std::size_t i = 0; i < opening.size(); ++i) {
        const auto [seat, tile] = opening[i];
        const std::string prefix = name + " entry " + std::to_string(i) + ": ";
        if (game.is_terminal()) return Unexpected{prefix + "the game is already over"};
        const auto mover = static_cast<std::int64_t>(game.current_player);
        if (seat != mover) {
            return Unexpected{prefix + "seat " + std::to_string(seat) + " is not the player to move (player " +
                              std::to_string(mover) + " is)"};
        }
        if (tile < 0 || tile >= static_cast<std::int64_t>(kBoardCells) ||
            !game.tile_moves.contains(static_cast<Tile>(tile))) {
            return Unexpected{prefix + "tile " + std::to_string(tile) + " is not a legal tile for player " +
                              std::to_string(mover)};
        }
        (void)game.apply(static_cast<Tile>(tile));
    }
    return game;
}

History random_opening(std::size_t turns, std::uint64_t seed) {
    Rng rng(seed);
    Game game = Game::reset();
    for (std::size_t done = 0; done < turns && !game.is_terminal();) {
        const std::size_t mover = game.current_player;
        const std::uint32_t pieces = game.board.pieces[mover];
        (void)game.apply(uniform_tile(game, rng));
        if (game.board.pieces[mover] != pieces) ++done;  // the tile completed a piece
    }
    return std::move(game.history);
}

Tile uniform_tile(const Game& game, Rng& rng) {
    const std::vector<Tile> legal = game.get_legal_tiles();
    if (legal.empty()) fault("uniform_tile: no legal tile");
    return legal[rng.below(legal.size())];
}

Decision policy_decision(const Node& root, const Game& game, float temperature, Rng& rng) {
    std::array<float, kBoardCells> priors{};
    for (const Node& child : root.children) priors[child.tile] = child.prior;
    Decision decision;
    float best_prior = 0.0f;
    std::optional<Tile> best;
    game.tile_moves.keys().for_each([&](std::size_t tile) {
        decision.shares.emplace_back(static_cast<std::int32_t>(tile), priors[tile]);
        if (priors[tile] > best_prior) {
            best_prior = priors[tile];
            best = tile;
        }
    });
    if (temperature > 0.0f) best = sampled_tile(children_by_tile(root), temperature, rng);
    decision.tile = best ? *best : uniform_tile(game, rng);
    return decision;
}

Decision search_decision(const Node& root, const Game& game, Rng& rng, std::optional<std::size_t> chosen) {
    if (root.is_leaf()) return Decision{uniform_tile(game, rng), {}};
    std::uint32_t total = 0;
    for (const Node& child : root.children) total += child.visit_count;
    std::vector<double> shares;
    shares.reserve(root.children.size());
    for (const Node& child : root.children) {
        // In single precision, as the shares have always been computed.
        shares.push_back(static_cast<float>(child.visit_count) / static_cast<float>(total));
    }
    if (chosen && *chosen < root.children.size()) {
        return Decision{root.children[*chosen].tile, cell_shares(root, game, shares)};
    }
    const Node* best = nullptr;
    for (const Node* child : children_by_tile(root)) {
        if (best == nullptr || child->visit_count > best->visit_count ||
            (child->visit_count == best->visit_count && child->prior > best->prior)) {
            best = child;
        }
    }
    return Decision{best->tile, cell_shares(root, game, shares)};
}

Shares cell_shares(const Node& root, const Game& game, const std::vector<double>& weights) {
    if (weights.size() != root.children.size()) fault("cell_shares: one weight per child expected");
    std::array<double, kBoardCells> by_tile{};
    std::array<bool, kBoardCells> reached{};
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const Node& child = root.children[i];
        if (!child.placement) {
            by_tile[child.tile] += weights[i];
            reached[child.tile] = true;
            continue;
        }
        std::size_t open = 0;
        child.placement->for_each_cell([&](std::size_t cell) { open += game.tile_moves.contains(cell); });
        child.placement->for_each_cell([&](std::size_t cell) {
            if (!game.tile_moves.contains(cell)) return;
            by_tile[cell] += weights[i] / static_cast<double>(open);
            reached[cell] = true;
        });
    }
    Shares shares;
    for (std::size_t tile = 0; tile < kBoardCells; ++tile) {
        if (reached[tile]) shares.emplace_back(static_cast<std::int32_t>(tile), static_cast<float>(by_tile[tile]));
    }
    return shares;
}

}  // namespace tarnex::match
