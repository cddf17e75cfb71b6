// The training driver: the search record, the sampled and greedy choices,
// whole games checked by replaying their history through the rules, and the
// driver's errors and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

#include "scripted_transport.hpp"

namespace tarnex::self_play::test {
namespace {

Config config_of(std::uint64_t sims, std::uint64_t sample_moves) {
    Config config;
    config.sims_per_move = sims;
    config.sample_moves = sample_moves;
    config.c_base = 19652.0f;
    config.c_init = 1.25f;
    config.dirichlet_alpha = 0.3f;
    config.exploration_fraction = 0.25f;
    return config;
}

Node root_with_counts(const std::vector<std::pair<Tile, std::uint32_t>>& counts) {
    Node root;
    for (const auto& [tile, visits] : counts) {
        Node child;
        child.tile = tile;
        child.visit_count = visits;
        root.children.push_back(std::move(child));
    }
    return root;
}

// ---------------------------------------------------------------- record and choices

TEST(SearchPolicy, SharesOfTheRootsVisitsInWalkOrder) {
    const SearchPolicy policy = search_policy(root_with_counts({{7, 1}, {3, 3}, {250, 0}, {0, 4}}));
    const SearchPolicy expected = {{7, 0.125f}, {3, 0.375f}, {250, 0.0f}, {0, 0.5f}};
    EXPECT_EQ(policy, expected);
}

TEST(SearchPolicy, NoVisitsGiveNanShares) {
    const SearchPolicy policy = search_policy(root_with_counts({{5, 0}, {6, 0}}));
    ASSERT_EQ(policy.size(), 2u);
    EXPECT_EQ(policy[0].first, 5);
    EXPECT_EQ(policy[1].first, 6);
    EXPECT_TRUE(std::isnan(policy[0].second));
    EXPECT_TRUE(std::isnan(policy[1].second));
}

TEST(SampledChoice, FirstChildWhoseRunningShareExceedsTheDraw) {
    const Node root = root_with_counts({{10, 1}, {11, 1}, {12, 2}});  // shares 0.25, 0.25, 0.5
    EXPECT_EQ(sampled_choice(root, 0.0f), 10u);
    EXPECT_EQ(sampled_choice(root, 0.2499f), 10u);
    EXPECT_EQ(sampled_choice(root, 0.25f), 11u);  // the sum must be greater than u
    EXPECT_EQ(sampled_choice(root, 0.4999f), 11u);
    EXPECT_EQ(sampled_choice(root, 0.5f), 12u);
    EXPECT_EQ(sampled_choice(root, 0.99999994f), 12u);
}

TEST(SampledChoice, UnvisitedChildrenAreTakenOnlyAsTheLastFallback) {
    const Node root = root_with_counts({{10, 0}, {11, 4}, {12, 0}});
    EXPECT_EQ(sampled_choice(root, 0.0f), 11u);
    EXPECT_EQ(sampled_choice(root, 0.99999994f), 11u);
    EXPECT_EQ(sampled_choice(root, 1.0f), 12u);  // the sum never passes u
    EXPECT_EQ(sampled_choice(root_with_counts({{10, 0}, {11, 0}, {12, 0}}), 0.0f), 12u);  // NaN shares
}

TEST(GreedyChoice, MostVisitedAndTheLastAmongEqualCounts) {
    EXPECT_EQ(greedy_choice(root_with_counts({{10, 3}, {11, 5}, {12, 5}, {13, 1}})), 12u);
    EXPECT_EQ(greedy_choice(root_with_counts({{10, 9}, {11, 5}, {12, 5}})), 10u);
    EXPECT_EQ(greedy_choice(root_with_counts({{10, 0}, {11, 0}, {12, 0}})), 12u);
    EXPECT_EQ(greedy_choice(root_with_counts({{10, 2}})), 10u);
}

// ---------------------------------------------------------------- whole games

// The greedy choice read off a record: the last entry with the greatest share.
std::int32_t greedy_of(const SearchPolicy& record) {
    std::size_t best = 0;
    for (std::size_t k = 0; k < record.size(); ++k) {
        if (!(record[k].second < record[best].second)) best = k;
    }
    return record[best].first;
}

// Replays a training game through the rules and checks every move against
// the record of its search and the evaluator's policy for its position.
void check_training_game(const TrainingGameResult& result, std::uint64_t sims, std::uint64_t salt) {
    ASSERT_EQ(result.history.size(), result.policies.size());
    ASSERT_FALSE(result.history.empty());
    Game replay = Game::reset();
    for (std::size_t i = 0; i < result.history.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "move " << i);
        const auto [seat, tile] = result.history[i];
        ASSERT_FALSE(replay.is_terminal());
        ASSERT_EQ(static_cast<std::size_t>(seat), replay.current_player);
        ASSERT_TRUE(replay.tile_moves.contains(static_cast<Tile>(tile)));

        // The record lists each legal tile with a positive policy entry once.
        EvaluationReply reply;
        synthetic_reply(replay.get_board_state(), salt, reply);
        const auto policy = policy_by_tile(reply.policy, replay.current_player);
        std::set<std::int32_t> expected;
        for (Tile t : replay.get_legal_tiles()) {
            if (policy[t] > 0.0f) expected.insert(static_cast<std::int32_t>(t));
        }
        const SearchPolicy& record = result.policies[i];
        std::set<std::int32_t> listed;
        double share_sum = 0.0;
        double visits = 0.0;
        bool chosen_listed = false;
        for (const auto& [t, share] : record) {
            EXPECT_TRUE(listed.insert(t).second) << "tile " << t << " twice";
            chosen_listed = chosen_listed || t == tile;
            if (sims == 0) {
                EXPECT_TRUE(std::isnan(share));
                continue;
            }
            share_sum += share;
            // Each share is a whole number of the search's visits.
            const double count = std::round(share * static_cast<double>(sims));
            EXPECT_NEAR(share * static_cast<double>(sims), count, 1e-3);
            visits += count;
        }
        EXPECT_EQ(listed, expected);
        EXPECT_TRUE(chosen_listed);
        if (sims > 0) {
            EXPECT_NEAR(share_sum, 1.0, 1e-5);
            EXPECT_EQ(visits, static_cast<double>(sims));
        }
        ASSERT_FALSE(replay.apply(static_cast<Tile>(tile)).has_value());
    }
    EXPECT_TRUE(replay.is_terminal());
    EXPECT_EQ(replay.history, result.history);
    EXPECT_EQ(replay.get_payoff(), result.payoff);
}

TEST(TrainingGame, WholeGameReplaysThroughTheRules) {
    const std::uint64_t salt = 4;
    const Config config = config_of(6, 12);
    ScriptedTransport transport(synthetic(salt));
    Rng rng(2024);
    const auto result = training_game(17, config, transport, rng);
    ASSERT_TRUE(result.has_value());
    check_training_game(result.value(), config.sims_per_move, salt);
    // One search per move, each 1 + sims requests less finished leaves.
    EXPECT_LE(transport.requests.size(), result.value().history.size() * (1 + config.sims_per_move));
    EXPECT_GT(transport.requests.size(), result.value().history.size() * config.sims_per_move / 2);
    for (const Request& r : transport.requests) EXPECT_EQ(r.id, 17);
    // Moves from the twelfth on are greedy.
    for (std::size_t i = 11; i < result.value().history.size(); ++i) {
        EXPECT_EQ(result.value().history[i].second, greedy_of(result.value().policies[i])) << "move " << i;
    }
    float payoff_sum = 0.0f;
    for (float p : result.value().payoff) payoff_sum += p;
    EXPECT_NEAR(payoff_sum, 1.0f, 1e-6);
}

TEST(TrainingGame, ZeroSimulationsRecordNanSharesAndPlayTheLastChild) {
    const std::uint64_t salt = 5;
    for (std::uint64_t sample_moves : {0u, 1000u}) {
        ScriptedTransport transport(synthetic(salt));
        Rng rng(3);
        const auto result = training_game(0, config_of(0, sample_moves), transport, rng);
        ASSERT_TRUE(result.has_value());
        check_training_game(result.value(), 0, salt);
        EXPECT_EQ(transport.requests.size(), result.value().history.size());
        for (std::size_t i = 0; i < result.value().history.size(); ++i) {
            EXPECT_EQ(result.value().history[i].second, result.value().policies[i].back().first) << "move " << i;
        }
    }
}

// Only the first legal cell of the request's planes is positive: every root
// has one child, which is played whether sampled or not, with share 1.
TEST(TrainingGame, SingleChildIsAlwaysChosenWithShareOne) {
    ScriptedTransport transport([](std::size_t, const BoardState& planes, EvaluationReply& reply) {
        reply.policy.assign(400, 0.0f);
        for (std::size_t i = 0; i < 400; ++i) {
            if (planes[4 * 400 + i]) {
                reply.policy[i] = 1.0f;
                break;
            }
        }
        reply.values = {0, 0, 0, 0};
        return std::optional<ScriptedError>{};
    });
    Config config = config_of(3, 1000);
    config.dirichlet_alpha = 0.0f;  // fatal if noise were drawn
    Rng rng(3);
    const auto result = training_game(0, config, transport, rng);
    ASSERT_TRUE(result.has_value());
    for (std::size_t i = 0; i < result.value().policies.size(); ++i) {
        const SearchPolicy& record = result.value().policies[i];
        ASSERT_EQ(record.size(), 1u);
        EXPECT_EQ(record[0].second, 1.0f);
        EXPECT_EQ(record[0].first, result.value().history[i].second);
    }
}

// The driver as the rules state it, with the engine's search and choices:
// a move is sampled while the record count, the new record included, is
// below sample_moves.
std::vector<std::pair<std::int32_t, std::int32_t>> reference_history(const Config& config, std::uint64_t salt,
                                                                    std::uint64_t seed) {
    ScriptedTransport transport(synthetic(salt));
    Rng rng(seed);
    Game game = Game::reset();
    std::size_t records = 0;
    while (!game.is_terminal()) {
        auto searched = run_search(game, config, transport, 0, rng);
        if (!searched.has_value()) {
            ADD_FAILURE() << searched.error();
            break;
        }
        ++records;
        const Tile tile = records < config.sample_moves ? sampled_choice(searched.value(), rng.uniform_float())
                                                        : greedy_choice(searched.value());
        (void)game.apply(tile);
    }
    return game.history;
}

TEST(TrainingGame, SampleMovesZeroAndOneSampleNothingAndKSamplesTheFirstKMinusOne) {
    const std::uint64_t salt = 6, seed = 77, sims = 3;
    std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> histories;
    for (std::uint64_t k : {0u, 1u, 2u, 6u}) {
        SCOPED_TRACE(k);
        ScriptedTransport transport(synthetic(salt));
        Rng rng(seed);
        const auto result = training_game(0, config_of(sims, k), transport, rng);
        ASSERT_TRUE(result.has_value());
        const auto& history = result.value().history;
        const auto& policies = result.value().policies;
        EXPECT_EQ(history, reference_history(config_of(sims, k), salt, seed));
        // From move k - 1 on (every move for k of 0 and 1) the choice is greedy.
        const std::size_t first_greedy = k == 0 ? 0 : k - 1;
        for (std::size_t i = first_greedy; i < history.size(); ++i) {
            EXPECT_EQ(history[i].second, greedy_of(policies[i])) << "move " << i;
        }
        if (k == 6) {
            std::size_t differing = 0;
            for (std::size_t i = 0; i < 5; ++i) differing += history[i].second != greedy_of(policies[i]) ? 1 : 0;
            EXPECT_GT(differing, 0u) << "no sampled move left the greedy tile";
        }
        histories.push_back(history);
    }
    EXPECT_EQ(histories[0], histories[1]);
    EXPECT_NE(histories[1], histories[3]);
}

// ---------------------------------------------------------------- errors and faults

TEST(TrainingGame, RootEvaluationErrorEndsTheGameWithTheDisplayText) {
    for (std::size_t failing : {0u, 8u}) {
        // With one simulation per search, request 8 is the root of the fifth search.
        ScriptedTransport transport([failing](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
            if (index == failing) {
                return std::optional<ScriptedError>(
                    ScriptedError{"EOFError: ", "PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }"});
            }
            synthetic_reply(planes, 1, reply);
            return std::optional<ScriptedError>{};
        });
        Rng rng(1);
        const auto result = training_game(0, config_of(1, 0), transport, rng);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "Error running MCTS: Error evaluating root node: EOFError: ");
        EXPECT_EQ(transport.requests.size(), failing + 1);
    }
}

TEST(TrainingGame, LeafErrorRootWithoutChildrenAndBadAlphaAreFatal) {
    {
        ScriptedTransport transport([](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
            if (index == 2) return std::optional<ScriptedError>(ScriptedError{"ValueError: x", "detail"});
            synthetic_reply(planes, 1, reply);
            return std::optional<ScriptedError>{};
        });
        Rng rng(1);
        EXPECT_THROW((void)training_game(0, config_of(4, 0), transport, rng), Fault);
    }
    {
        ScriptedTransport transport(fixed_reply(std::vector<float>(400, -1.0f), {0, 0, 0, 0}));
        Rng rng(1);
        EXPECT_THROW((void)training_game(0, config_of(4, 0), transport, rng), Fault);
    }
    {
        Config config = config_of(4, 0);
        config.dirichlet_alpha = std::numeric_limits<float>::quiet_NaN();
        ScriptedTransport transport(synthetic(1));
        Rng rng(1);
        EXPECT_THROW((void)training_game(0, config, transport, rng), Fault);
    }
}

}  // namespace
}  // namespace tarnex::self_play::test
