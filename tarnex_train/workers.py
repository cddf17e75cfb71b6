"""Worker processes: each plays games with the engine, one at a time, until
the shared game counter runs out or the main process asks them to stop.

Workers import neither torch nor the network: they only run the engine,
whose evaluation requests go to the shared request queue and whose replies
come back on the worker's own pipe. The main process owns Ctrl-C: workers
ignore SIGINT and are stopped by the main process (stop flag, and the end of
the replies on their pipes).

Control messages, sent on the worker's own pipe (see ``transport``):
- ``("start", worker, game)``: the worker took game ``game``;
- ``("done", worker, game, payload, stats)``: the game finished;
- ``("failed", worker, game, error_text, stats)``: the game raised (an
  ``Exception`` or the engine's ``PanicException``) and was skipped;
- ``("fatal", worker, error_text)``: the worker cannot run at all;
- ``("exit", worker)``: the worker is done and about to exit.
"""

from __future__ import annotations

import os
import signal
import time

from .transport import TaggedPut, TimedPut, TimedRecv


def describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _take_game(next_game, total_games: int, stop) -> int | None:
    if stop.is_set():
        return None
    with next_game.get_lock():
        game = next_game.value
        if game >= total_games:
            return None
        next_game.value = game + 1
    return game


def _redirect(fd: int, path: str) -> None:
    target = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(target, fd)
    os.close(target)


def run_worker(role, worker_id, requests, replies, next_game, total_games, stop, log_path, options) -> None:
    """Process entry point. ``role`` is "selfplay" or "arena"."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The engine writes fault reports to standard error and the test game's
    # board to standard output, from C; keep both out of the terminal.
    _redirect(1, log_path + ".stdout")
    _redirect(2, log_path)
    try:
        if role == "selfplay":
            _selfplay_games(worker_id, requests, replies, next_game, total_games, stop, options)
        elif role == "arena":
            _arena_games(worker_id, requests, replies, next_game, total_games, stop, options)
        else:
            raise ValueError(f"unknown worker role {role!r}")
    except BaseException as error:  # the worker itself is broken: tell the main process
        if not stop.is_set():
            _tell(replies, ("fatal", worker_id, describe(error)))
    else:
        _tell(replies, ("exit", worker_id))
    finally:
        replies.close()


def _tell(replies, message) -> None:
    """Sends a control message to the main process, if it is still there."""
    try:
        replies.send(message)
    except OSError:
        pass


def _selfplay_games(worker_id, requests, replies, next_game, total_games, stop, options) -> None:
    from tarnex_self_play import play_training_game

    from .positions import training_records
    from .settings import SearchConfig

    config = SearchConfig(**options["search"])
    queue = TimedPut(requests.put)
    pipe = TimedRecv(replies)
    while (game := _take_game(next_game, total_games, stop)) is not None:
        replies.send(("start", worker_id, game))
        started = time.perf_counter()
        put_before, recv_before, calls_before = queue.seconds, pipe.seconds, queue.calls
        try:
            history, policies, payoff = play_training_game(worker_id, config, queue, pipe)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # Exception or the engine's PanicException
            if stop.is_set():
                return
            stats = _stats(started, time.perf_counter(), queue, pipe, put_before, recv_before, calls_before)
            replies.send(("failed", worker_id, game, describe(error), stats))
            continue
        played = time.perf_counter()
        try:
            records = training_records(history, policies, payoff)
        except Exception as error:
            stats = _stats(started, played, queue, pipe, put_before, recv_before, calls_before)
            replies.send(("failed", worker_id, game, "bad game record: " + describe(error), stats))
            continue
        stats = _stats(started, played, queue, pipe, put_before, recv_before, calls_before)
        stats["records_seconds"] = time.perf_counter() - played
        records["payoff"] = list(payoff)
        replies.send(("done", worker_id, game, records, stats))


def _arena_games(worker_id, requests, replies, next_game, total_games, stop, options) -> None:
    from tarnex_self_play import play_test_game

    model_queue = TaggedPut(requests.put, 0)
    baseline_queue = TaggedPut(requests.put, 1)
    pipe = TimedRecv(replies)
    while (game := _take_game(next_game, total_games, stop)) is not None:
        replies.send(("start", worker_id, game))
        started = time.perf_counter()
        position = os.lseek(1, 0, os.SEEK_END)
        try:
            payoff = play_test_game(worker_id, model_queue, baseline_queue, pipe)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            if stop.is_set():
                return
            replies.send(("failed", worker_id, game, describe(error), {"seconds": time.perf_counter() - started}))
            continue
        board = _read_from(1, position)
        stats = {
            "seconds": time.perf_counter() - started,
            "evaluations": model_queue.calls + baseline_queue.calls,
        }
        replies.send(("done", worker_id, game, {"payoff": float(payoff), "board": board}, stats))
        model_queue.calls = baseline_queue.calls = 0


def _read_from(fd: int, position: int) -> str:
    """What was written to ``fd`` (a file) since ``position``."""
    end = os.lseek(fd, 0, os.SEEK_END)
    chunks = []
    while position < end:
        chunk = os.pread(fd, end - position, position)
        if not chunk:
            break
        chunks.append(chunk)
        position += len(chunk)
    return b"".join(chunks).decode("utf-8", "replace")


def _stats(started, ended, queue, pipe, put_before, recv_before, calls_before) -> dict:
    return {
        "seconds": ended - started,
        "put_seconds": queue.seconds - put_before,
        "recv_seconds": pipe.seconds - recv_before,
        "evaluations": queue.calls - calls_before,
    }

