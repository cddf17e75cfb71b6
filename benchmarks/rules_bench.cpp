// Benchmarks of the rules library on a fixed suite of positions taken from
// seeded random games:
//   BM_RandomPlayout   whole games from Game::reset, uniformly random legal tile
//                      each step (counter games_per_second);
//   BM_GetTileMoves    one get_tile_moves call per iteration, cycling over the
//                      suite (time per iteration = time per call);
//   BM_GetTileMovesPerPosition
//                      every position of the suite timed on its own (best
//                      of the iterations), counters: the median and the 90th
//                      percentile over the suite, in nanoseconds;
//   BM_CopyApply       one Game copy plus one Game::apply per iteration.
// Medians: --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <cstddef>
#include <random>
#include <vector>

#include "game.hpp"

namespace {

using tarnex::Game;
using tarnex::Tile;

Tile random_tile(const Game& game, std::mt19937& rng) {
    auto tiles = game.get_legal_tiles();
    std::sort(tiles.begin(), tiles.end());  // independent of the map's key order
    return tiles[std::uniform_int_distribution<std::size_t>(0, tiles.size() - 1)(rng)];
}

struct Position {
    Game game;
    std::size_t player;  // whose map to generate
    Tile tile;           // a legal tile of the mover (for copy + apply)
};

// Every 7th position of 40 seeded random games, the finished ones left out;
// the map is generated for the mover and, at every other position, for the
// next player as well (the turn passes over players too).
const std::vector<Position>& suite() {
    static const std::vector<Position> positions = [] {
        std::vector<Position> out;
        for (unsigned seed = 0; seed < 40; ++seed) {
            std::mt19937 rng(seed);
            Game g = Game::reset();
            for (std::size_t step = 0; !g.is_terminal(); ++step) {
                const Tile tile = random_tile(g, rng);
                if (step % 7 == 0) {
                    out.push_back({g, g.current_player, tile});
                    if (step % 14 == 0) out.push_back({g, (g.current_player + 1) % 4, tile});
                }
                g.apply(tile);
            }
        }
        return out;
    }();
    return positions;
}

void BM_RandomPlayout(benchmark::State& state) {
    std::mt19937 rng(12345);
    std::size_t games = 0, tiles = 0;
    for (auto _ : state) {
        Game g = Game::reset();
        while (!g.is_terminal()) {
            g.apply(random_tile(g, rng));
            ++tiles;
        }
        benchmark::DoNotOptimize(g.get_payoff());
        ++games;
    }
    state.counters["games_per_second"] = benchmark::Counter(static_cast<double>(games), benchmark::Counter::kIsRate);
    state.counters["tiles_per_game"] = static_cast<double>(tiles) / static_cast<double>(games);
    state.SetItemsProcessed(static_cast<std::int64_t>(games));
}
BENCHMARK(BM_RandomPlayout)->Unit(benchmark::kMillisecond);

void BM_GetTileMoves(benchmark::State& state) {
    const auto& positions = suite();
    std::size_t i = 0;
    for (auto _ : state) {
        const Position& pos = positions[i];
        auto moves = tarnex::get_tile_moves(pos.game.board, pos.player);
        benchmark::DoNotOptimize(moves);
        if (++i == positions.size()) i = 0;
    }
    state.counters["positions"] = static_cast<double>(positions.size());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_GetTileMoves)->Unit(benchmark::kNanosecond);

void BM_GetTileMovesPerPosition(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const auto& positions = suite();
    std::vector<double> best(positions.size(), std::numeric_limits<double>::infinity());
    for (auto _ : state) {
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const auto start = Clock::now();
            auto moves = tarnex::get_tile_moves(positions[i].game.board, positions[i].player);
            benchmark::DoNotOptimize(moves);
            const std::chrono::duration<double, std::nano> took = Clock::now() - start;
            best[i] = std::min(best[i], took.count());
        }
    }
    std::sort(best.begin(), best.end());
    state.counters["median_ns"] = best[best.size() / 2];
    state.counters["p90_ns"] = best[best.size() * 9 / 10];
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * positions.size()));
}
BENCHMARK(BM_GetTileMovesPerPosition)->Unit(benchmark::kMillisecond);

void BM_CopyApply(benchmark::State& state) {
    const auto& positions = suite();
    std::size_t i = 0;
    for (auto _ : state) {
        const Position& pos = positions[i];
        Game copy = pos.game;
        auto result = copy.apply(pos.tile);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(copy);
        if (++i == positions.size()) i = 0;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_CopyApply)->Unit(benchmark::kNanosecond);

}  // namespace
