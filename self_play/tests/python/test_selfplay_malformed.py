"""Malformed replies, generated: whatever the Python side answers, a call
ends with a result, an Exception or a PanicException, never anything else,
and the module keeps working."""

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnex_self_play
from selfplay_support import (
    CELLS,
    FLAT_VALUES,
    IS_CPYTHON,
    PAYOFF_SHARES,
    RISING_POLICY,
    RecordingQueue,
    ReplyPipe,
    SharedPipe,
    check_training_against_requests,
    check_training_result,
    config,
)


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float here")


class WrongFloat:
    def __float__(self):
        return "1.0"


class RaisingGetitem:
    def __getitem__(self, key):
        raise RuntimeError("cannot subscript")


class RaisingIter(list):
    def __iter__(self):
        raise RuntimeError("cannot iterate")


class LyingList(list):
    """A list whose __len__ says `length`; iterating it yields its real items."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class LyingSequence:
    """The old sequence protocol (items by index until IndexError) with a
    __len__ that says `length`."""

    def __init__(self, items, length):
        self.items = list(items)
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


# Reported lengths far beyond any real reply, and some below or above the
# real item count.
LYING_LENGTHS = [2**40, 2**62, sys.maxsize, 0, 1, CELLS - 1, CELLS + 1, 10**4]

ODD_OBJECTS = [RaisingFloat(), WrongFloat(), RaisingGetitem(), None, "0.5", b"", [1.0], {0: 1.0}]

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.booleans(),
    st.sampled_from(ODD_OBJECTS),
)


def policy_from(length, changes, kind):
    """The rising policy cut or padded to `length`, with a few entries
    replaced, in one of several sequence types."""
    policy = (RISING_POLICY + [1.0] * max(0, length - CELLS))[:length]
    for index, value in changes:
        if policy:
            policy[index % len(policy)] = value
    if kind == "tuple":
        return tuple(policy)
    if kind == "iter raises":
        return RaisingIter(policy)
    if kind == "huge length":
        return LyingList(policy, 2**40)
    return policy


policies = st.one_of(
    st.builds(policy_from, st.integers(0, CELLS + 20), st.lists(st.tuples(st.integers(0, CELLS), numbers), max_size=3),
              st.sampled_from(["list", "tuple", "iter raises", "huge length"])),
    st.builds(lambda n: [n] * CELLS, numbers),
    numbers,
    st.text(max_size=3),
)
values = st.one_of(
    st.just(FLAT_VALUES),
    st.lists(numbers, max_size=6),
    st.lists(numbers, max_size=6).map(tuple),
    numbers,
    st.text(max_size=3),
)
replies = st.one_of(
    st.tuples(policies, values),
    st.tuples(policies, values).map(list),
    st.builds(lambda p, v: {0: p, 1: v}, policies, values),
    st.builds(lambda p: {0: p}, policies),
    st.builds(lambda v: {1: v}, values),
    st.tuples(policies),
    numbers,
)


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


@settings(max_examples=80, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(reply=replies, good_replies=st.integers(0, 40), game=st.sampled_from(["training", "test"]))
def test_malformed_replies_end_in_a_python_exception(reply, good_replies, game):
    good = (RISING_POLICY, FLAT_VALUES)

    def answer(n, request):
        return good if n < good_replies else reply

    queue = RecordingQueue()
    pipe = ReplyPipe(queue, answer)
    settings_object = config(sims_per_move=1)
    watched = [queue, pipe, settings_object]
    if type(reply) in (tuple, list, dict):  # not a shared constant
        watched.append(reply)
    before = refcounts(watched) if IS_CPYTHON else None
    result = None
    try:
        if game == "training":
            result = tarnex_self_play.play_training_game(0, settings_object, queue, pipe)
            check_training_result(result)
        else:
            result = tarnex_self_play.play_test_game(0, queue, queue, pipe)
            assert type(result) is float and (result in PAYOFF_SHARES)
    except Exception as e:
        assert type(e) is Exception
        assert e.args[0].startswith('"Error running MCTS')
    except BaseException as e:  # noqa: B036 - the one other kind allowed
        assert type(e).__name__ == "PanicException", repr(e)
    del result
    if IS_CPYTHON:
        assert refcounts(watched) == before


def test_module_still_works_after_malformed_replies():
    queue = RecordingQueue()
    result = tarnex_self_play.play_training_game(3, config(), queue, ReplyPipe(queue))
    check_training_against_requests(result, queue.requests, sims=1, expected_id=3, greedy_rising=True)
    pipe = SharedPipe(lambda side, request: (RISING_POLICY, FLAT_VALUES))
    assert tarnex_self_play.play_test_game(3, pipe.queue("m"), pipe.queue("b"), pipe) in PAYOFF_SHARES


def test_a_reported_length_is_only_a_hint():
    """Whatever __len__ says, the items read decide the reply: the game is
    the one honest replies give, never a failed reservation."""
    def play(wrap_policy, wrap_values):
        queue = RecordingQueue()
        reply = (wrap_policy(RISING_POLICY), wrap_values(FLAT_VALUES))
        result = tarnex_self_play.play_training_game(5, config(), queue, ReplyPipe(queue, lambda n, r: reply))
        check_training_against_requests(result, queue.requests, sims=1, expected_id=5, greedy_rising=True)
        history, policies, payoff = result
        return history, [sorted(record) for record in policies], payoff

    honest = play(list, list)
    for kind in (LyingList, LyingSequence):
        for length in LYING_LENGTHS:
            lying = lambda items: kind(items, length)  # noqa: E731
            assert play(lying, list) == honest, (kind, length)
            assert play(list, lying) == honest, (kind, length)
            pipe = SharedPipe(lambda side, request: (lying(RISING_POLICY), lying(FLAT_VALUES)))
            assert tarnex_self_play.play_test_game(5, pipe.queue("m"), pipe.queue("b"), pipe) in PAYOFF_SHARES


MAX_REPLY_ITEMS = 10**6
AT_THE_BOUND = RISING_POLICY + [0.0] * (MAX_REPLY_ITEMS - CELLS)


@pytest.mark.parametrize("first_reply, refused", [
    pytest.param((AT_THE_BOUND, FLAT_VALUES), None, id="at the bound"),
    pytest.param((AT_THE_BOUND + [0.0], FLAT_VALUES), 0, id="one past it"),
    pytest.param((range(2**40), FLAT_VALUES), 0, id="endless policy"),
    pytest.param((RISING_POLICY, range(2**40)), 1, id="endless values"),
])
def test_reply_items_are_read_up_to_a_bound(first_reply, refused):
    """A reply item is read up to a million items, far above any real reply,
    so that a lazy endless sequence fails its evaluation within a moment."""
    queue = RecordingQueue()
    pipe = ReplyPipe(queue, lambda n, request: first_reply if n == 0 else (RISING_POLICY, FLAT_VALUES))
    if refused is None:
        check_training_result(tarnex_self_play.play_training_game(0, config(), queue, pipe))
        return
    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_training_game(0, config(), queue, pipe)
    assert caught.value.args == (
        f'"Error running MCTS: Error evaluating root node: ValueError: reply[{refused}] has more than 1000000 items"',)
