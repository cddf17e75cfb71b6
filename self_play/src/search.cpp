#include "search.hpp"

#include <algorithm>
#include <array>
#include <limits>
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

void expand_placements(Node& node, const Game& game) {
    if (node.children.empty()) return;
    // A legal tile the policy left without a child gets a floor, not a zero,
    // so that a placement through it stays reachable.
    constexpr float kFloor = 1e-6f;
    std::array<float, kBoardCells> prior;
    prior.fill(kFloor);
    for (const Node& child : node.children) prior[child.tile] = child.prior > kFloor ? child.prior : kFloor;  // NaN too

    const std::vector<Placement> placements = game.tile_moves.completable();
    std::vector<Node> children(placements.size());
    std::vector<double> scores(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i) {
        Node& child = children[i];
        double log_product = 0.0, mass = 0.0;
        std::size_t open = 0;
        placements[i].for_each_cell([&](std::size_t cell) {
            if (!game.tile_moves.contains(cell)) return;  // chosen earlier in the turn
            if (open == 0) child.tile = cell;
            log_product += std::log(static_cast<double>(prior[cell]));
            mass += prior[cell];
            ++open;
        });
        child.placement = placements[i];
        // The chance that tiles drawn one by one from the prior, each draw
        // renormalised over what is left, take the placement's n open cells
        // first, in any order: n! prod p / prod_k (1 - k mean p), exact where
        // the cells' priors are equal. A placement the policy spreads its
        // whole mass over scores 1, however many cells it has.
        const double mean = mass / static_cast<double>(std::max<std::size_t>(open, 1));
        double score = log_product;
        for (std::size_t k = 1; k < open; ++k) {
            score += std::log(static_cast<double>(k + 1)) - std::log(std::max(1.0 - static_cast<double>(k) * mean, 1e-6));
        }
        scores[i] = score;
    }
    const double top = scores.empty() ? 0.0 : *std::max_element(scores.begin(), scores.end());
    double sum = 0.0;
    for (double& score : scores) sum += (score = std::exp(score - top));
    for (std::size_t i = 0; i < children.size(); ++i) children[i].prior = static_cast<float>(scores[i] / sum);
    node.children = std::move(children);
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

const Game& descend(Node& root, const Game& game, const Config& config, std::vector<Node*>& path, Node* first) {
    path.clear();
    Node* node = &root;
    const Game* position = &game;
    while (!node->is_leaf()) {
        Node& child = first != nullptr ? *first : select_child(*node, config);
        first = nullptr;
        if (!child.position) {
            // Reached for the first time: its position is the parent's with
            // the child's tile applied (a rejected tile changes nothing and
            // is ignored, as in a replay from the root).
            child.position = std::make_unique<Game>(*position);
            if (child.placement) {
                child.placement->for_each_cell([&](std::size_t cell) {
                    if (child.position->tile_moves.contains(cell)) (void)child.position->apply(cell);
                });
            } else {
                (void)child.position->apply(child.tile);
            }
        }
        position = child.position.get();
        path.push_back(&child);
        node = &child;
    }
    return *position;
}

std::vector<double> completed_logits(const Node& root, const std::vector<float>& priors) {
    constexpr double kVisitScale = 50.0;
    constexpr double kValueScale = 0.1;
    constexpr double kFloor = 1e-12;  // a prior of 0 stays (almost) 0 without taking a log of 0
    if (priors.size() != root.children.size()) fault("completed_logits: one prior per child expected");
    const std::size_t n = priors.size();
    double weighted = 0.0, weight = 0.0;
    std::uint32_t most = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& child = root.children[i];
        most = std::max(most, child.visit_count);
        if (child.visit_count == 0) continue;
        weighted += static_cast<double>(priors[i]) * child.value_sum / child.visit_count;
        weight += priors[i];
    }
    std::vector<double> q(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& child = root.children[i];
        q[i] = child.visit_count > 0 ? static_cast<double>(child.value_sum) / child.visit_count
               : weight > 0.0       ? weighted / weight
                                    : 0.0;
    }
    std::vector<double> logits(n);
    if (n == 0) return logits;
    const auto [low, high] = std::minmax_element(q.begin(), q.end());
    const double span = *high - *low;
    const double scale = (kVisitScale + most) * kValueScale;
    for (std::size_t i = 0; i < n; ++i) {
        const double normalised = span > 0.0 ? (q[i] - *low) / span : 0.0;
        logits[i] = std::log(std::max(static_cast<double>(priors[i]), kFloor)) + scale * normalised;
    }
    return logits;
}

namespace {

// A score as a halving ranks it: a NaN below every number, so that the
// comparisons stay a strict weak order.
double ranked(double score) { return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score; }

}  // namespace

Halving::Halving(const Node& root, std::size_t considered, std::uint64_t sims) : sims_left_(sims) {
    const std::size_t n = root.children.size();
    priors_.reserve(n);
    for (const Node& child : root.children) priors_.push_back(child.prior);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    // Highest prior first (a NaN last); among equals, walk order.
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return ranked(priors_[a]) > ranked(priors_[b]); });
    order.resize(std::min(considered, n));
    candidates_ = std::move(order);
    rounds_left_ = 1;
    while ((std::size_t{1} << rounds_left_) < candidates_.size()) ++rounds_left_;
    start_round();
}

void Halving::start_round() {
    const std::uint64_t count = candidates_.size();
    const std::uint64_t rounds = std::max<std::size_t>(rounds_left_, 1);
    // Each candidate gets an equal share of the round, one visit at least;
    // the last round takes whatever is left.
    const std::uint64_t each = std::max<std::uint64_t>(1, sims_left_ / (rounds * count));
    round_left_ = rounds_left_ <= 1 ? sims_left_ : std::min(sims_left_, each * count);
    turn_ = 0;
}

std::size_t Halving::next(const Node& root) {
    if (round_left_ == 0) {
        if (candidates_.size() > 2) {
            const std::vector<double> logits = completed_logits(root, priors_);
            std::stable_sort(candidates_.begin(), candidates_.end(),
                             [&](std::size_t a, std::size_t b) { return ranked(logits[a]) > ranked(logits[b]); });
            candidates_.resize(std::max<std::size_t>(2, (candidates_.size() + 1) / 2));
        }
        if (rounds_left_ > 1) --rounds_left_;
        start_round();
    }
    const std::size_t child = candidates_[turn_ % candidates_.size()];
    ++turn_;
    if (round_left_ > 0) --round_left_;
    if (sims_left_ > 0) --sims_left_;
    return child;
}

std::size_t Halving::best(const Node& root) const {
    const std::vector<double> logits = completed_logits(root, priors_);
    std::size_t best = candidates_.front();
    for (std::size_t c : candidates_) {
        if (ranked(logits[c]) > ranked(logits[best])) best = c;
    }
    return best;
}

}  // namespace tarnex::self_play
