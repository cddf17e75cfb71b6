"""The module object: its attributes, docstrings, the one-module-per-process
rule, the old-PyPy warning, and the PanicException type."""

import subprocess
import sys
import textwrap

import pytest

import tarnex_self_play
from selfplay_support import IS_CPYTHON, RecordingQueue, ReplyPipe, check_training_against_requests, config


def test_module_attributes_in_order():
    assert tarnex_self_play.__doc__ == ""
    assert tarnex_self_play.__all__ == ["play_training_game", "play_test_game"]
    public = [name for name in vars(tarnex_self_play) if not name.startswith("__")]
    assert public == ["play_training_game", "play_test_game"]
    for name in tarnex_self_play.__all__:
        function = getattr(tarnex_self_play, name)
        assert callable(function) and function.__name__ == name
        assert function.__module__ == "tarnex_self_play"


def test_docstrings_and_text_signatures():
    training = tarnex_self_play.play_training_game
    test = tarnex_self_play.play_test_game
    assert training.__text_signature__ == "(id, config, inference_queue, pipe)"
    assert training.__doc__ == "Works with Pytorch model to generate self-play data"
    assert test.__text_signature__ == "(id, model_queue, baseline_queue, pipe)"
    assert test.__doc__ in (None, "")  # nothing after the signature


@pytest.mark.skipif(not IS_CPYTHON, reason="PyPy copies an extension module on re-import without initialising it again")
def test_repeated_import_gives_the_same_module():
    first = sys.modules.pop("tarnex_self_play")
    try:
        import tarnex_self_play as again

        assert again is first
    finally:
        sys.modules["tarnex_self_play"] = first


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_no_old_pypy_warning_on_this_interpreter():
    # Warnings are errors here: the import must not warn on either interpreter
    # (CPython's own version numbers are below 7.3.8 and must not count).
    done = run_python("""
        import warnings
        warnings.simplefilter("error")
        import tarnex_self_play
        print("imported")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "imported"


@pytest.mark.skipif(not IS_CPYTHON, reason="only CPython runs the initialisation again on re-import")
def test_old_pypy_warning_depends_on_implementation_name():
    # The initialisation reads sys.implementation each time it runs; a
    # repeated import runs it again, so a faked implementation shows its rule.
    done = run_python("""
        import sys, types, warnings
        import tarnex_self_play
        real = sys.implementation
        seen = {}
        for name, version in [("pypy", (7, 3, 7)), ("pypy", (7, 3, 8)), ("cpython", (3, 11, 0))]:
            sys.implementation = types.SimpleNamespace(name=name, version=version)
            del sys.modules["tarnex_self_play"]
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import tarnex_self_play
            sys.implementation = real
            seen[(name, version)] = [str(w.message) for w in caught]
        print(repr(seen))
    """)
    assert done.returncode == 0, done.stderr
    seen = eval(done.stdout)
    assert seen[("pypy", (7, 3, 7))] == [
        "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues which may cause "
        "segfaults. Please upgrade."
    ]
    assert seen[("pypy", (7, 3, 8))] == []
    assert seen[("cpython", (3, 11, 0))] == []


def panic_from_config_without_fields():
    try:
        tarnex_self_play.play_training_game(0, object(), RecordingQueue(), None)
    except BaseException as e:  # noqa: B036 - the point is what it is
        return e
    raise AssertionError("no exception")


def test_panic_exception_type(capfd):
    first = panic_from_config_without_fields()
    second = panic_from_config_without_fields()
    kind = type(first)
    assert kind.__name__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(first, Exception)
    assert type(second) is kind  # created once
    assert kind not in vars(tarnex_self_play).values()
    assert len(first.args) == 1 and isinstance(first.args[0], str)
    # Each fault is reported on standard error.
    assert capfd.readouterr().err.count(first.args[0]) == 2


def test_module_works_after_a_panic():
    panic_from_config_without_fields()
    queue = RecordingQueue()
    result = tarnex_self_play.play_training_game(1, config(sims_per_move=0), queue, ReplyPipe(queue))
    check_training_against_requests(result, queue.requests, sims=0, expected_id=1)
