// Test doubles and helpers for the engine tests: a transport that records
// every request and answers from a script, a synthetic evaluator that, like
// a network, sees nothing but the planes, and small helpers that compute what
// the rules prescribe (policy turns, value rotation) directly from their text.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "simulation.hpp"

namespace tarnex::self_play::test {

// An evaluation error with its two renderings.
struct ScriptedError {
    std::string display_text;
    std::string detail_text;
    std::string display() const { return display_text; }
    std::string detail() const { return detail_text; }
};

struct Request {
    std::int32_t id;
    BoardState planes;
};

// Records every request; the script fills the reply (cleared beforehand) or
// returns an error. `index` is the request's number within this transport.
class ScriptedTransport {
public:
    using Error = ScriptedError;
    using Script = std::function<std::optional<ScriptedError>(std::size_t index, const BoardState& planes,
                                                              EvaluationReply& reply)>;

    explicit ScriptedTransport(Script script) : script_(std::move(script)) {}

    std::optional<Error> exchange(std::int32_t id, const BoardState& planes, EvaluationReply& reply) {
        requests.push_back({id, planes});
        reply.policy.clear();
        reply.values.clear();
        return script_(requests.size() - 1, planes, reply);
    }

    std::vector<Request> requests;

private:
    Script script_;
};
static_assert(Transport<ScriptedTransport>);

// Always the same reply.
inline ScriptedTransport::Script fixed_reply(std::vector<float> policy, std::vector<float> values) {
    return [policy = std::move(policy), values = std::move(values)](std::size_t, const BoardState&,
                                                                     EvaluationReply& reply) {
        reply.policy = policy;
        reply.values = values;
        return std::optional<ScriptedError>{};
    };
}

// ---------------------------------------------------------------- rules, computed from their text

// One clockwise quarter turn of a policy grid: new[20x + 19 - y] = old[20y + x].
inline std::vector<float> turn_clockwise(const std::vector<float>& old) {
    std::vector<float> out(400);
    for (std::size_t y = 0; y < 20; ++y) {
        for (std::size_t x = 0; x < 20; ++x) out[20 * x + (19 - y)] = old.at(20 * y + x);
    }
    return out;
}

// The policy as the engine must read it: turned clockwise once per seat
// number of the mover, so that entry t belongs to board tile t.
inline std::vector<float> policy_by_tile(std::vector<float> received, std::size_t mover) {
    for (std::size_t k = 0; k < mover; ++k) received = turn_clockwise(received);
    return received;
}

// source[t] = the received entry that becomes the prior source of board
// tile t when `mover` is to move (entry numbers carried through the turns).
inline std::vector<std::size_t> source_of_tile(std::size_t mover) {
    std::vector<float> numbers(400);
    for (std::size_t i = 0; i < 400; ++i) numbers[i] = static_cast<float>(i);
    const auto turned = policy_by_tile(numbers, mover);
    return std::vector<std::size_t>(turned.begin(), turned.end());
}

// The tile whose prior comes from received entry i when `mover` is to move.
inline std::size_t tile_of_entry(std::size_t i, std::size_t mover) {
    const auto source = source_of_tile(mover);
    for (std::size_t t = 0; t < 400; ++t) {
        if (source[t] == i) return t;
    }
    return 400;
}

// Values relative to the mover (entry k for seat (mover + k) mod n) by absolute seat.
inline std::vector<float> values_by_seat(const std::vector<float>& relative, std::size_t mover) {
    const std::size_t n = relative.size();
    std::vector<float> out(n);
    for (std::size_t k = 0; k < n; ++k) out[(mover + k) % n] = relative[k];
    return out;
}

// ---------------------------------------------------------------- synthetic evaluator

inline std::uint64_t mix(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline std::uint64_t hash_planes(const BoardState& planes, std::uint64_t salt) {
    std::uint64_t h = mix(salt);
    for (std::size_t i = 0; i < planes.size(); ++i) {
        if (planes[i]) h = mix(h ^ i);
    }
    return h;
}

// A reply computed from the planes alone, as a network would: entries in
// [-0.5, 1.5) (so some legal tiles get no child), at least one legal cell
// (plane 4) positive so that every position can be played, and four values
// in [-1, 1).
inline void synthetic_reply(const BoardState& planes, std::uint64_t salt, EvaluationReply& reply) {
    const std::uint64_t h = hash_planes(planes, salt);
    reply.policy.resize(400);
    bool any_positive = false;
    std::size_t first_legal = 400;
    for (std::size_t i = 0; i < 400; ++i) {
        const float u = static_cast<float>(mix(h + i) >> 40) * 0x1.0p-24f;
        reply.policy[i] = 2.0f * u - 0.5f;
        if (planes[4 * 400 + i]) {
            if (first_legal == 400) first_legal = i;
            any_positive = any_positive || reply.policy[i] > 0.0f;
        }
    }
    if (!any_positive && first_legal < 400) reply.policy[first_legal] = 0.5f;
    reply.values.resize(4);
    for (std::size_t k = 0; k < 4; ++k) {
        reply.values[k] = static_cast<float>(mix(h ^ (k + 1000)) >> 40) * 0x1.0p-23f - 1.0f;
    }
}

inline ScriptedTransport::Script synthetic(std::uint64_t salt) {
    return [salt](std::size_t, const BoardState& planes, EvaluationReply& reply) {
        synthetic_reply(planes, salt, reply);
        return std::optional<ScriptedError>{};
    };
}

// ---------------------------------------------------------------- positions

// The position at the first turn of `mover`: every earlier seat has put its
// straight five along its own edge row from its start corner.
inline Game first_turn_of(std::size_t mover) {
    static const std::array<std::array<Tile, 5>, 4> fives = {{
        {0, 1, 2, 3, 4},
        {15, 16, 17, 18, 19},
        {395, 396, 397, 398, 399},
        {380, 381, 382, 383, 384},
    }};
    Game game = Game::reset();
    for (std::size_t p = 0; p < mover; ++p) {
        for (Tile t : fives[p]) {
            if (game.apply(t)) ADD_FAILURE() << "tile " << t << " rejected for seat " << p;
        }
    }
    EXPECT_EQ(game.current_player, mover);
    return game;
}

// A seeded random game, played with uniformly drawn legal tiles; the
// positions before each tile are returned when asked for.
inline Game random_game(unsigned seed, std::vector<Game>* positions = nullptr) {
    std::mt19937 rng(seed);
    Game game = Game::reset();
    while (!game.is_terminal()) {
        if (positions) positions->push_back(game);
        auto tiles = game.get_legal_tiles();
        std::sort(tiles.begin(), tiles.end());  // independent of the order the map yields its keys in
        (void)game.apply(tiles[std::uniform_int_distribution<std::size_t>(0, tiles.size() - 1)(rng)]);
    }
    return game;
}

// A policy in the mover's frame that gives `value` to the given board tiles
// and 0 to every other entry.
inline std::vector<float> policy_for_tiles(std::size_t mover, const std::vector<std::pair<Tile, float>>& tiles) {
    const auto source = source_of_tile(mover);
    std::vector<float> received(400, 0.0f);
    for (const auto& [tile, value] : tiles) received.at(source.at(tile)) = value;
    return received;
}

// Reads back what was written to a temporary file.
inline std::string read_all(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

}  // namespace tarnex::self_play::test
