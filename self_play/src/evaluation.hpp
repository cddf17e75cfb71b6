// The evaluation round trip, engine half: send a position through a
// transport, turn the reply into children with priors and per-seat values.
//
// A transport is any type with
//     using Error = ...;   // with std::string display() const and detail() const
//     std::optional<Error> exchange(std::int32_t id, const BoardState& planes,
//                                   EvaluationReply& reply);
// which sends (id, planes), fills `reply` with the policy and value numbers
// in the mover's frame, or returns the error that stopped the exchange. The
// module's transport talks to Python; tests and benchmarks script it.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fault.hpp"
#include "game.hpp"
#include "node.hpp"
#include "rng.hpp"

namespace tarnex::self_play {

struct EvaluationReply {
    std::vector<float> policy;
    std::vector<float> values;
};

template <class E>
concept EvaluationError = requires(const E& e) {
    { e.display() } -> std::convertible_to<std::string>;
    { e.detail() } -> std::convertible_to<std::string>;
};

template <class T>
concept Transport = requires(T& t, std::int32_t id, const BoardState& planes, EvaluationReply& reply) {
    requires EvaluationError<typename T::Error>;
    { t.exchange(id, planes, reply) } -> std::same_as<std::optional<typename T::Error>>;
};

// Turns a reply into the node's children and seat values. On return
// `reply.values` holds the values by absolute seat. Faults (a policy too short
// for the mover's frame or for a legal tile, fewer values than the mover's
// seat) are thrown before the node is touched.
void expand_from_reply(Node& node, const Game& game, EvaluationReply& reply, Rng& rng);

// Evaluates `game` for `node`. A finished game is valued by its payoff,
// less `terminal_offset` (to put it on the scale of a network whose values
// are centred), without a request, and leaves the node alone. On success
// `reply.values` holds the values by absolute seat.
template <Transport T>
std::optional<typename T::Error> evaluate(Node& node, const Game& game, T& transport, std::int32_t id,
                                          Rng& rng, EvaluationReply& reply, float terminal_offset = 0.0f) {
    if (game.is_terminal()) {
        const auto payoff = game.get_payoff();
        reply.values.assign(payoff.begin(), payoff.end());
        if (terminal_offset != 0.0f) {
            for (float& value : reply.values) value -= terminal_offset;
        }
        return std::nullopt;
    }
    const BoardState planes = game.get_board_state();
    if (auto error = transport.exchange(id, planes, reply)) return error;
    expand_from_reply(node, game, reply, rng);
    return std::nullopt;
}

}  // namespace tarnex::self_play
