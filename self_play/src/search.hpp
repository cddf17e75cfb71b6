// PUCT tree search with Dirichlet noise at the root.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "config.hpp"
#include "evaluation.hpp"
#include "expected.hpp"
#include "fault.hpp"
#include "node.hpp"
#include "rng.hpp"

namespace tarnex::self_play {

// The node's exploration factor K = sqrt(N) * (c_init + ln((c_base + N + 1) / c_base)).
float exploration_term(const Node& node, const Config& config);
float puct_score(float k, const Node& child);
// The child with the greatest score; ties go to the last in walk order, a NaN
// score never wins, and when every score is NaN the last child is taken.
Node& select_child(Node& node, const Config& config);
// Mixes one Dirichlet(alpha) sample into the root's priors (two or more children).
void add_root_noise(Node& root, const Config& config, Rng& rng);
// Adds the simulation's values along the path, each node taking its own seat's value.
void backup(const std::vector<Node*>& path, const std::vector<float>& values);
// One simulation's walk down the tree: from `root` (at position `game`) by
// select_child to a leaf, making the position of each node reached for the
// first time. `path` receives the nodes below the root; returns the leaf's
// position (`game` itself when the root is a leaf).
const Game& descend(Node& root, const Game& game, const Config& config, std::vector<Node*>& path);

// Builds the tree of one search from `game`, which is only read.
template <Transport T>
Expected<Node, std::string> run_search(const Game& game, const Config& config, T& transport, std::int32_t id,
                                       Rng& rng) {
    Node root;
    EvaluationReply reply;
    if (auto error = evaluate(root, game, transport, id, rng, reply)) {
        return Unexpected{"Error evaluating root node: " + error->display()};
    }
    add_root_noise(root, config, rng);

    std::vector<Node*> path;
    for (std::uint64_t sim = 0; sim < config.sims_per_move; ++sim) {
        ++root.visit_count;
        const Game& position = descend(root, game, config, path);
        Node& leaf = path.empty() ? root : *path.back();
        if (auto error = evaluate(leaf, position, transport, id, rng, reply)) {
            fault("Error evaluating leaf node: " + error->display());
        }
        backup(path, reply.values);
    }
    return root;
}

}  // namespace tarnex::self_play
