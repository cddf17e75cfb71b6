// The self-play training driver with a scripted network: every seat
// searched to a finished, legal game; quick searches leave no policy and
// cost fewer evaluations; a failed evaluation ends the game with its text.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "scripted_transport.hpp"
#include "training.hpp"

namespace tarnex::match {
namespace {

using self_play::test::ScriptedError;
using self_play::test::ScriptedTransport;

TrainingSearch plan_with(std::uint64_t sims, std::uint64_t cheap_sims, float full_share) {
    TrainingSearch plan;
    plan.full = SearchPlayer{sims, 0.75f, 19652.0f, Credit::chooser, 0.3f, 0.25f};
    plan.cheap_sims = cheap_sims;
    plan.full_share = full_share;
    plan.sample_moves = 30;
    return plan;
}

TEST(TrainingGame, QuickSearchesLeaveNoPolicyAndCostLess) {
    const auto play = [](const TrainingSearch& plan, std::uint64_t seed) {
        ScriptedTransport transport(self_play::test::synthetic(3));
        Rng rng(seed);
        auto played = play_training(Game::reset(), plan, transport, 5, rng);
        EXPECT_TRUE(played) << played.error();
        return std::make_pair(played.value(), transport.requests.size());
    };
    const auto [full, full_requests] = play(plan_with(16, 0, 1.0f), 1);
    const auto [mixed, mixed_requests] = play(plan_with(16, 2, 0.25f), 1);

    for (const TrainingGame* game : {&full, &mixed}) {
        ASSERT_EQ(game->policies.size(), game->history.size());
        Game replay = Game::reset();
        for (std::size_t i = 0; i < game->history.size(); ++i) {
            const auto [seat, tile] = game->history[i];
            ASSERT_EQ(static_cast<std::size_t>(seat), replay.current_player) << "entry " << i;
            float total = 0.0f;
            for (const auto& [policy_tile, share] : game->policies[i]) {
                EXPECT_TRUE(replay.tile_moves.contains(static_cast<Tile>(policy_tile))) << "entry " << i;
                total += share;
            }
            if (!game->policies[i].empty()) {
                EXPECT_NEAR(total, 1.0f, 1e-5f) << "entry " << i;
            }
            ASSERT_FALSE(replay.apply(static_cast<Tile>(tile))) << "entry " << i;
        }
        EXPECT_TRUE(replay.is_terminal());
        EXPECT_EQ(game->payoff, replay.get_payoff());
    }
    std::size_t recorded = 0;
    for (const Shares& shares : full.policies) recorded += !shares.empty();
    EXPECT_EQ(recorded, full.policies.size());
    recorded = 0;
    for (const Shares& shares : mixed.policies) recorded += !shares.empty();
    // About a quarter of the tiles were searched fully (binomial: far inside 0.1 to 0.4).
    EXPECT_GT(recorded, mixed.policies.size() / 10);
    EXPECT_LT(recorded, mixed.policies.size() * 4 / 10);
    EXPECT_LT(mixed_requests / static_cast<double>(mixed.history.size()),
              0.6 * full_requests / static_cast<double>(full.history.size()));
}

TEST(TrainingGame, AFailedEvaluationEndsTheGame) {
    ScriptedTransport transport([](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
        if (index == 40) return std::optional<ScriptedError>(ScriptedError{"EOFError: gone", "detail"});
        self_play::test::synthetic_reply(planes, 0, reply);
        return std::optional<ScriptedError>{};
    });
    Rng rng(2);
    auto played = play_training(Game::reset(), plan_with(8, 0, 1.0f), transport, 0, rng);
    ASSERT_FALSE(played);
    EXPECT_EQ(played.error().rfind("Error running MCTS: Error evaluating ", 0), 0u) << played.error();
}

}  // namespace
}  // namespace tarnex::match
