"""Argument binding and the conversion of `id`."""

import pytest

import tarnex_self_play
from selfplay_support import RecordingQueue, ReplyPipe, config

play_training_game = tarnex_self_play.play_training_game
play_test_game = tarnex_self_play.play_test_game


@pytest.fixture
def fakes():
    queue = RecordingQueue()
    return queue, ReplyPipe(queue)


def test_positional_and_keyword_calls_behave_alike(fakes):
    queue, pipe = fakes
    settings = config(sims_per_move=0)
    by_position = play_training_game(5, settings, queue, pipe)
    first_count = len(queue.requests)
    by_keyword = play_training_game(pipe=pipe, inference_queue=queue, config=settings, id=5)
    mixed = play_training_game(5, settings, pipe=pipe, inference_queue=queue)
    for result in (by_position, by_keyword, mixed):
        history, policies, payoff = result
        assert len(history) == len(policies)
    assert {request[0] for request in queue.requests} == {5}
    assert first_count == len(by_position[0])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, None, None), {}, "play_test_game() missing 1 required positional argument: 'pipe'"),
        ((1,), {}, "play_test_game() missing 3 required positional arguments: 'model_queue', 'baseline_queue', and 'pipe'"),
        ((1, None), {}, "play_test_game() missing 2 required positional arguments: 'baseline_queue' and 'pipe'"),
        ((), {}, "play_test_game() missing 4 required positional arguments: 'id', 'model_queue', 'baseline_queue', and 'pipe'"),
        ((1, None, None, None, None), {}, "play_test_game() takes 4 positional arguments but 5 were given"),
        ((1, None, None, None), {"queue": None}, "play_test_game() got an unexpected keyword argument 'queue'"),
        ((1, None, None, None), {"id": 2}, "play_test_game() got multiple values for argument 'id'"),
        ((1, None, None, None, None), {"id": 2}, "play_test_game() got multiple values for argument 'id'"),
        ((1,), {"model_queue": None, "pipe": None}, "play_test_game() missing 1 required positional argument: 'baseline_queue'"),
    ],
)
def test_binding_errors_of_play_test_game(fakes, args, kwargs, message):
    queue, pipe = fakes
    # Any object in place of None would be used for requests: none may be sent.
    args = tuple(queue if a is None else a for a in args)
    kwargs = {k: (queue if v is None else v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        play_test_game(*args, **kwargs)
    assert str(caught.value) == message
    assert queue.requests == []


def test_binding_errors_name_play_training_game(fakes):
    queue, pipe = fakes
    with pytest.raises(TypeError) as caught:
        play_training_game(1, config(), queue)
    assert str(caught.value) == "play_training_game() missing 1 required positional argument: 'pipe'"
    with pytest.raises(TypeError) as caught:
        play_training_game(1, config(), queue, pipe, model_queue=queue)
    assert str(caught.value) == "play_training_game() got an unexpected keyword argument 'model_queue'"
    assert queue.requests == []


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [-1, 0, 2**31 - 1, -(2**31), True, Index(-7)])
def test_ids_in_range_are_sent_unchanged(fakes, value):
    queue, pipe = fakes
    play_training_game(value, config(sims_per_move=0), queue, pipe)
    expected = value.value if isinstance(value, Index) else int(value)
    assert queue.requests and all(request[0] == expected for request in queue.requests)
    assert all(type(request[0]) is int for request in queue.requests)


@pytest.mark.parametrize("function", [play_training_game, play_test_game])
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**63 - 1, -(2**63)])
def test_ids_outside_32_bits_overflow(fakes, function, value):
    queue, pipe = fakes
    with pytest.raises(OverflowError) as caught:
        function(value, config() if function is play_training_game else queue, queue, pipe)
    assert str(caught.value) == "out of range integral type conversion attempted"
    assert queue.requests == []


def test_ids_beyond_64_bits_give_the_interpreters_overflow(fakes):
    queue, pipe = fakes
    with pytest.raises(OverflowError) as caught:
        play_training_game(2**64, config(), queue, pipe)
    assert str(caught.value) != "out of range integral type conversion attempted"
    assert queue.requests == []


@pytest.mark.parametrize("value, type_name", [("3", "str"), (3.0, "float"), (None, "NoneType")])
def test_non_integer_ids_raise_type_error_naming_the_argument(fakes, value, type_name):
    queue, pipe = fakes
    with pytest.raises(TypeError) as caught:
        play_test_game(value, queue, queue, pipe)
    message = str(caught.value)
    assert message.startswith("argument 'id': ")
    assert type_name in message
    assert queue.requests == []


def test_id_is_checked_before_the_settings(fakes):
    queue, pipe = fakes
    with pytest.raises(TypeError, match="^argument 'id': "):
        play_training_game("x", object(), queue, pipe)
