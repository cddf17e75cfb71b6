// PUCT tree search with Dirichlet noise at the root: the one search of the
// engine and of tarnex_train's players.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
// One simulation's walk down the tree: from `root` (at position `game`) by
// select_child to a leaf, making the position of each node reached for the
// first time; `first`, when given, is the root's child to take instead of
// selecting one. `path` receives the nodes below the root; returns the
// leaf's position (`game` itself when the root is a leaf).
const Game& descend(Node& root, const Game& game, const Config& config, std::vector<Node*>& path,
                    Node* first = nullptr);

// The root children's logits moved by their values (Gumbel MuZero's
// completed Q): log prior + (50 + the most visits) * 0.1 * q, q each
// child's mean value scaled to [0, 1] over the children, an unvisited child
// valued at the prior-weighted mean of the visited ones. `priors`: one per
// child, in walk order (a training target takes them before the root's
// noise; a halving compares its candidates by the priors it chose them by).
std::vector<double> completed_logits(const Node& root, const std::vector<float>& priors);

// Which root child each simulation of a sequential halving starts from (the
// root of Gumbel MuZero, without its Gumbel draws): the `considered`
// children of highest prior are visited in turn, in rounds, each round
// giving every remaining candidate an equal share of its simulations, after
// which the better half by completed_logits goes on (two at least).
class Halving {
public:
    Halving(const Node& root, std::size_t considered, std::uint64_t sims);
    // The root child (walk-order index) the next simulation starts from.
    std::size_t next(const Node& root);
    // The best remaining candidate by completed_logits.
    std::size_t best(const Node& root) const;

private:
    void start_round();

    std::vector<float> priors_;
    std::vector<std::size_t> candidates_;
    std::uint64_t sims_left_;
    std::size_t rounds_left_;
    std::uint64_t round_left_ = 0;  // simulations left in this round
    std::size_t turn_ = 0;
};

// Whom a search credits with a child's value. A tile that completes a piece
// hands the move on, so the child's position has another mover: `next`
// values the child for that mover, as self-play's search does; `chooser`
// for the seat that chose the tile, whose choice it is.
enum class Credit : std::uint8_t { next, chooser };

// Where the searches built on run_search part ways. The defaults are
// self-play's search, whose trees, requests and draws the module's replays
// pin down; tarnex_train's players and training games set the others.
struct SearchRules {
    Credit credit = Credit::next;
    // Self-play mixes noise into every root (drawing from the generator even
    // at an exploration fraction of 0); otherwise only where the fraction is
    // above 0, so a noiseless search draws nothing for it.
    bool noise_at_zero_fraction = true;
    // A root without children has nothing to choose between: return it
    // before any simulation rather than evaluating it again for each.
    bool stop_at_leaf_root = false;
    // A failed leaf evaluation ends the search with the error rather than a
    // fault (a caller that reports errors per game, not per process).
    bool return_leaf_errors = false;
    // When given, receives the root children's priors before any noise, in
    // walk order (left alone when the root stops as a leaf).
    std::vector<float>* root_priors = nullptr;
    // Subtracted from a finished game's payoffs (see evaluate) where the
    // network's values are centred (seat shares minus their mean);
    // self-play's search backs up the raw payoffs.
    float terminal_offset = 0.0f;
    // Above 1: the root's simulations go by a sequential halving over this
    // many candidates (Halving), the tree below it by PUCT. With 64
    // simulations and 15 to 100 tiles, PUCT spends them where the priors
    // point; the halving lets the values decide between the priors' best few.
    // Its values must be the chooser's (Credit::chooser, or placements).
    std::size_t considered = 0;
    // With `considered`, receives the halving's choice: the walk-order index
    // of the root child it ends on (left alone where no halving ran: a root
    // of fewer than two children).
    std::optional<std::size_t>* chosen = nullptr;
    // Branch on whole placements instead of tiles: every node's children are
    // the placements that can end the mover's turn from its position (see
    // expand_placements), so each simulation goes a whole turn deeper and
    // its leaf is always a turn's first tile, where the network's values are
    // steadiest. Credit is then always the chooser's: a placement always
    // hands the move on.
    bool placements = false;
};

// Replaces the tile children that evaluate gave `node` by one child per
// placement that can end the mover's turn from `game` (TileMoves::completable).
// A placement's prior is the chance that the tile priors, drawn one tile at a
// time, pick its open cells first (the network's policy spreads a turn's
// target over the chosen placement's cells), normalised over the
// placements. The children keep completable's order, which is fixed by the
// position, so no draw is spent on their walk order. A node without
// children stays a leaf.
void expand_placements(Node& node, const Game& game);

// Adds the simulation's values along the path, each node taking its own seat's value.
void backup(const std::vector<Node*>& path, const std::vector<float>& values);
// The backup of Credit::chooser: each node on the path below `root` takes
// the value of its parent's mover.
void backup_to_chooser(const Node& root, const std::vector<Node*>& path, const std::vector<float>& values);

// Builds the tree of one search from `game`, which is only read: the one
// PUCT simulation loop of the tree, `rules` saying where a caller's search
// differs from self-play's.
template <Transport T>
Expected<Node, std::string> run_search(const Game& game, const Config& config, T& transport, std::int32_t id,
                                       Rng& rng, const SearchRules& rules = {}) {
    Node root;
    EvaluationReply reply;
    if (auto error = evaluate(root, game, transport, id, rng, reply)) {
        return Unexpected{"Error evaluating root node: " + error->display()};
    }
    if (rules.placements) expand_placements(root, game);
    if (rules.stop_at_leaf_root && root.is_leaf()) return root;
    if (rules.root_priors != nullptr) {
        rules.root_priors->clear();
        for (const Node& child : root.children) rules.root_priors->push_back(child.prior);
    }
    if (rules.noise_at_zero_fraction || config.exploration_fraction > 0.0f) add_root_noise(root, config, rng);
    std::optional<Halving> halving;
    if (rules.considered > 1 && root.children.size() > 1) halving.emplace(root, rules.considered, config.sims_per_move);

    std::vector<Node*> path;
    for (std::uint64_t sim = 0; sim < config.sims_per_move; ++sim) {
        ++root.visit_count;
        Node* first = halving ? &root.children[halving->next(root)] : nullptr;
        const Game& position = descend(root, game, config, path, first);
        Node& leaf = path.empty() ? root : *path.back();
        if (auto error = evaluate(leaf, position, transport, id, rng, reply, rules.terminal_offset)) {
            std::string message = "Error evaluating leaf node: " + error->display();
            if (rules.return_leaf_errors) return Unexpected{std::move(message)};
            fault(message);
        }
        if (rules.placements) expand_placements(leaf, position);
        if (rules.credit == Credit::next && !rules.placements) {
            backup(path, reply.values);
        } else {
            backup_to_chooser(root, path, reply.values);
        }
    }
    if (rules.chosen != nullptr && halving) *rules.chosen = halving->best(root);
    return root;
}

}  // namespace tarnex::self_play
