// Matches of four players of any kind, the seats of the strength tests and
// of the browser view: a uniformly random player, the rules' reference
// players, a policy (one evaluation per tile) and the engine's PUCT search.
// The last two evaluate positions through the engine's transport, so their
// requests take the same way as self-play's: put/recv, batcher, cache.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "reference.hpp"
#include "simulation.hpp"  // the engine: its search, drivers and Decision

namespace tarnex::match {

using self_play::Credit;
using self_play::EvaluationReply;
using self_play::Expected;
using self_play::Node;
using self_play::Rng;
using self_play::Transport;
using self_play::Unexpected;

using History = std::vector<std::pair<std::int32_t, std::int32_t>>;
// (seat, tile) pairs as given, before they are checked against the rules.
using Moves = std::vector<std::pair<std::int64_t, std::int64_t>>;
// (tile, share) pairs of one decision, in ascending tile order.
using Shares = std::vector<std::pair<std::int32_t, float>>;

struct RandomPlayer {};
struct ReferencePlayer {
    ReferenceKind kind = ReferenceKind::greedy;
};
// Temperature 0 takes the tile of the highest prior; t > 0 draws a tile with
// probability proportional to prior^(1/t).
struct PolicyPlayer {
    float temperature = 0.0f;
};
// `sims` simulations per tile, crediting by `credit` (self_play::Credit);
// Dirichlet noise at the root only where `exploration_fraction` is above 0
// (self-play, never a match). The PUCT constants have no default here: the
// caller's come from the settings (tarnex_train.settings.SearchConfig), so
// no second value can disagree with them.
//
// With `placements` it branches on whole placements (self_play::SearchRules),
// crediting the chooser whatever `credit` says, and takes the first cell not
// yet chosen of the most visited placement: a stateless player that searches
// again at every tile of its turn, among the placements still open.
//
// With `considered` above 1 the root's simulations go by a sequential
// halving over that many candidates (self_play::Halving), and the player
// takes the candidate the halving ends on.
struct SearchPlayer {
    std::uint64_t sims = 1;
    float c_init;
    float c_base;
    Credit credit = Credit::next;
    float dirichlet_alpha = 0.3f;
    float exploration_fraction = 0.0f;
    bool placements = false;
    std::size_t considered = 0;
};
using Player = std::variant<RandomPlayer, ReferencePlayer, PolicyPlayer, SearchPlayer>;

// Whether the player evaluates positions (and so needs a transport).
bool evaluates(const Player& player);

// A search's root visit shares, a policy's priors over the legal tiles,
// nothing for the others.
using self_play::Decision;

struct MatchResult {
    History history;
    std::array<std::int32_t, kPlayers> scores{};
    std::array<float, kPlayers> payoff{};
};

// The position after `opening`, (seat, tile) pairs played from the start;
// the error names the first entry ("<name> entry i: ...") that is not the
// mover's legal tile.
Expected<Game, std::string> play_opening(const Moves& opening,
                                         const std::string& name = "opening");
// Uniformly drawn legal tiles from the start until `turns` turns (pieces)
// are complete or the game is over; the same seed gives the same opening.
History random_opening(std::size_t turns, std::uint64_t seed);

Tile uniform_tile(const Game& game, Rng& rng);
// A policy's decision from its evaluated root: the children's priors, 0 for
// the legal tiles without a child. When no prior is above 0 the tile is
// drawn uniformly from the legal tiles.
Decision policy_decision(const Node& root, const Game& game, float temperature, Rng& rng);
// A search's decision: the root child `chosen` (walk-order index) where
// given, else the most visited, the highest prior among equals (then the
// lowest tile); a uniformly drawn legal tile when the root has no child. The
// shares are the children's visit shares (cell_shares).
Decision search_decision(const Node& root, const Game& game, Rng& rng,
                         std::optional<std::size_t> chosen = std::nullopt);
// Per tile, in ascending tile order, the weight of the root's children that
// move there (one weight per child, in walk order): a tile child's own, and a
// placement child's spread evenly over its cells not yet chosen in `game`,
// which is how a whole placement's target reads tile by tile.
Shares cell_shares(const Node& root, const Game& game, const std::vector<double>& weights);
// tarnex_train's evaluators answer each seat's share of the payoff minus the
// mean share (VALUE_CENTRE in inference/evaluators.py), so that an unvisited
// child counts as average: a finished game's payoff is moved onto the same
// scale.
inline constexpr float kValueCentre = 1.0f / static_cast<float>(kPlayers);

// The core search (self_play::run_search) as a player searches: crediting
// by `player.credit`, noise only where its exploration fraction is above 0,
// a root without children returned unsearched, finished games valued on the
// network's centred scale. A failed evaluation, at the root or at a leaf,
// ends it with the error. `priors`, when given, receives the root
// children's priors before any noise (in walk order); `chosen`, the
// halving's choice (SearchRules::chosen).
template <Transport T>
Expected<Node, std::string> search(const Game& game, const SearchPlayer& player, T& transport, std::int32_t id,
                                   Rng& rng, std::vector<float>* priors = nullptr,
                                   std::optional<std::size_t>* chosen = nullptr) {
    self_play::Config config;
    config.sims_per_move = player.sims;
    config.c_init = player.c_init;
    config.c_base = player.c_base;
    config.dirichlet_alpha = player.dirichlet_alpha;
    config.exploration_fraction = player.exploration_fraction;
    self_play::SearchRules rules;
    rules.credit = player.credit;  // the core credits the chooser of a placement whatever this says
    rules.placements = player.placements;
    rules.noise_at_zero_fraction = false;
    rules.stop_at_leaf_root = true;
    rules.return_leaf_errors = true;
    rules.root_priors = priors;
    rules.terminal_offset = kValueCentre;
    rules.considered = player.considered;
    rules.chosen = chosen;
    return self_play::run_search(game, config, transport, id, rng, rules);
}

// One decision of `player` in `game` (not over). `transport` may be null for
// a player that does not evaluate.
template <Transport T>
Expected<Decision, std::string> decide(const Player& player, const Game& game, T* transport, std::int32_t id,
                                       Rng& rng) {
    if (game.is_terminal()) fault("decide: the game is over");
    if (evaluates(player) && transport == nullptr) fault("decide: an evaluating player without a transport");
    if (std::holds_alternative<RandomPlayer>(player)) return Decision{uniform_tile(game, rng), {}};
    if (const auto* reference = std::get_if<ReferencePlayer>(&player)) {
        return Decision{reference_tile(game, reference->kind, rng()), {}};
    }
    if (const auto* policy = std::get_if<PolicyPlayer>(&player)) {
        Node root;
        EvaluationReply reply;
        if (auto error = self_play::evaluate(root, game, *transport, id, rng, reply)) {
            return Unexpected{"Error evaluating root node: " + error->display()};
        }
        return policy_decision(root, game, policy->temperature, rng);
    }
    std::optional<std::size_t> chosen;
    auto searched = search(game, std::get<SearchPlayer>(player), *transport, id, rng, nullptr, &chosen);
    if (!searched) return Unexpected{std::move(searched.error())};
    return search_decision(searched.value(), game, rng, chosen);
}

// Plays from `game` to the end (the engine's driver of played games), each
// seat's player choosing its tiles and evaluating through its own transport
// (null for seats that do not evaluate). A failed evaluation ends the match
// with its error, which names the seat.
template <Transport T>
Expected<MatchResult, std::string> play_match(Game game, const std::array<Player, kPlayers>& seats,
                                              const std::array<T*, kPlayers>& transports, std::int32_t id,
                                              Rng& rng) {
    auto failure = self_play::play_game(game, [&](const Game& position) -> Expected<Tile, std::string> {
        const std::size_t seat = position.current_player;
        auto decision = decide(seats[seat], position, transports[seat], id, rng);
        if (!decision) return Unexpected{"seat " + std::to_string(seat) + ": " + decision.error()};
        return decision.value().tile;
    });
    if (failure) return Unexpected{std::move(*failure)};
    MatchResult result;
    result.scores = game.board.get_scores(game.last_sizes);
    result.payoff = game.get_payoff();
    result.history = std::move(game.history);
    return result;
}

}  // namespace tarnex::match
