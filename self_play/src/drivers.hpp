// The two game drivers: a self-play training game and a model-versus-baseline
// test game.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "config.hpp"
#include "evaluation.hpp"
#include "expected.hpp"
#include "fault.hpp"
#include "quoted.hpp"
#include "search.hpp"

namespace tarnex::self_play {

// One record per search: (tile, share of the root's visits) for every root
// child, in the root's walk order.
using SearchPolicy = std::vector<std::pair<std::int32_t, float>>;

struct TrainingGameResult {
    std::vector<std::pair<std::int32_t, std::int32_t>> history;
    std::vector<SearchPolicy> policies;
    std::array<float, kPlayers> payoff{};
};

// The visit shares of the root's children, total summed as 32-bit unsigned
// (0 / 0 stays NaN when nothing was visited).
SearchPolicy search_policy(const Node& root);
// Proportional to the visit counts: the first child after whose share the
// running sum exceeds u, else the last child.
Tile sampled_choice(const Node& root, float u);
// The most visited child, the last in walk order among equal counts.
Tile greedy_choice(const Node& root);
// The model's choice: the child with the highest prior (first among equals);
// when no child has a prior above 0, tile 0 if legal, else a uniformly drawn
// legal tile, so a model without usable output cannot stall the game.
Tile model_choice(const Node& root, const Game& game, Rng& rng);
// The baseline's choice: a uniformly drawn child.
Tile baseline_choice(const Node& root, Rng& rng);

template <Transport T>
Expected<TrainingGameResult, std::string> training_game(std::int32_t id, const Config& config, T& transport,
                                                        Rng& rng) {
    Game game = Game::reset();
    std::vector<SearchPolicy> policies;
    while (!game.is_terminal()) {
        auto searched = run_search(game, config, transport, id, rng);
        if (!searched) return Unexpected{"Error running MCTS: " + searched.error()};
        const Node& root = searched.value();
        if (root.children.empty()) fault("search root has no children: no move to choose");
        policies.push_back(search_policy(root));
        const Tile tile = policies.size() < config.sample_moves ? sampled_choice(root, rng.uniform_float())
                                                                : greedy_choice(root);
        (void)game.apply(tile);
    }
    TrainingGameResult result;
    result.payoff = game.get_payoff();
    result.history = std::move(game.history);
    result.policies = std::move(policies);
    return result;
}

template <Transport Model, Transport Baseline>
Expected<float, std::string> test_game(std::int32_t id, Model& model, Baseline& baseline, Rng& rng,
                                       std::FILE* out = stdout) {
    Game game = Game::reset();
    EvaluationReply reply;
    while (!game.is_terminal()) {
        const bool model_seat = game.current_player == 0;
        Node root;
        std::optional<std::string> failure;
        if (model_seat) {
            if (auto error = evaluate(root, game, model, id, rng, reply)) failure = error->detail();
        } else {
            if (auto error = evaluate(root, game, baseline, id, rng, reply)) failure = error->detail();
        }
        if (failure) {
            // Qualified: with a std::string argument, ADL would otherwise
            // pick std::quoted wherever <iomanip> happens to be included.
            const std::string line =
                "Error running MCTS: " + self_play::quoted("Error evaluating root node: " + *failure) + "\n";
            std::fwrite(line.data(), 1, line.size(), out);
            std::fflush(out);
            return Unexpected{std::string("Error running MCTS")};
        }
        const Tile tile = model_seat ? model_choice(root, game, rng) : baseline_choice(root, rng);
        (void)game.apply(tile);
    }
    const std::string text = "Finished Game\n" + game.board.render();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return game.get_payoff()[0];
}

}  // namespace tarnex::self_play
