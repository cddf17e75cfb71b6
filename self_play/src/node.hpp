// One node of a search tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "game.hpp"

namespace tarnex::self_play {

struct Node {
    // Children in walk order: shuffled when the node is expanded and fixed
    // from then on, which gives every node its own arbitrary but stable order.
    std::vector<Node> children;
    Tile tile = 0;  // the move from the parent to this node
    // A search that branches on whole placements: the move is all of this
    // placement's cells not yet chosen (`tile` is the first of them).
    std::optional<Placement> placement;
    std::size_t player = 0;
    float value_sum = 0.0f;
    std::uint32_t visit_count = 0;
    float prior = 0.0f;
    // The position at this node, kept by the search once reached so later
    // simulations start from it instead of replaying the path from the root.
    std::unique_ptr<Game> position;

    bool is_leaf() const { return children.empty(); }
};

}  // namespace tarnex::self_play
