#include "evaluation.hpp"

#include <algorithm>
#include <cmath>

namespace tarnex::self_play {

void expand_from_reply(Node& node, const Game& game, EvaluationReply& reply, Rng& rng) {
    const std::size_t mover = game.current_player;
    const std::vector<float>& policy = reply.policy;
    std::vector<float>& values = reply.values;

    // The policy comes in the mover's frame, the same frame as the planes:
    // the prior source of board tile t is the entry at t's place in that
    // frame. For seat 0 the frame is the board's own and the policy is used
    // as received, whatever its length.
    if (mover != 0 && policy.size() < kBoardCells) {
        fault("policy has " + std::to_string(policy.size()) + " entries; 400 are needed to turn it for seat " +
              std::to_string(mover));
    }
    const auto& frame = board_state_frame(mover);

    const std::size_t n = values.size();
    if (mover > n) {
        fault("reply has " + std::to_string(n) + " values; seat " + std::to_string(mover) + " needs at least that many");
    }

    // Kept tiles: positive policy entries, weighted by e^v in single precision.
    const CellSet& keys = game.tile_moves.keys();
    std::vector<Node> children;
    children.reserve(keys.size());
    float sum = 0.0f;
    bool short_policy = false;
    keys.for_each([&](std::size_t t) {
        const std::size_t source = frame[t];
        if (source >= policy.size()) {
            short_policy = true;
            return;
        }
        const float v = policy[source];
        if (v > 0.0f) {
            Node child;
            child.tile = t;
            child.prior = std::exp(v);
            sum += child.prior;
            children.push_back(std::move(child));
        }
    });
    if (short_policy) {
        fault("policy has " + std::to_string(policy.size()) + " entries; a legal tile lies beyond them");
    }

    // Values relative to the mover become values by absolute seat.
    if (mover != 0 && n != 0) std::rotate(values.begin(), values.end() - static_cast<std::ptrdiff_t>(mover % n), values.end());

    node.player = mover;
    if (children.empty()) return;
    for (Node& child : children) child.prior = child.prior / sum;
    std::shuffle(children.begin(), children.end(), rng);
    node.children = std::move(children);
}

}  // namespace tarnex::self_play
