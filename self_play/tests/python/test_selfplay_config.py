"""Reading the settings object by attribute."""

import math
import re
import types

import pytest

import tarnex_self_play
from selfplay_support import RecordingQueue, ReplyPipe, check_training_against_requests, config

FIELDS = ["sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction"]
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def play(settings, id=0):
    queue = RecordingQueue()
    result = tarnex_self_play.play_training_game(id, settings, queue, ReplyPipe(queue))
    return result, queue.requests


def panic_of(settings):
    """The PanicException of a reading that fails, checking that no request
    was sent."""
    queue = RecordingQueue()
    with pytest.raises(BaseException) as caught:
        tarnex_self_play.play_training_game(0, settings, queue, ReplyPipe(queue))
    assert type(caught.value).__name__ == "PanicException"
    assert queue.requests == []
    return str(caught.value)


def field_error(name):
    return (UNWRAP + "PyErr { type: <class 'TypeError'>, value: TypeError('failed to extract field Config."
            + name + "'), traceback: None }")


class Logged:
    """Records every attribute looked up on it."""

    def __init__(self, **values):
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "looked_up", [])

    def __getattr__(self, name):
        self.looked_up.append(name)
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None


def test_fields_are_read_in_order_once_each():
    settings = Logged(**vars(config(sims_per_move=0)))
    play(settings)
    assert settings.looked_up == FIELDS


def test_integer_float_fields_become_floats():
    # c_init 1 and exploration_fraction 0 as ints: one simulation then
    # follows the highest prior exactly as with the float values.
    settings = config(c_base=19652, c_init=1, dirichlet_alpha=1, exploration_fraction=0)
    result, requests = play(settings, id=3)
    check_training_against_requests(result, requests, sims=1, expected_id=3, greedy_rising=True)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_index_and_float_protocols_are_accepted():
    settings = config(sims_per_move=Index(2), sample_moves=True, c_init=Real(1.25), exploration_fraction=Real(0.0))
    result, requests = play(settings)
    check_training_against_requests(result, requests, sims=2, expected_id=0)


def test_any_object_with_the_attributes_serves():
    module = types.ModuleType("settings")
    for name, value in vars(config(sims_per_move=0)).items():
        setattr(module, name, value)
    result, requests = play(module)
    check_training_against_requests(result, requests, sims=0, expected_id=0)


def test_a_dict_does_not_serve():
    message = panic_of(dict(vars(config())))
    assert message.startswith(UNWRAP + "PyErr { type: <class 'AttributeError'>, value: AttributeError(")
    assert "sims_per_move" in message


@pytest.mark.parametrize(
    "overrides, field",
    [
        ({"sims_per_move": 5.0}, "sims_per_move"),
        ({"sims_per_move": "5"}, "sims_per_move"),
        ({"sims_per_move": 2**64}, "sims_per_move"),
        ({"sample_moves": -1}, "sample_moves"),
        ({"c_base": "19652"}, "c_base"),
        ({"c_init": None}, "c_init"),
        ({"dirichlet_alpha": 10**400}, "dirichlet_alpha"),
        ({"exploration_fraction": Real("0.25")}, "exploration_fraction"),
    ],
)
def test_unconvertible_values_give_the_field_error(overrides, field):
    assert panic_of(config(**overrides)) == field_error(field)


def test_the_earlier_field_error_wins_over_a_later_missing_attribute():
    settings = vars(config(c_base="not a number"))
    del settings["c_init"]
    assert panic_of(types.SimpleNamespace(**settings)) == field_error("c_base")


def test_a_missing_last_attribute_is_reported_after_the_other_five():
    values = vars(config())
    del values["exploration_fraction"]
    settings = Logged(**values)
    message = panic_of(settings)
    assert settings.looked_up == FIELDS
    # Raised by Python code, so the error carries a traceback.
    assert re.fullmatch(
        re.escape(UNWRAP + "PyErr { type: <class 'AttributeError'>, value: AttributeError('exploration_fraction'), ")
        + r"traceback: Some\(<traceback object at 0x[0-9a-f]+>\) }",
        message,
    )


def test_a_failing_attribute_look_up_passes_through_unchanged():
    class Raising:
        sims_per_move = 1

        @property
        def sample_moves(self):
            raise ValueError("no \"sample\" today")

    message = panic_of(Raising())
    assert message.startswith(UNWRAP + "PyErr { type: <class 'ValueError'>, value: ValueError('no \"sample\" today'), ")


def test_values_are_taken_as_they_come():
    # Infinity and NaN are accepted; a NaN exploration fraction makes every
    # root prior NaN, which the search tolerates.
    result, requests = play(config(dirichlet_alpha=1e40, exploration_fraction=math.nan))
    check_training_against_requests(result, requests, sims=1, expected_id=0)


def test_dirichlet_alpha_is_rounded_to_single_precision():
    # 1e-50 is positive as a double but zero as a 32-bit float, and the root
    # noise refuses a zero concentration.
    queue = RecordingQueue()
    with pytest.raises(BaseException) as caught:
        tarnex_self_play.play_training_game(0, config(dirichlet_alpha=1e-50), queue, ReplyPipe(queue))
    assert type(caught.value).__name__ == "PanicException"
    assert "dirichlet_alpha" in str(caught.value)
    assert len(queue.requests) == 1  # only the root was evaluated
    # The smallest positive single-precision value survives the rounding.
    play(config(sims_per_move=0, dirichlet_alpha=2.0**-149))
