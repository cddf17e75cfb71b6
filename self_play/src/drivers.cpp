#include "drivers.hpp"

namespace tarnex::self_play {

SearchPolicy search_policy(const Node& root) {
    std::uint32_t total = 0;
    for (const Node& child : root.children) total += child.visit_count;
    const float total_f = static_cast<float>(total);
    SearchPolicy policy;
    policy.reserve(root.children.size());
    for (const Node& child : root.children) {
        policy.emplace_back(static_cast<std::int32_t>(child.tile), static_cast<float>(child.visit_count) / total_f);
    }
    return policy;
}

Tile sampled_choice(const Node& root, float u) {
    if (root.children.empty()) fault("sampled_choice on a root without children");
    std::uint32_t total = 0;
    for (const Node& child : root.children) total += child.visit_count;
    const float total_f = static_cast<float>(total);
    float running = 0.0f;
    for (const Node& child : root.children) {
        running += static_cast<float>(child.visit_count) / total_f;
        if (running > u) return child.tile;
    }
    return root.children.back().tile;
}

Tile greedy_choice(const Node& root) {
    if (root.children.empty()) fault("greedy_choice on a root without children");
    const Node* best = &root.children.front();
    for (const Node& child : root.children) {
        if (child.visit_count >= best->visit_count) best = &child;
    }
    return best->tile;
}

Tile model_choice(const Node& root, const Game& game, Rng& rng) {
    const Node* best = nullptr;
    float best_prior = 0.0f;
    for (const Node& child : root.children) {
        if (child.prior > best_prior) {
            best = &child;
            best_prior = child.prior;
        }
    }
    if (best != nullptr) return best->tile;
    if (game.tile_moves.contains(0) || game.tile_moves.empty()) return 0;
    const std::vector<Tile> legal = game.get_legal_tiles();
    return legal[rng.below(legal.size())];
}

Tile baseline_choice(const Node& root, Rng& rng) {
    if (root.children.empty()) fault("cannot sample empty range");
    return root.children[rng.below(root.children.size())].tile;
}

}  // namespace tarnex::self_play
