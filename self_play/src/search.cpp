#include "search.hpp"

#include <memory>
#include <random>

namespace tarnex::self_play {

float exploration_term(const Node& node, const Config& config) {
    const float n = static_cast<float>(node.visit_count);
    const float e = config.c_init + std::log(((config.c_base + n) + 1.0f) / config.c_base);
    return std::sqrt(n) * e;
}

float puct_score(float k, const Node& child) {
    const float n = static_cast<float>(child.visit_count);
    const float q = child.visit_count != 0 ? child.value_sum / n : 0.0f;
    return child.prior * (k / (n + 1.0f)) + q;
}

Node& select_child(Node& node, const Config& config) {
    if (node.children.empty()) fault("select_child on a node without children");
    const float k = exploration_term(node, config);
    Node* best = nullptr;
    float best_score = 0.0f;
    for (Node& child : node.children) {
        const float score = puct_score(k, child);
        if (std::isnan(score)) continue;
        if (best == nullptr || score >= best_score) {
            best = &child;
            best_score = score;
        }
    }
    return best != nullptr ? *best : node.children.back();
}

void add_root_noise(Node& root, const Config& config, Rng& rng) {
    const std::size_t n = root.children.size();
    if (n < 2) return;
    const float alpha = config.dirichlet_alpha;
    if (!(alpha > 0.0f)) fault("dirichlet_alpha must be greater than 0, got " + std::to_string(alpha));

    std::gamma_distribution<double> gamma(static_cast<double>(alpha), 1.0);
    std::vector<double> draws(n);
    double sum = 0.0;
    for (double& d : draws) {
        d = gamma(rng);
        sum += d;
    }
    const float eps = config.exploration_fraction;
    const float keep = 1.0f - eps;
    for (std::size_t j = 0; j < n; ++j) {
        const float eta = static_cast<float>(draws[j] / sum);
        const float kept = keep * root.children[j].prior;
        const float noise = eps * eta;
        root.children[j].prior = kept + noise;
    }
}

void backup(const std::vector<Node*>& path, const std::vector<float>& values) {
    for (Node* node : path) {
        if (node->player >= values.size()) {
            fault("value list of " + std::to_string(values.size()) + " entries has no value for seat " +
                  std::to_string(node->player));
        }
        ++node->visit_count;
        node->value_sum = values[node->player] + node->value_sum;
    }
}

void backup_to_chooser(const Node& root, const std::vector<Node*>& path, const std::vector<float>& values) {
    std::size_t chooser = root.player;
    for (Node* node : path) {
        if (chooser >= values.size()) {
            fault("value list of " + std::to_string(values.size()) + " entries has no value for seat " +
                  std::to_string(chooser));
        }
        ++node->visit_count;
        node->value_sum = values[chooser] + node->value_sum;
        chooser = node->player;
    }
}

const Game& descend(Node& root, const Game& game, const Config& config, std::vector<Node*>& path) {
    path.clear();
    Node* node = &root;
    const Game* position = &game;
    while (!node->is_leaf()) {
        Node& child = select_child(*node, config);
        if (!child.position) {
            // Reached for the first time: its position is the parent's with
            // the child's tile applied (a rejected tile changes nothing and
            // is ignored, as in a replay from the root).
            child.position = std::make_unique<Game>(*position);
            (void)child.position->apply(child.tile);
        }
        position = child.position.get();
        path.push_back(&child);
        node = &child;
    }
    return *position;
}

}  // namespace tarnex::self_play
