// Self-play games for training, searched by tarnex_train's own search
// rather than the engine's driver, for two things the engine's driver does
// not do:
//  - credit: at a tile that completes a piece the engine's search ranks the
//    tiles by the next seat's value, so the moves played there, and their
//    visit shares, follow another seat's interest. With Credit::chooser they
//    follow the mover's, and those positions become training targets too.
//  - playout-cap randomisation: with `cheap_sims` set, only a `full_share`
//    of the tiles get the full search (root noise, recorded as a policy
//    target); the others a quick search without noise that only moves the
//    game on, so a game costs fewer evaluations for the same number of
//    value targets.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "match.hpp"

namespace tarnex::match {

struct TrainingSearch {
    SearchPlayer full;  // the recorded searches, noise included
    std::uint64_t cheap_sims = 0;  // 0: every search is full
    float full_share = 1.0f;
    // The tiles before this many (all seats together) are drawn in proportion
    // to the visits, later ones are the most visited.
    std::uint64_t sample_moves = 0;
};

struct TrainingGame {
    History history;
    // Per tile: the full search's visit shares; empty after a quick search.
    std::vector<Shares> policies;
    std::array<float, kPlayers> payoff{};
};

// Plays one game from `game` to the end, every seat searching through
// `transport`. A failed evaluation ends it with the error.
template <Transport T>
Expected<TrainingGame, std::string> play_training(Game game, const TrainingSearch& plan, T& transport,
                                                  std::int32_t id, Rng& rng) {
    TrainingGame result;
    while (!game.is_terminal()) {
        const bool full = plan.cheap_sims == 0 || rng.uniform_float() < plan.full_share;
        SearchPlayer player = plan.full;
        if (!full) {
            player.sims = plan.cheap_sims;
            player.exploration_fraction = 0.0f;
        }
        auto searched = search(game, player, transport, id, rng);
        if (!searched) return Unexpected{"Error running MCTS: " + searched.error()};
        const Node& root = searched.value();
        Decision decision = search_decision(root, game, rng);
        if (game.history.size() + 1 < plan.sample_moves && !root.is_leaf()) {
            decision.tile = self_play::sampled_choice(root, rng.uniform_float());
        }
        result.policies.push_back(full ? std::move(decision.shares) : Shares{});
        if (auto rejected = game.apply(decision.tile)) fault("play_training: " + *rejected);
    }
    result.payoff = game.get_payoff();
    result.history = std::move(game.history);
    return result;
}

}  // namespace tarnex::match
