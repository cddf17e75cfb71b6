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

TEST(TrainingGame, CompletedQTargetMovesPriorsByTheSearchedValues) {
    // Four tiles: 10 and 11 visited (values 0.8 and 0.2), 12 and 13 not.
    Node root;
    const std::vector<float> priors = {0.1f, 0.4f, 0.3f, 0.2f};
    const std::vector<std::uint32_t> visits = {2, 1, 0, 0};
    const std::vector<float> values = {1.6f, 0.2f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < priors.size(); ++i) {
        Node child;
        child.tile = 13 - i;  // walk order differs from tile order
        child.prior = 0.25f;  // noise-mixed: the target must use `priors`
        child.visit_count = visits[i];
        child.value_sum = values[i];
        root.children.push_back(std::move(child));
    }
    const Shares target = completed_q_target(root, Game::reset(), priors);
    ASSERT_EQ(target.size(), 4u);
    float total = 0.0f;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(target[i].first, static_cast<std::int32_t>(10 + i));  // ascending tiles
        total += target[i].second;
    }
    EXPECT_NEAR(total, 1.0f, 1e-6f);
    const auto share = [&](Tile tile) { return target[tile - 10].second; };
    // The best value gains on its prior, the worst loses; the unvisited two
    // share one value and keep their priors' ratio.
    EXPECT_GT(share(13) / 0.1f, share(12) / 0.4f);
    EXPECT_GT(share(13), 0.5f);
    EXPECT_LT(share(12), 0.4f * share(11) / 0.3f);
    EXPECT_NEAR(share(11) / share(10), 0.3f / 0.2f, 1e-4f);
    // Without any visit the target is the prior.
    for (Node& child : root.children) child.visit_count = 0;
    const Shares unsearched = completed_q_target(root, Game::reset(), priors);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(unsearched[i].second, priors[3 - i], 1e-6f);
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
