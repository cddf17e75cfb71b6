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

// What a full search records as the policy target.
//  - visits: the root's visit shares, as the engine records them.
//  - completed_q: the network's priors improved by the searched values,
//    softmax(log prior + sigma(q)) over every legal tile (Gumbel MuZero's
//    target). With a few simulations and dozens of legal tiles, most tiles
//    get one visit or none, so the visit shares mostly restate the noisy
//    priors; this target moves each prior by what its tile's value showed,
//    and leaves the unvisited ones where the network put them.
enum class PolicyTarget : std::uint8_t { visits, completed_q };

// The completed-Q target of a searched root, credited to the chooser:
// unvisited tiles take the prior-weighted mean value of the visited ones;
// values are scaled to [0, 1] over the root's tiles, then by
// (kVisitScale + most visits) * kValueScale, as in mctx.
Shares completed_q_target(const Node& root, const std::vector<float>& priors);

struct TrainingSearch {
    SearchPlayer full{};  // the recorded searches, noise included
    PolicyTarget target = PolicyTarget::visits;
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
    std::vector<float> priors;
    while (!game.is_terminal()) {
        const bool full = plan.cheap_sims == 0 || rng.uniform_float() < plan.full_share;
        SearchPlayer player = plan.full;
        if (!full) {
            player.sims = plan.cheap_sims;
            player.exploration_fraction = 0.0f;
        }
        const bool improve = full && plan.target == PolicyTarget::completed_q;
        auto searched = search(game, player, transport, id, rng, improve ? &priors : nullptr);
        if (!searched) return Unexpected{"Error running MCTS: " + searched.error()};
        const Node& root = searched.value();
        Decision decision = search_decision(root, game, rng);
        if (game.history.size() + 1 < plan.sample_moves && !root.is_leaf()) {
            decision.tile = self_play::sampled_choice(root, rng.uniform_float());
        }
        if (!full) {
            result.policies.emplace_back();
        } else if (improve && !root.is_leaf()) {
            result.policies.push_back(completed_q_target(root, priors));
        } else {
            result.policies.push_back(std::move(decision.shares));
        }
        if (auto rejected = game.apply(decision.tile)) fault("play_training: " + *rejected);
    }
    result.payoff = game.get_payoff();
    result.history = std::move(game.history);
    return result;
}

}  // namespace tarnex::match
