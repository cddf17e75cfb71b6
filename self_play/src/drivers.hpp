// The game drivers: one for training games (self-play's and, configured by
// tarnex_train, its own), one for played games (the model-versus-baseline
// test game, and tarnex_train's matches).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// A tile chosen at one position, with what the chooser records of it: a
// search's root visit shares, a policy's priors, or nothing.
struct Decision {
    Tile tile = 0;
    SearchPolicy shares;
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

// The one driver of training games: plays `game` to its end, searching every
// position. What differs between its users comes as callables:
//   search(game) -> Expected<Node, std::string>, the searched root (an error
//       ends the game with it);
//   choose(root, game) -> Decision, the tile where none is sampled;
//   record(root, decision) -> SearchPolicy, the policy target kept for it.
// While the record count, this tile's included, is below `sample_moves`, the
// tile is drawn in proportion to the root's visits instead (a root without
// children has nothing to draw from: its chosen tile stands).
template <class Search, class Choose, class Record>
Expected<TrainingGameResult, std::string> play_training_game(Game game, std::uint64_t sample_moves, Rng& rng,
                                                             Search&& search, Choose&& choose, Record&& record) {
    TrainingGameResult result;
    while (!game.is_terminal()) {
        auto searched = search(static_cast<const Game&>(game));
        if (!searched) return Unexpected{"Error running MCTS: " + searched.error()};
        const Node& root = searched.value();
        Decision decision = choose(root, static_cast<const Game&>(game));
        if (result.policies.size() + 1 < sample_moves && !root.is_leaf()) {
            decision.tile = sampled_choice(root, rng.uniform_float());
        }
        result.policies.push_back(record(root, decision));
        if (auto rejected = game.apply(decision.tile)) fault("training game: " + *rejected);
    }
    result.payoff = game.get_payoff();
    result.history = std::move(game.history);
    return result;
}

// Self-play's training game: the engine's search and records, the most
// visited tile (the last in walk order among equals) where none is sampled.
template <Transport T>
Expected<TrainingGameResult, std::string> training_game(std::int32_t id, const Config& config, T& transport,
                                                        Rng& rng) {
    return play_training_game(
        Game::reset(), config.sample_moves, rng,
        [&](const Game& game) {
            auto searched = run_search(game, config, transport, id, rng);
            if (searched && searched.value().children.empty()) {
                fault("search root has no children: no move to choose");
            }
            return searched;
        },
        [](const Node& root, const Game&) { return Decision{greedy_choice(root), {}}; },
        [](const Node& root, Decision&) { return search_policy(root); });
}

// The one driver of games that are played, not learned from: the test
// game's and every match's. Plays `game` to its end, each tile chosen by
// decide(game) -> Expected<Tile, std::string>; the first error stops the game
// where it stands and is returned.
template <class Decide>
std::optional<std::string> play_game(Game& game, Decide&& decide) {
    while (!game.is_terminal()) {
        auto tile = decide(static_cast<const Game&>(game));
        if (!tile) return std::move(tile.error());
        if (auto rejected = game.apply(tile.value())) fault("play_game: " + *rejected);
    }
    return std::nullopt;
}

// The model-versus-baseline test game: the model at seat 0 takes the tile of
// its highest prior, the baseline's seats draw uniformly among the children
// of their evaluated roots.
template <Transport Model, Transport Baseline>
Expected<float, std::string> test_game(std::int32_t id, Model& model, Baseline& baseline, Rng& rng,
                                       std::FILE* out = stdout) {
    Game game = Game::reset();
    EvaluationReply reply;
    auto failure = play_game(game, [&](const Game& position) -> Expected<Tile, std::string> {
        const bool model_seat = position.current_player == 0;
        Node root;
        std::optional<std::string> failed;
        if (model_seat) {
            if (auto error = evaluate(root, position, model, id, rng, reply)) failed = error->detail();
        } else {
            if (auto error = evaluate(root, position, baseline, id, rng, reply)) failed = error->detail();
        }
        if (failed) return Unexpected{std::move(*failed)};
        return model_seat ? model_choice(root, position, rng) : baseline_choice(root, rng);
    });
    if (failure) {
        // Qualified: with a std::string argument, ADL would otherwise
        // pick std::quoted wherever <iomanip> happens to be included.
        const std::string line =
            "Error running MCTS: " + self_play::quoted("Error evaluating root node: " + *failure) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
        return Unexpected{std::string("Error running MCTS")};
    }
    const std::string text = "Finished Game\n" + game.board.render();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return game.get_payoff()[0];
}

}  // namespace tarnex::self_play
