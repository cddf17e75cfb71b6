#include "training.hpp"

#include <algorithm>
#include <cmath>

namespace tarnex::match {

Shares completed_q_target(const Node& root, const Game& game, const std::vector<float>& priors) {
    constexpr double kVisitScale = 50.0;
    constexpr double kValueScale = 0.1;
    constexpr double kFloor = 1e-12;  // a prior of 0 stays (almost) 0 without taking a log of 0
    if (priors.size() != root.children.size()) fault("completed_q_target: one prior per child expected");
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
    const auto [low, high] = std::minmax_element(q.begin(), q.end());
    const double span = *high - *low;
    const double scale = (kVisitScale + most) * kValueScale;
    std::vector<double> logits(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double normalised = span > 0.0 ? (q[i] - *low) / span : 0.0;
        logits[i] = std::log(std::max(static_cast<double>(priors[i]), kFloor)) + scale * normalised;
    }
    const double top = *std::max_element(logits.begin(), logits.end());
    double total = 0.0;
    for (double& l : logits) total += (l = std::exp(l - top));
    std::vector<double> target(n);
    for (std::size_t i = 0; i < n; ++i) target[i] = static_cast<float>(logits[i] / total);
    return cell_shares(root, game, target);
}

}  // namespace tarnex::match
