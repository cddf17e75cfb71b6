"""Whole games through the two functions, with in-process fake evaluators."""

import math

import pytest

import tarnex_self_play
from selfplay_support import (
    CELLS,
    FLAT_VALUES,
    PAYOFF_SHARES,
    RISING_REPLY,
    RecordingQueue,
    ReplyPipe,
    SharedPipe,
    check_test_game_requests,
    check_training_against_requests,
    config,
)


@pytest.mark.parametrize("sims", [0, 1, 3])
def test_training_game_records_every_search(sims):
    queue = RecordingQueue()
    settings = config(sims_per_move=sims, sample_moves=10, exploration_fraction=0.25)
    result = tarnex_self_play.play_training_game(12, settings, queue, ReplyPipe(queue))
    check_training_against_requests(result, queue.requests, sims=sims, expected_id=12)
    _, policies, _ = result
    for record in policies:
        shares = [share for _, share in record]
        if sims == 0:
            assert all(math.isnan(s) for s in shares)
        else:
            assert math.isclose(sum(shares), 1.0, rel_tol=1e-5)
            # Each share is visits / total, both counted in whole numbers.
            assert all(abs(s * sims - round(s * sims)) < 1e-4 for s in shares)


def policy_peaked_at_furthest_legal(request, value=1.0):
    """A policy positive only at the legal cell furthest along the frame."""
    legal_row_major = [y * 20 + x for y, row in enumerate(request[1][4]) for x, cell in enumerate(row) if cell]
    policy = [0.0] * CELLS
    policy[max(legal_row_major)] = value
    return policy


FALLING_REPLY = ([2.0 - i / CELLS for i in range(CELLS)], FLAT_VALUES)


def test_test_game_routes_by_seat_and_plays_each_sides_choice(capfd):
    # The model's policy falls along its frame, so it plays the legal tile
    # nearest the start of the frame's row-major order; the baseline's is
    # positive only at the legal tile furthest along, so it has no choice but
    # to play that one. (Different rules keep the position from looking the
    # same from every seat, which the check of the movers relies on.)
    def reply_for(side, request):
        if side == "model":
            return FALLING_REPLY
        return (policy_peaked_at_furthest_legal(request), FLAT_VALUES)

    pipe = SharedPipe(reply_for)
    model, baseline = pipe.queue("model"), pipe.queue("baseline")
    order = []
    for name, queue in (("model", model), ("baseline", baseline)):
        original = queue.put

        def put(request, original=original, name=name):
            order.append((name, request))
            original(request)

        queue.put = put
    payoff = tarnex_self_play.play_test_game(21, model, baseline, pipe)

    assert type(payoff) is float and payoff in PAYOFF_SHARES
    check_test_game_requests(order, 21)
    out = capfd.readouterr().out
    lines = out.split("\n")
    assert lines[0] == "Finished Game"
    assert len(lines) == 1 + 20 + 2 and lines[-2:] == ["", ""]


def test_test_game_with_a_model_that_never_answers_positively_still_ends(capfd):
    def reply_for(side, request):
        if side == "model":
            return ([0.0] * CELLS, FLAT_VALUES)
        return RISING_REPLY

    pipe = SharedPipe(reply_for)
    payoff = tarnex_self_play.play_test_game(0, pipe.queue("model"), pipe.queue("baseline"), pipe)
    assert payoff in PAYOFF_SHARES
    assert capfd.readouterr().out.startswith("Finished Game\n")


def test_test_game_baseline_without_positive_entries_panics(capfd):
    def reply_for(side, request):
        return RISING_REPLY if side == "model" else ([-1.0] * CELLS, FLAT_VALUES)

    pipe = SharedPipe(reply_for)
    model, baseline = pipe.queue("model"), pipe.queue("baseline")
    with pytest.raises(BaseException) as caught:
        tarnex_self_play.play_test_game(0, model, baseline, pipe)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("cannot sample empty range",)
    assert len(baseline.requests) == 1
    captured = capfd.readouterr()
    assert captured.out == ""
    assert "cannot sample empty range" in captured.err


def test_test_game_failure_on_the_first_request(capfd):
    class Pipe:
        def recv(self):
            raise EOFError("peer closed")

    model, baseline = RecordingQueue(), RecordingQueue()
    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_test_game(0, model, baseline, Pipe())
    assert type(caught.value) is Exception
    assert str(caught.value) == '"Error running MCTS"' and len(str(caught.value)) == 20
    assert len(model.requests) == 1 and baseline.requests == []
    out = capfd.readouterr().out
    assert out.count("\n") == 1
    assert out.startswith('Error running MCTS: "Error evaluating root node: PyErr { type: <class \'EOFError\'>, '
                          "value: EOFError('peer closed'), traceback: Some(<traceback object at 0x")


def test_test_game_failure_in_a_later_request_keeps_nothing(capfd):
    def reply_for(side, request):
        if side == "baseline":
            raise ConnectionResetError("baseline gone")
        return RISING_REPLY

    pipe = SharedPipe(reply_for)
    with pytest.raises(Exception, match='^"Error running MCTS"$'):
        tarnex_self_play.play_test_game(0, pipe.queue("model"), pipe.queue("baseline"), pipe)
    out = capfd.readouterr().out
    assert "Finished Game" not in out
    assert "ConnectionResetError('baseline gone')" in out
