// Matches between the reference players: one seat played by `candidate`, the
// other three by `opponent`, the candidate's seat rotating through all four
// seats game by game. Prints the candidate's mean payoff (0.25 for an equal
// player) with a 95% interval, and the time per tile of each player.
//
//   reference_match [candidate] [opponent] [games] [seed]
//   reference_match lookahead greedy 400 1
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "reference.hpp"

namespace {

using tarnex::Game;
using tarnex::ReferenceKind;

struct Clock {
    double seconds = 0;
    long calls = 0;
};

ReferenceKind kind_of(const char* name) {
    const auto kind = tarnex::reference_kind(name);
    if (!kind) {
        std::fprintf(stderr, "unknown reference player %s (greedy, lookahead)\n", name);
        std::exit(2);
    }
    return *kind;
}

}  // namespace

int main(int argc, char** argv) {
    const ReferenceKind candidate = kind_of(argc > 1 ? argv[1] : "lookahead");
    const ReferenceKind opponent = kind_of(argc > 2 ? argv[2] : "greedy");
    const long games = argc > 3 ? std::atol(argv[3]) : 400;
    const std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;

    double sum = 0, sum_squares = 0;
    Clock clocks[2];
    for (long g = 0; g < games; ++g) {
        const std::size_t seat = static_cast<std::size_t>(g % 4);
        std::mt19937_64 rng(seed * 1000003 + static_cast<std::uint64_t>(g));
        Game game = Game::reset();
        // One tie break per turn, drawn when the turn begins.
        std::uint64_t tie_break = 0;
        std::uint32_t pieces_before = 0;
        std::size_t mover_before = 4;
        while (!game.is_terminal()) {
            const std::size_t mover = game.current_player;
            if (mover != mover_before || game.board.pieces[mover] != pieces_before) tie_break = rng();
            mover_before = mover;
            pieces_before = game.board.pieces[mover];
            const bool is_candidate = mover == seat;
            const auto start = std::chrono::steady_clock::now();
            const tarnex::Tile tile = tarnex::reference_tile(game, is_candidate ? candidate : opponent, tie_break);
            Clock& clock = clocks[is_candidate ? 0 : 1];
            clock.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            ++clock.calls;
            if (auto error = game.apply(tile)) {
                std::fprintf(stderr, "game %ld: %s\n", g, error->c_str());
                return 1;
            }
        }
        const double payoff = game.get_payoff()[seat];
        sum += payoff;
        sum_squares += payoff * payoff;
    }
    const double n = static_cast<double>(games);
    const double mean = sum / n;
    const double sd = std::sqrt(std::max(0.0, sum_squares / n - mean * mean) * n / std::max(1.0, n - 1));
    const double half = 1.96 * sd / std::sqrt(n);
    std::printf("%s vs 3 x %s, %ld games, seats rotated: mean payoff %.3f, 95%% interval [%.3f, %.3f]\n",
                std::string(tarnex::reference_name(candidate)).c_str(),
                std::string(tarnex::reference_name(opponent)).c_str(), games, mean, mean - half, mean + half);
    for (int k = 0; k < 2; ++k) {
        std::printf("%s: %.3f ms per tile (%ld tiles)\n", k == 0 ? "candidate" : "opponent",
                    1e3 * clocks[k].seconds / static_cast<double>(std::max(1L, clocks[k].calls)), clocks[k].calls);
    }
    return 0;
}
