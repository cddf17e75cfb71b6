// Self-play games for training: the engine's search and training driver,
// configured for two things self-play's own games do not do:
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
#include <optional>
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
// (kVisitScale + most visits) * kValueScale, as in mctx. A placement's
// share is spread over its open cells in `game` (cell_shares).
Shares completed_q_target(const Node& root, const Game& game, const std::vector<float>& priors);

struct TrainingSearch {
    SearchPlayer full{};  // the recorded searches, noise included
    PolicyTarget target = PolicyTarget::visits;
    std::uint64_t cheap_sims = 0;  // 0: every search is full
    float full_share = 1.0f;
    // The tiles before this many (all seats together) are drawn in proportion
    // to the visits, later ones are the most visited.
    std::uint64_t sample_moves = 0;
};

// Per tile, the full search's visit shares (or completed-Q target); empty
// after a quick search.
using TrainingGame = self_play::TrainingGameResult;

// Plays one game from `game` to the end, every seat searching through
// `transport`: the engine's training driver with this plan's searches and
// records. A failed evaluation ends it with the error.
template <Transport T>
Expected<TrainingGame, std::string> play_training(Game game, const TrainingSearch& plan, T& transport,
                                                  std::int32_t id, Rng& rng) {
    bool full = true;
    bool improve = false;
    std::vector<float> priors;
    std::optional<std::size_t> chosen;  // a halving's choice
    const Game* searched = nullptr;
    return self_play::play_training_game(
        std::move(game), plan.sample_moves, rng,
        [&](const Game& position) {
            full = plan.cheap_sims == 0 || rng.uniform_float() < plan.full_share;
            SearchPlayer player = plan.full;
            if (!full) {
                player.sims = plan.cheap_sims;
                player.exploration_fraction = 0.0f;
            }
            improve = full && plan.target == PolicyTarget::completed_q;
            searched = &position;
            chosen.reset();
            return search(position, player, transport, id, rng, improve ? &priors : nullptr, &chosen);
        },
        [&](const Node& root, const Game& position) { return search_decision(root, position, rng, chosen); },
        [&](const Node& root, Decision& decision) -> Shares {
            if (!full) return {};
            if (improve && !root.is_leaf()) return completed_q_target(root, *searched, priors);
            return std::move(decision.shares);
        });
}

}  // namespace tarnex::match
