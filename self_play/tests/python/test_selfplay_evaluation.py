"""The evaluation round trip as Python sees it: the requests handed to put,
the replies accepted from recv, and the errors of a failed exchange."""

import array
import math
import re

import pytest

import tarnex_self_play
from selfplay_support import (
    FLAT_VALUES,
    RISING_POLICY,
    RISING_REPLY,
    START_TILES,
    RecordingQueue,
    ReplyPipe,
    check_request_shape,
    check_training_against_requests,
    config,
    plane_sets,
)

ROOT_FAILURE = "Error running MCTS: Error evaluating root node: "


def play_training(reply_for=lambda n, request: RISING_REPLY, sims=0, id=0, queue=None):
    queue = queue or RecordingQueue()
    pipe = ReplyPipe(queue, reply_for)
    result = tarnex_self_play.play_training_game(id, config(sims_per_move=sims), queue, pipe)
    return result, queue.requests


def root_failure(reply_for=None, queue=None, pipe=None):
    """The display text of an exchange that fails at the root of the first
    search, from the Exception of the training game."""
    queue = queue or RecordingQueue()
    pipe = pipe or ReplyPipe(queue, reply_for)
    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_training_game(0, config(), queue, pipe)
    assert type(caught.value) is Exception and len(caught.value.args) == 1
    message = caught.value.args[0]
    # The text arrives in quoted form.
    assert message.startswith('"' + ROOT_FAILURE) and message.endswith('"')
    return message[1 + len(ROOT_FAILURE):-1]


def always(reply):
    return lambda n, request: reply


# --- requests --------------------------------------------------------------

def test_first_request_shows_the_start_position():
    queue = RecordingQueue()
    with pytest.raises(Exception):
        tarnex_self_play.play_training_game(-1, config(), queue, ReplyPipe(queue, always(None)))
    (request,) = queue.requests
    check_request_shape(request, -1)
    sets = plane_sets(request[1], 0)
    assert sets[:4] == [set(), set(), set(), set()]
    assert sets[4] == START_TILES


def test_requests_are_new_lists_every_time():
    class Vandal(RecordingQueue):
        """Checks each request, keeps it, then scribbles over it."""

        def put(self, request):
            check_request_shape(request, 0)
            super().put(request)
            for plane in request[1]:
                for row in plane:
                    row[0] = "scribble"
                    row.append("scribble")
            request[1].clear()

    queue = Vandal()
    tarnex_self_play.play_training_game(0, config(sims_per_move=1), queue, ReplyPipe(queue))
    assert len(queue.requests) > 100
    # Every request was whole when it arrived, whatever was done to the
    # earlier ones, and no list was handed out twice.
    planes = [id(request[1]) for request in queue.requests]
    assert len(set(planes)) == len(planes)


def test_put_gets_one_positional_argument_and_its_result_is_ignored():
    calls = []

    class Queue:
        def put(self, *args, **kwargs):
            calls.append((args, kwargs))
            return "ignored"

    queue = Queue()
    queue.requests = []

    class Pipe:
        def recv(self):
            queue.requests.append(calls[-1][0][0])
            return RISING_REPLY

    result = tarnex_self_play.play_training_game(4, config(), queue, Pipe())
    assert calls and all(len(args) == 1 and kwargs == {} for args, kwargs in calls)
    check_training_against_requests(result, queue.requests, sims=1, expected_id=4)


def test_put_and_recv_are_looked_up_for_every_exchange():
    looked_up = []

    class Counting:
        def __getattr__(self, name):
            looked_up.append(name)
            if name == "put":
                return lambda request: requests.append(request)
            if name == "recv":
                return lambda: RISING_REPLY
            raise AttributeError(name)

    requests = []
    counting = Counting()
    tarnex_self_play.play_training_game(0, config(sims_per_move=2), counting, counting)
    assert looked_up == ["put", "recv"] * len(requests)


def test_training_requests_follow_the_game():
    result, requests = play_training(sims=1, id=9)
    check_training_against_requests(result, requests, sims=1, expected_id=9, greedy_rising=True)


# --- replies that are accepted ----------------------------------------------

class Indexed:
    """A sequence known only by __getitem__ and __len__."""

    def __init__(self, items, length_raises=False):
        self.items = list(items)
        self.length_raises = length_raises

    def __len__(self):
        if self.length_raises:
            raise RuntimeError("no length today")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Misleading(float):
    """A float read by its value: its __float__ is not consulted."""

    def __float__(self):
        return -1.0


@pytest.mark.parametrize(
    "reply",
    [
        pytest.param((RISING_POLICY, FLAT_VALUES), id="tuple"),
        pytest.param([RISING_POLICY, FLAT_VALUES], id="list"),
        pytest.param({0: RISING_POLICY, 1: FLAT_VALUES}, id="mapping"),
        pytest.param((RISING_POLICY, FLAT_VALUES, "extra items are ignored"), id="longer tuple"),
        pytest.param((tuple(RISING_POLICY), tuple(FLAT_VALUES)), id="tuples"),
        pytest.param((array.array("d", RISING_POLICY), array.array("f", FLAT_VALUES)), id="arrays"),
        pytest.param((Indexed(RISING_POLICY), Indexed(FLAT_VALUES)), id="getitem sequence"),
        pytest.param((Indexed(RISING_POLICY, length_raises=True), FLAT_VALUES), id="length raises"),
        pytest.param((RISING_POLICY, [0, 1, True, 2**40]), id="int values"),
        pytest.param(([Number(v) for v in RISING_POLICY], [Number(v) for v in FLAT_VALUES]), id="__float__"),
        pytest.param(([Misleading(v) for v in RISING_POLICY], FLAT_VALUES), id="float subclass"),
        pytest.param((RISING_POLICY + [5.0], FLAT_VALUES), id="401 entries"),
    ],
)
def test_accepted_reply_forms(reply):
    result, requests = play_training(always(reply), sims=1)
    check_training_against_requests(result, requests, sims=1, expected_id=0, greedy_rising=True)


def test_bytes_policy_reads_as_numbers():
    # bytes passes the sequence check and iterates as ints: every entry 1.
    result, requests = play_training(always((b"\x01" * 400, FLAT_VALUES)))
    check_training_against_requests(result, requests, sims=0, expected_id=0)


def test_zero_visits_give_nan_shares():
    result, _ = play_training(sims=0)
    _, policies, _ = result
    assert all(math.isnan(share) for record in policies for _, share in record)


# --- replies that are refused ---------------------------------------------

class Wrapper:
    class PeerGone(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no")


def failing_iteration():
    class Broken:
        def __len__(self):
            return 400

        def __getitem__(self, i):
            if i == 3:
                raise KeyError("broken at 3")
            return 1.0

    return Broken()


class Raising:
    def __float__(self):
        raise ArithmeticError("cannot")


@pytest.mark.parametrize(
    "reply, display",
    [
        (("abc", FLAT_VALUES), "TypeError: Can't extract `str` to `Vec`"),
        ((RISING_POLICY, "abcd"), "TypeError: Can't extract `str` to `Vec`"),
        ((5, FLAT_VALUES), "TypeError: 'int' object cannot be converted to 'Sequence'"),
        (({i: 1.0 for i in range(400)}, FLAT_VALUES), "TypeError: 'dict' object cannot be converted to 'Sequence'"),
        (((x for x in RISING_POLICY), FLAT_VALUES), "TypeError: 'generator' object cannot be converted to 'Sequence'"),
        ((RISING_POLICY, {1.0, 2.0}), "TypeError: 'set' object cannot be converted to 'Sequence'"),
        ((RISING_POLICY, [1.0, "2.0"]), "TypeError: must be real number, not str"),
        ((RISING_POLICY, [1.0, None]), "TypeError: must be real number, not NoneType"),
        ((RISING_POLICY[:10] + [Raising()], FLAT_VALUES), "ArithmeticError: cannot"),
        ((RISING_POLICY, [10**400]), "OverflowError: int too large to convert to float"),
        ((failing_iteration(), FLAT_VALUES), "KeyError: 'broken at 3'"),
        ({0: RISING_POLICY}, "KeyError: 1"),
        ((RISING_POLICY,), "IndexError: tuple index out of range"),
        # PyPy adds the key to this message of its own.
        (None, "TypeError: 'NoneType' object is not subscriptable*"),
    ],
)
def test_refused_replies_are_evaluation_errors(reply, display):
    got = root_failure(always(reply))
    if display.endswith("*"):
        assert got.startswith(display[:-1])
    else:
        assert got == display


def test_display_uses_the_qualified_type_name():
    def recv_raising(n, request):
        raise Wrapper.PeerGone("peer gone")

    assert root_failure(recv_raising) == "Wrapper.PeerGone: peer gone"


def test_display_when_str_fails():
    def recv_raising(n, request):
        raise Unprintable()

    assert root_failure(recv_raising) == "Unprintable: <exception str() failed>"


def test_error_text_is_quoted():
    def recv_raising(n, request):
        raise EOFError('peer said "bye"\tand\\left\n')

    queue = RecordingQueue()
    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_training_game(0, config(), queue, ReplyPipe(queue, recv_raising))
    assert str(caught.value) == '"' + ROOT_FAILURE + 'EOFError: peer said \\"bye\\"\\tand\\\\left\\n"'


def test_missing_or_raising_put_stops_before_recv():
    class NoPut:
        pass

    pipe_calls = []

    class Pipe:
        def recv(self):
            pipe_calls.append(1)
            return RISING_REPLY

    display = root_failure(queue=NoPut(), pipe=Pipe())
    assert display.startswith("AttributeError: ") and "put" in display

    class FullQueue:
        def put(self, request):
            raise OverflowError("queue full")

    assert root_failure(queue=FullQueue(), pipe=Pipe()) == "OverflowError: queue full"
    assert pipe_calls == []


# --- failures inside a game are internal faults -------------------------------

def panic_of(reply_for, sims=0):
    queue = RecordingQueue()
    with pytest.raises(BaseException) as caught:
        tarnex_self_play.play_training_game(0, config(sims_per_move=sims), queue, ReplyPipe(queue, reply_for))
    assert type(caught.value).__name__ == "PanicException", caught.value
    return str(caught.value), queue.requests


def test_short_policy_is_enough_for_seat_0_only():
    # 81 entries cover every legal tile of seat 0's first turn (the largest
    # is 80) but cannot be turned into seat 1's frame.
    message, requests = panic_of(always((RISING_POLICY[:81], FLAT_VALUES)))
    assert "400" in message and "81" in message
    assert len(requests) > 1


def test_policy_shorter_than_a_legal_tile_of_seat_0():
    message, requests = panic_of(always((RISING_POLICY[:50], FLAT_VALUES)))
    assert "50" in message
    assert len(requests) == 1


def test_too_few_values_for_the_mover():
    message, requests = panic_of(always((RISING_POLICY, [])))
    assert "seat 1" in message
    assert len(requests) > 1


def test_no_positive_entry_leaves_the_search_root_without_children():
    message, _ = panic_of(always(([math.nan] * 200 + [0.0] * 100 + [-1.0] * 100, FLAT_VALUES)))
    assert "children" in message


def test_a_failing_leaf_is_a_fault():
    def second_fails(n, request):
        if n == 1:
            raise EOFError("peer closed")
        return RISING_REPLY

    message, requests = panic_of(second_fails, sims=1)
    assert message.endswith("EOFError: peer closed")
    assert "leaf" in message
    assert len(requests) == 2


def test_detail_text_of_an_error_without_traceback(capfd):
    # A builtin recv raises without a Python frame: no traceback.
    class Pipe:
        recv = iter(()).__next__

    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_test_game(0, RecordingQueue(), RecordingQueue(), Pipe())
    assert str(caught.value) == '"Error running MCTS"'
    out = capfd.readouterr().out
    assert out == (
        'Error running MCTS: "Error evaluating root node: PyErr { type: <class \'StopIteration\'>, '
        'value: StopIteration(), traceback: None }"\n'
    )


def test_detail_text_of_an_error_with_traceback(capfd):
    class Pipe:
        def recv(self):
            raise EOFError()

    with pytest.raises(Exception) as caught:
        tarnex_self_play.play_test_game(0, RecordingQueue(), RecordingQueue(), Pipe())
    assert len(str(caught.value)) == 20
    out = capfd.readouterr().out
    assert re.fullmatch(
        re.escape('Error running MCTS: "Error evaluating root node: PyErr { type: <class \'EOFError\'>, '
                  "value: EOFError(), traceback: Some(")
        + r'<traceback object at 0x[0-9a-f]+>\) }"\n',
        out,
    ), out
