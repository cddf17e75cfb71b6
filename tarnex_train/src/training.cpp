#include "training.hpp"

#include <algorithm>
#include <cmath>

namespace tarnex::match {

Shares completed_q_target(const Node& root, const Game& game, const std::vector<float>& priors) {
    if (priors.size() != root.children.size()) fault("completed_q_target: one prior per child expected");
    std::vector<double> logits = self_play::completed_logits(root, priors);
    if (logits.empty()) return cell_shares(root, game, logits);
    const double top = *std::max_element(logits.begin(), logits.end());
    double total = 0.0;
    for (double& l : logits) total += (l = std::exp(l - top));
    std::vector<double> target(logits.size());
    for (std::size_t i = 0; i < logits.size(); ++i) target[i] = static_cast<float>(logits[i] / total);
    return cell_shares(root, game, target);
}

}  // namespace tarnex::match
