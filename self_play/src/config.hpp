// The six tuning values of the self-play tree search.
#pragma once

#include <cstdint>

namespace tarnex::self_play {

struct Config {
    std::uint64_t sims_per_move = 0;
    std::uint64_t sample_moves = 0;
    float c_base = 0.0f;
    float c_init = 0.0f;
    float dirichlet_alpha = 0.0f;
    float exploration_fraction = 0.0f;
};

}  // namespace tarnex::self_play
