"""No reference leaked or stolen, and memory flat over many games (CPython:
reference counts and the allocator are observable there)."""

import gc
import sys

import pytest

import tarnex_self_play
from selfplay_support import (
    FLAT_VALUES,
    IS_CPYTHON,
    RISING_POLICY,
    RecordingQueue,
    ReplyPipe,
    SharedPipe,
    config,
    rss_bytes,
)

pytestmark = pytest.mark.skipif(not IS_CPYTHON, reason="reference counts and memory are CPython's to observe")


def fresh_id(value):
    """A new int object (outside the interpreter's cached small ints)."""
    assert not -5 <= value <= 256
    return int(str(value))


def call_and_compare(function, *args):
    """Calls function(*args) and returns what it raised (or None), checking
    that every argument's reference count is the same afterwards."""
    gc.collect()
    before = [sys.getrefcount(a) for a in args]
    raised = None
    try:
        result = function(*args)
        del result
    except BaseException as e:  # noqa: B036 - compared below
        raised = type(e).__name__
        del e
    gc.collect()
    after = [sys.getrefcount(a) for a in args]
    assert after == before
    return raised


class Pipe:
    def __init__(self, replies):
        self.replies = replies
        self.calls = 0

    def recv(self):
        self.calls += 1
        return self.replies(self.calls)


REPLY = (RISING_POLICY[:], FLAT_VALUES[:])


def good(n):
    return REPLY


def short_values_later(n):
    return REPLY if n < 50 else (RISING_POLICY, [])


def eof(n):
    raise EOFError()


@pytest.mark.parametrize(
    "case, replies, settings, expected",
    [
        ("training game", good, config(), None),
        ("driver error", eof, config(), "Exception"),
        ("fault in a game", short_values_later, config(sims_per_move=0), "PanicException"),
        ("unreadable settings", good, config(c_init="x"), "PanicException"),
        ("settings without fields", good, object(), "PanicException"),
    ],
)
def test_training_game_keeps_argument_reference_counts(case, replies, settings, expected):
    queue = RecordingQueue()
    pipe = Pipe(replies)
    # (Cached small ints are shared with everything else.)
    attributes = [a for a in vars(settings).values() if type(a) is not int] if hasattr(settings, "__dict__") else []
    gc.collect()
    attribute_counts = [sys.getrefcount(a) for a in attributes]
    reply_count = sys.getrefcount(REPLY)
    raised = call_and_compare(tarnex_self_play.play_training_game, fresh_id(70000), settings, queue, pipe)
    assert raised == expected, case
    # Neither the settings' values nor the replies handed back by recv are kept.
    after = [sys.getrefcount(a) for a in attributes]
    assert after == attribute_counts
    reply_after = sys.getrefcount(REPLY)
    assert reply_after == reply_count


@pytest.mark.parametrize(
    "replies, expected",
    [
        (good, None),
        (eof, "Exception"),
        # Nothing positive: the model falls back, the baseline cannot choose.
        (lambda n: ([-1.0] * 400, FLAT_VALUES), "PanicException"),
    ],
)
def test_test_game_keeps_argument_reference_counts(replies, expected, capfd):
    model, baseline, pipe = RecordingQueue(), RecordingQueue(), Pipe(replies)
    assert call_and_compare(tarnex_self_play.play_test_game, fresh_id(-7000), model, baseline, pipe) == expected


@pytest.mark.parametrize(
    "args",
    [
        (fresh_id(1000), RecordingQueue(), RecordingQueue()),
        (fresh_id(2**40), RecordingQueue(), RecordingQueue(), Pipe(good)),
        ("id", RecordingQueue(), RecordingQueue(), Pipe(good)),
    ],
)
def test_refused_calls_keep_argument_reference_counts(args):
    assert call_and_compare(tarnex_self_play.play_test_game, *args) in ("TypeError", "OverflowError")


def held_elsewhere(container):
    """How many references to each item exist beyond the container's own
    (computed outside any assert: pytest keeps the values it explains)."""
    return [sys.getrefcount(container[i]) - 2 for i in range(len(container))]


def test_requests_belong_to_the_queue_alone():
    queue = RecordingQueue()
    tarnex_self_play.play_training_game(0, config(), queue, Pipe(good))
    counts = held_elsewhere(queue.requests)
    for request in queue.requests:
        counts.append(sys.getrefcount(request[1]) - 2)
        counts += held_elsewhere(request[1])
        for plane in request[1]:
            counts += held_elsewhere(plane)
    assert len(counts) > 1000 and set(counts) == {0}


def test_memory_stays_flat_over_many_games(capfd):
    def games(count):
        for n in range(count):
            queue = RecordingQueue()
            queue.put = lambda request: None  # keep nothing
            tarnex_self_play.play_training_game(n, config(sims_per_move=0), queue, ReplyPipe(queue))
            pipe = SharedPipe(lambda side, request: REPLY)
            tarnex_self_play.play_test_game(n, pipe.queue("m"), pipe.queue("b"), pipe)
        capfd.readouterr()

    games(20)
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_bytes()
    games(100)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = rss_bytes() - rss_before
    # 100 pairs of games make about 50,000 requests: one object kept per
    # request would show as 50,000 blocks, anything the engine kept per
    # request or per search as megabytes of resident memory.
    assert block_growth < 1000, block_growth
    assert rss_growth < 4_000_000, rss_growth
