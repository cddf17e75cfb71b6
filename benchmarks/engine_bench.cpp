// Benchmarks of the self-play engine with a synthetic in-process evaluator
// (the policy and values come from a cheap hash of the planes, so the
// evaluator costs about as little as a network answer can):
//   BM_TrainingGame    whole training games at sims_per_move 100 through
//                      training_game (counter sims_per_second: simulations
//                      per CPU second, the bar is 50,000);
//   BM_SearchProfile   run_search at sims_per_move 100 from the root
//                      positions of the suite (the searches of one seeded
//                      training game); its counters are the counts per
//                      simulation of the operations below (game copies,
//                      move generations, encodings and expansions, selection
//                      and backup steps), walked off the suite's trees;
//   BM_GameCopy, BM_CopyApply (+WithinTurn, +EndingTurn), BM_GetTileMoves,
//   BM_GetBoardState, BM_Evaluator, BM_Expand, BM_Descent, BM_Backup
//                      the cost of one of each operation, on the positions,
//                      tiles and trees those searches really met.
// A component's share of a simulation = its count per simulation times its
// cost per operation, over the time per simulation of BM_SearchProfile (the
// very searches the counts come from; BM_TrainingGame gives the figure for
// whole games, about the same).
// Medians: --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "simulation.hpp"

namespace {

using namespace tarnex;
using namespace tarnex::self_play;

constexpr std::uint64_t kSims = 100;

Config bench_config() {
    Config config;
    config.sims_per_move = kSims;
    config.sample_moves = 30;
    config.c_base = 19652.0f;
    config.c_init = 1.25f;
    config.dirichlet_alpha = 0.3f;
    config.exploration_fraction = 0.25f;
    return config;
}

// ---------------------------------------------------------------- synthetic evaluator

struct NoError {
    std::string display() const { return {}; }
    std::string detail() const { return {}; }
};

inline std::uint64_t mix(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Policy entries in [-0.25, 0.75) from one hash of the planes and a xorshift
// stream; a legal cell (plane 4) with nothing positive gets 0.5 so every
// position can be played.
struct SyntheticEvaluator {
    using Error = NoError;
    std::uint64_t requests = 0;

    std::optional<NoError> exchange(std::int32_t, const BoardState& planes, EvaluationReply& reply) {
        ++requests;
        std::uint64_t h = 0x243F6A8885A308D3ull;
        for (std::size_t i = 0; i < planes.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, planes.data() + i, 8);
            h = (h ^ word) * 0x100000001B3ull;
        }
        std::uint64_t s = mix(h) | 1;
        reply.policy.resize(kBoardCells);
        bool any = false;
        std::size_t first_legal = kBoardCells;
        const bool* legal = planes.data() + 4 * kBoardCells;
        for (std::size_t i = 0; i < kBoardCells; ++i) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            const float v = static_cast<float>(s >> 40) * 0x1.0p-24f - 0.25f;
            reply.policy[i] = v;
            if (legal[i]) {
                any = any || v > 0.0f;
                if (first_legal == kBoardCells) first_legal = i;
            }
        }
        if (!any && first_legal < kBoardCells) reply.policy[first_legal] = 0.5f;
        reply.values.resize(kPlayers);
        for (std::size_t k = 0; k < kPlayers; ++k) {
            reply.values[k] = static_cast<float>(mix(h + k) >> 40) * 0x1.0p-23f - 1.0f;
        }
        return std::nullopt;
    }
};
static_assert(Transport<SyntheticEvaluator>);

// ---------------------------------------------------------------- whole games

void BM_TrainingGame(benchmark::State& state) {
    const Config config = bench_config();
    std::uint64_t seed = 1;
    double sims = 0, moves = 0, requests = 0;
    for (auto _ : state) {
        SyntheticEvaluator evaluator;
        Rng rng(seed++);
        auto result = training_game(0, config, evaluator, rng);
        if (!result.has_value()) {
            state.SkipWithError(result.error().c_str());
            break;
        }
        moves += static_cast<double>(result.value().history.size());
        sims += static_cast<double>(result.value().history.size() * kSims);
        requests += static_cast<double>(evaluator.requests);
        benchmark::DoNotOptimize(result);
    }
    state.counters["sims_per_second"] = benchmark::Counter(sims, benchmark::Counter::kIsRate);
    state.counters["moves_per_game"] = benchmark::Counter(moves, benchmark::Counter::kAvgIterations);
    state.counters["requests_per_sim"] = benchmark::Counter(sims > 0 ? requests / sims : 0);
}
BENCHMARK(BM_TrainingGame)->Unit(benchmark::kMillisecond)->Iterations(4);

// ---------------------------------------------------------------- the suite

// The searches of one seeded training game (every third move), kept whole:
// the micro-benchmarks below run on what these searches really did, so the
// positions, move maps and trees have the mix a search sees.
struct Edge {
    const Game* parent;  // the position the search copied
    Tile tile;           // the tile it applied to the copy
    bool ends_turn;      // whether that tile completed a piece
};

// An item of one search, tagged with the search it came from.
template <class T>
struct Item {
    T value;
    std::size_t search;
};

struct Suite {
    std::vector<Game> roots;
    std::vector<Node> trees;
    std::vector<Item<Edge>> edges;                // every node reached, in tree order
    std::vector<Item<const Game*>> generations;   // the positions whose move map was generated
    std::vector<Item<const Game*>> evaluated;     // the positions sent to the evaluator
    double sims = 0, requests = 0, selections = 0, generation_calls = 0;
};

void collect(Suite& suite, const Node& node, const Game& at, std::size_t search) {
    for (const Node& child : node.children) {
        suite.selections += child.visit_count;  // one select_child and one backup step per visit
        if (!child.position) continue;
        const Game& next = *child.position;
        const bool ends = next.board.pieces[at.current_player] != at.board.pieces[at.current_player];
        suite.edges.push_back({{&at, child.tile, ends}, search});
        if (ends) {
            // One generation per seat the turn passes to (at the end of the
            // game, when every seat is found finished, this undercounts by
            // at most three).
            const std::size_t steps = (next.current_player + kPlayers - at.current_player) % kPlayers;
            suite.generation_calls += steps == 0 ? kPlayers : steps;
            suite.generations.push_back({&next, search});
        }
        if (!next.is_terminal()) suite.evaluated.push_back({&next, search});
        collect(suite, child, next, search);
    }
}

const Suite& suite() {
    static const Suite built = [] {
        Suite s;
        const Config config = bench_config();
        SyntheticEvaluator evaluator;
        Rng rng(11);
        Game game = Game::reset();
        for (std::size_t move = 0; !game.is_terminal(); ++move) {
            auto root = run_search(game, config, evaluator, 0, rng);
            const Tile tile = greedy_choice(root.value());
            if (move % 3 == 0) {
                s.roots.push_back(game);
                s.trees.push_back(std::move(root.value()));
            }
            (void)game.apply(tile);
        }
        // Root positions are stable now; walk the trees.
        for (std::size_t k = 0; k < s.trees.size(); ++k) {
            s.evaluated.push_back({&s.roots[k], k});
            collect(s, s.trees[k], s.roots[k], k);
        }
        s.sims = static_cast<double>(s.trees.size() * kSims);
        s.requests = static_cast<double>(s.evaluated.size());
        return s;
    }();
    return built;
}

// A search touches only its own tree, whose positions stay in cache from
// one simulation to the next; so the loops below go over one search's items
// kWarm times before they move on to the next search's, rather than
// streaming the whole suite through the cache.
constexpr int kWarm = 4;

template <class T, class Keep>
std::vector<T> warm(const std::vector<Item<T>>& items, Keep keep) {
    std::vector<T> out;
    for (std::size_t b = 0; b < items.size();) {
        std::size_t e = b;
        while (e < items.size() && items[e].search == items[b].search) ++e;
        for (int r = 0; r < kWarm; ++r) {
            for (std::size_t k = b; k < e; ++k) {
                if (keep(items[k].value)) out.push_back(items[k].value);
            }
        }
        b = e;
    }
    return out;
}

template <class T>
std::vector<T> warm(const std::vector<Item<T>>& items) {
    return warm(items, [](const T&) { return true; });
}

// ---------------------------------------------------------------- counts and time per simulation

// run_search from the suite's root positions; the counters give each
// operation's count per simulation in those searches.
void BM_SearchProfile(benchmark::State& state) {
    const Config config = bench_config();
    const Suite& s = suite();
    std::size_t i = 0;
    Rng rng(3);
    double sims = 0;
    for (auto _ : state) {
        SyntheticEvaluator evaluator;
        auto root = run_search(s.roots[i], config, evaluator, 0, rng);
        benchmark::DoNotOptimize(root);
        sims += kSims;
        i = (i + 1) % s.roots.size();
    }
    state.counters["sims_per_second"] = benchmark::Counter(sims, benchmark::Counter::kIsRate);
    state.counters["copies_per_sim"] = static_cast<double>(s.edges.size()) / s.sims;
    state.counters["turn_ends_per_sim"] = static_cast<double>(s.generations.size()) / s.sims;
    state.counters["generations_per_sim"] = s.generation_calls / s.sims;
    state.counters["encodings_per_sim"] = s.requests / s.sims;  // one board state and one expansion per request
    state.counters["selections_per_sim"] = s.selections / s.sims;
}
BENCHMARK(BM_SearchProfile)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- one operation each

void BM_GameCopy(benchmark::State& state) {
    const auto edges = warm(suite().edges);
    std::size_t i = 0;
    for (auto _ : state) {
        Game copy = *edges[i].parent;
        benchmark::DoNotOptimize(copy);
        i = (i + 1) % edges.size();
    }
}
BENCHMARK(BM_GameCopy);

// Reaching a new node: a copy of the parent position and one tile. Within a
// turn the tile only narrows the move map; a tile that completes a piece
// also regenerates the map of each seat the turn passes to.
void copy_apply(benchmark::State& state, int kind) {
    const auto edges = warm(suite().edges, [kind](const Edge& e) { return kind < 0 || e.ends_turn == (kind == 1); });
    std::size_t i = 0;
    for (auto _ : state) {
        Game copy = *edges[i].parent;
        benchmark::DoNotOptimize(copy.apply(edges[i].tile));
        benchmark::DoNotOptimize(copy);
        i = (i + 1) % edges.size();
    }
}
void BM_CopyApply(benchmark::State& state) { copy_apply(state, -1); }
void BM_CopyApplyWithinTurn(benchmark::State& state) { copy_apply(state, 0); }
void BM_CopyApplyEndingTurn(benchmark::State& state) { copy_apply(state, 1); }
BENCHMARK(BM_CopyApply);
BENCHMARK(BM_CopyApplyWithinTurn);
BENCHMARK(BM_CopyApplyEndingTurn);

void BM_GetTileMoves(benchmark::State& state) {
    const auto positions = warm(suite().generations);
    std::size_t i = 0;
    for (auto _ : state) {
        const Game& game = *positions[i];
        benchmark::DoNotOptimize(get_tile_moves(game.board, game.current_player));
        i = (i + 1) % positions.size();
    }
}
BENCHMARK(BM_GetTileMoves);

void BM_GetBoardState(benchmark::State& state) {
    const auto positions = warm(suite().evaluated);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(positions[i]->get_board_state());
        i = (i + 1) % positions.size();
    }
}
BENCHMARK(BM_GetBoardState);

// The stand-in for the network: not engine work, but part of every request.
void BM_Evaluator(benchmark::State& state) {
    std::vector<BoardState> planes;
    for (const Game* g : warm(suite().evaluated)) planes.push_back(g->get_board_state());
    SyntheticEvaluator evaluator;
    EvaluationReply reply;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluator.exchange(0, planes[i], reply));
        benchmark::DoNotOptimize(reply);
        i = (i + 1) % planes.size();
    }
}
BENCHMARK(BM_Evaluator);

// Expansion: a reply turned into children with priors, values rotated; the
// node and its children are freed as a discarded tree is.
void BM_Expand(benchmark::State& state) {
    const auto positions = warm(suite().evaluated);
    std::vector<EvaluationReply> replies(positions.size());
    SyntheticEvaluator evaluator;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        (void)evaluator.exchange(0, positions[k]->get_board_state(), replies[k]);
    }
    Rng rng(1);
    std::size_t i = 0;
    for (auto _ : state) {
        Node node;
        expand_from_reply(node, *positions[i], replies[i], rng);
        benchmark::DoNotOptimize(node);
        i = (i + 1) % positions.size();
    }
}
BENCHMARK(BM_Expand);

// Selection: root-to-leaf descents through the suite's trees; items are
// select_child calls.
void BM_Descent(benchmark::State& state) {
    const Config config = bench_config();
    // select_child takes a mutable node but only reads it.
    auto& trees = const_cast<Suite&>(suite()).trees;
    std::size_t i = 0, selections = 0;
    for (auto _ : state) {
        Node* node = &trees[i];
        while (!node->is_leaf()) {
            node = &select_child(*node, config);
            ++selections;
        }
        benchmark::DoNotOptimize(node);
        i = (i + 1) % trees.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(selections));
}
BENCHMARK(BM_Descent);

// Backup along the paths of those descents; items are nodes updated. Works
// on a search of its own so the suite's trees stay as they were.
void BM_Backup(benchmark::State& state) {
    const Config config = bench_config();
    std::vector<Node> trees;
    {
        SyntheticEvaluator evaluator;
        Rng rng(5);
        for (std::size_t k = 0; k < suite().roots.size(); k += 4) {
            trees.push_back(std::move(run_search(suite().roots[k], config, evaluator, 0, rng).value()));
        }
    }
    std::vector<std::vector<Node*>> paths;
    for (Node& root : trees) {
        std::vector<Node*> path;
        Node* node = &root;
        while (!node->is_leaf()) {
            node = &select_child(*node, config);
            path.push_back(node);
        }
        paths.push_back(std::move(path));
    }
    const std::vector<float> values = {0.25f, -0.5f, 0.125f, 0.0625f};
    std::size_t i = 0, updates = 0;
    for (auto _ : state) {
        backup(paths[i], values);
        updates += paths[i].size();
        i = (i + 1) % paths.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(updates));
}
BENCHMARK(BM_Backup);

}  // namespace
