// The test driver: seat 0 on the model's transport and the other seats on
// the baseline's, the two choices, the printed result, the error line, and
// whole games checked by replaying their requests through the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "scripted_transport.hpp"

namespace tarnex::self_play::test {
namespace {

Node root_with_priors(const std::vector<std::pair<Tile, float>>& priors) {
    Node root;
    for (const auto& [tile, prior] : priors) {
        Node child;
        child.tile = tile;
        child.prior = prior;
        root.children.push_back(std::move(child));
    }
    return root;
}

// ---------------------------------------------------------------- the two choices

TEST(ModelChoice, HighestPriorAndTheFirstAmongEquals) {
    Rng rng(1);
    const Game game = Game::reset();
    EXPECT_EQ(model_choice(root_with_priors({{1, 0.2f}, {20, 0.4f}, {2, 0.4f}, {3, 0.0f}}), game, rng), 20u);
    EXPECT_EQ(model_choice(root_with_priors({{1, 0.1f}, {20, 0.2f}, {2, 0.7f}}), game, rng), 2u);
}

TEST(ModelChoice, WithoutAPositivePriorTileZeroWhileLegal) {
    Rng rng(1);
    const Game game = Game::reset();
    EXPECT_EQ(model_choice(Node{}, game, rng), 0u);
    EXPECT_EQ(model_choice(root_with_priors({{1, 0.0f}, {20, -0.5f}}), game, rng), 0u);
}

// Once tile 0 is taken the fallback is a uniformly drawn legal tile, so the
// turn moves on instead of sending the same position again.
TEST(ModelChoice, WithoutAPositivePriorAndTileZeroTakenAUniformLegalTile) {
    Game game = Game::reset();
    ASSERT_FALSE(game.apply(0).has_value());
    const auto legal = game.get_legal_tiles();
    ASSERT_EQ(legal.size(), 14u);
    Rng rng(9);
    std::map<Tile, int> counts;
    const int draws = 14000;
    for (int k = 0; k < draws; ++k) ++counts[model_choice(Node{}, game, rng)];
    EXPECT_EQ(counts.size(), 14u);
    for (Tile t : legal) {
        EXPECT_NEAR(counts[t], draws / 14, 150) << "tile " << t;
    }
}

TEST(BaselineChoice, UniformOverTheChildrenWhateverTheirPriors) {
    const Node root = root_with_priors({{5, 0.9f}, {6, 0.05f}, {7, 0.05f}});
    Rng rng(4);
    std::map<Tile, int> counts;
    const int draws = 30000;
    for (int k = 0; k < draws; ++k) ++counts[baseline_choice(root, rng)];
    ASSERT_EQ(counts.size(), 3u);
    for (const auto& [tile, n] : counts) EXPECT_NEAR(n, draws / 3, 400) << "tile " << tile;
    const Node one = root_with_priors({{42, 0.01f}});
    for (int k = 0; k < 20; ++k) EXPECT_EQ(baseline_choice(one, rng), 42u);
}

TEST(BaselineChoice, NoChildIsTheEmptyRangeFault) {
    Rng rng(1);
    try {
        (void)baseline_choice(Node{}, rng);
        ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
        EXPECT_STREQ(fault.what(), "cannot sample empty range");
    }
}

// ---------------------------------------------------------------- whole games

// The two transports of a test game, with the order in which they were asked.
struct Seats {
    explicit Seats(ScriptedTransport::Script model_script, ScriptedTransport::Script baseline_script)
        : model_script(model_script), baseline_script(baseline_script), order(std::make_shared<std::vector<bool>>()),
          model(tagged(model_script, true)), baseline(tagged(baseline_script, false)) {}

    ScriptedTransport::Script tagged(ScriptedTransport::Script script, bool is_model) {
        return [script, is_model, order = order](std::size_t index, const BoardState& planes, EvaluationReply& reply) {
            order->push_back(is_model);
            return script(index, planes, reply);
        };
    }

    ScriptedTransport::Script model_script, baseline_script;
    std::shared_ptr<std::vector<bool>> order;
    ScriptedTransport model, baseline;
};

struct Output {
    std::string text;
    Expected<float, std::string> result = Unexpected{std::string("not run")};
};

Output run_test_game(Seats& seats, std::uint64_t seed, std::int32_t id = 0) {
    std::FILE* out = std::tmpfile();
    Rng rng(seed);
    Output o;
    o.result = test_game(id, seats.model, seats.baseline, rng, out);
    o.text = read_all(out);
    std::fclose(out);
    return o;
}

// Replays a finished test game from its requests: each request must show the
// replayed position and go to the model exactly while seat 0 moves; the tile
// played after it is found from the next request (or the final board) and
// checked against the choice rules. Returns the number of model moves.
std::size_t check_test_game(const Seats& seats, const Output& output) {
    const std::vector<bool>& order = *seats.order;
    EXPECT_FALSE(order.empty());
    EXPECT_TRUE(order.empty() || order.front()) << "the first request goes to the model";
    Game replay = Game::reset();
    std::size_t mi = 0, bi = 0, model_moves = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "request " << k);
        const bool is_model = order[k];
        const Request& request = is_model ? seats.model.requests.at(mi++) : seats.baseline.requests.at(bi++);
        EXPECT_EQ(request.id, 31);
        if (is_model != (replay.current_player == 0)) {
            ADD_FAILURE() << "request for seat " << replay.current_player << " went to the "
                          << (is_model ? "model" : "baseline");
            return model_moves;
        }
        if (request.planes != replay.get_board_state()) {
            ADD_FAILURE() << "request does not show the replayed position";
            return model_moves;
        }

        // The tiles the rules allow here.
        EvaluationReply reply;
        (void)(is_model ? seats.model_script : seats.baseline_script)(0, request.planes, reply);
        const auto policy = policy_by_tile(reply.policy, replay.current_player);
        std::set<Tile> allowed;
        float best = 0.0f;
        for (Tile t : replay.get_legal_tiles()) {
            if (!(policy[t] > 0.0f)) continue;
            if (!is_model) {
                allowed.insert(t);
            } else if (policy[t] > best) {
                allowed = {t};
                best = policy[t];
            } else if (policy[t] == best) {
                allowed.insert(t);
            }
        }
        if (is_model && allowed.empty()) {
            if (replay.tile_moves.contains(0)) {
                allowed = {0};
            } else {
                for (Tile t : replay.get_legal_tiles()) allowed.insert(t);
            }
        }

        // The tile actually played.
        std::optional<Tile> played;
        for (Tile t : replay.get_legal_tiles()) {
            Game next = replay;
            (void)next.apply(t);
            const bool matches = k + 1 < order.size()
                                     ? next.get_board_state() == (order[k + 1] ? seats.model : seats.baseline)
                                                                     .requests.at(order[k + 1] ? mi : bi)
                                                                     .planes
                                     : next.is_terminal() && output.text == "Finished Game\n" + next.board.render();
            if (matches) {
                EXPECT_FALSE(played.has_value()) << "two tiles explain the next position";
                played = t;
            }
        }
        if (!played) {
            ADD_FAILURE() << "no legal tile leads to the next request";
            return model_moves;
        }
        EXPECT_EQ(allowed.count(*played), 1u) << "tile " << *played << " for seat " << replay.current_player;
        model_moves += is_model ? 1 : 0;
        EXPECT_FALSE(replay.apply(*played).has_value());
    }
    EXPECT_EQ(mi, seats.model.requests.size());
    EXPECT_EQ(bi, seats.baseline.requests.size());
    EXPECT_TRUE(replay.is_terminal());
    EXPECT_EQ(output.text, "Finished Game\n" + replay.board.render());
    EXPECT_TRUE(output.result.has_value());
    if (output.result.has_value()) {
        EXPECT_EQ(output.result.value(), replay.get_payoff()[0]);
    }
    return model_moves;
}

TEST(TestGame, WholeGameReplaysThroughTheRulesWithSeatZeroOnTheModel) {
    for (std::uint64_t seed : {1u, 2u}) {
        Seats seats(synthetic(10 + seed), synthetic(20 + seed));
        const Output output = run_test_game(seats, seed, 31);
        ASSERT_TRUE(output.result.has_value());
        EXPECT_GT(check_test_game(seats, output), 0u);
        EXPECT_FALSE(seats.baseline.requests.empty());
        // The board picture: a line, 20 rows and an empty line.
        EXPECT_EQ(output.text.rfind("Finished Game\n", 0), 0u);
        EXPECT_EQ(std::count(output.text.begin(), output.text.end(), '\n'), 22);
        EXPECT_EQ(output.text.substr(output.text.size() - 2), "\n\n");
    }
}

// The baseline's network likes exactly one legal tile: that one is played.
TEST(TestGame, BaselineWithOnePositiveTilePlaysIt) {
    auto first_legal_only = [](std::size_t, const BoardState& planes, EvaluationReply& reply) {
        reply.policy.assign(400, -1.0f);
        for (std::size_t i = 0; i < 400; ++i) {
            if (planes[4 * 400 + i]) {
                reply.policy[i] = 0.3f;
                break;
            }
        }
        reply.values = {0, 0, 0, 0};
        return std::optional<ScriptedError>{};
    };
    Seats seats(synthetic(3), first_legal_only);
    const Output output = run_test_game(seats, 5, 31);
    ASSERT_TRUE(output.result.has_value());
    check_test_game(seats, output);
}

// A model that never gives a positive entry: tile 0 first, then uniformly
// drawn legal tiles; one request per tile, and the game ends.
TEST(TestGame, ModelWithoutPositivePolicyStillFinishesTheGame) {
    // A stalled game would ask the model forever; give up after many requests.
    auto never_positive = [](std::size_t index, const BoardState&, EvaluationReply& reply) {
        if (index > 1000) return std::optional<ScriptedError>(ScriptedError{"stalled", "stalled"});
        reply.policy.assign(400, 0.0f);
        reply.values = {0, 0, 0, 0};
        return std::optional<ScriptedError>{};
    };
    Seats seats(never_positive, synthetic(8));
    const Output output = run_test_game(seats, 6, 31);
    ASSERT_TRUE(output.result.has_value());
    const std::size_t model_moves = check_test_game(seats, output);
    EXPECT_EQ(model_moves, seats.model.requests.size());
    EXPECT_GT(model_moves, 5u);
}

// ---------------------------------------------------------------- failures

std::optional<ScriptedError> fail_at(std::size_t index, std::size_t failing, const ScriptedError& error,
                                     const BoardState& planes, EvaluationReply& reply) {
    if (index == failing) return error;
    synthetic_reply(planes, 2, reply);
    return std::nullopt;
}

TEST(TestGame, EvaluationErrorPrintsOneQuotedLineWithTheDetailText) {
    struct Case {
        bool model_fails;
        std::size_t failing;
        ScriptedError error;
        std::string line;
    };
    const Case cases[] = {
        {true, 0, {"EOFError: ", "PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }"},
         "Error running MCTS: \"Error evaluating root node: PyErr { type: <class 'EOFError'>, value: EOFError(), "
         "traceback: None }\"\n"},
        {false, 2, {"ValueError: bad", "PyErr { value: ValueError('a \"b\"\\n\tc') }"},
         "Error running MCTS: \"Error evaluating root node: PyErr { value: ValueError('a \\\"b\\\"\\\\n\\tc') }\"\n"},
        {true, 1, {"", ""}, "Error running MCTS: \"Error evaluating root node: \"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ScriptedError error = c.error;
        const std::size_t failing = c.failing;
        ScriptedTransport::Script failing_script = [=](std::size_t index, const BoardState& planes,
                                                       EvaluationReply& reply) {
            return fail_at(index, failing, error, planes, reply);
        };
        Seats seats(c.model_fails ? failing_script : synthetic(4), c.model_fails ? synthetic(4) : failing_script);
        const Output output = run_test_game(seats, 1);
        ASSERT_FALSE(output.result.has_value());
        EXPECT_EQ(output.result.error(), "Error running MCTS");
        EXPECT_EQ(output.text, c.line);
        EXPECT_EQ((c.model_fails ? seats.model : seats.baseline).requests.size(), failing + 1);
    }
}

TEST(TestGame, BaselineWithoutChildrenIsTheEmptyRangeFault) {
    Seats seats(synthetic(1), fixed_reply(std::vector<float>(400, -0.25f), {0, 0, 0, 0}));
    std::FILE* out = std::tmpfile();
    Rng rng(1);
    try {
        (void)test_game(0, seats.model, seats.baseline, rng, out);
        ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
        EXPECT_STREQ(fault.what(), "cannot sample empty range");
    }
    EXPECT_EQ(read_all(out), "");
    std::fclose(out);
    EXPECT_EQ(seats.baseline.requests.size(), 1u);
}

}  // namespace
}  // namespace tarnex::self_play::test
