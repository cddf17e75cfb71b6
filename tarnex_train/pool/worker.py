"""Worker processes: each plays K games at once (see ``channel``), until the
shared game counter runs out or the main process asks them to stop.

Workers import neither torch nor the network: they only run the engine,
whose evaluation requests go through the process's batcher to the server
(see ``transport``). The main process owns Ctrl-C: workers ignore SIGINT and
are stopped by the main process (stop flag, and the end of the replies on
their pipes).

Control messages (``protocol``) go to the main process on the worker's pipe.
A game's traceback goes into the worker's log (its standard error).
"""

from __future__ import annotations

import logging
import os
import signal
import time

from greenlet import GreenletExit

from ..logs import log_to_stderr
from .channel import Batcher, GameChannel
from .protocol import Message

log = logging.getLogger(__name__)


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


def run_worker(role, worker_id, conn, next_game, total_games, stop, log_path, options) -> None:
    """Process entry point. ``role`` is "selfplay" or "arena"; ``options``
    holds ``games_at_once`` and the role's settings."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The engine writes fault reports to standard error and the test game's
    # board to standard output, from C; keep both out of the terminal.
    _redirect(1, log_path + ".stdout")
    _redirect(2, log_path)
    log_to_stderr(options.get("log_level", "INFO"))
    games_at_once = int(options.get("games_at_once", 1))
    try:
        if role == "selfplay":
            play = _selfplay_player(options, stop)
        elif role == "arena":
            play = _arena_player(stop)
        else:
            raise ValueError(f"unknown worker role {role!r}")
        batcher = Batcher(conn, worker_id * games_at_once, games_at_once)
        batcher.run([_game_slot(play, batcher, worker_id, worker_id * games_at_once + k, next_game, total_games, stop)
                     for k in range(games_at_once)])
    except BaseException as error:  # the worker itself is broken: tell the main process
        if not stop.is_set():
            log.exception("worker %s cannot run", worker_id)
            _tell(conn, (Message.FATAL, worker_id, describe(error)))
    else:
        _tell(conn, (Message.EXIT, worker_id))
    finally:
        conn.close()


def _game_slot(play, batcher, worker_id, game_id, next_game, total_games, stop):
    """One slot's games, one after the other. A game's own failure is
    reported and skipped; anything else stops the slot (and the worker)."""

    def games() -> None:
        while (game := _take_game(next_game, total_games, stop)) is not None:
            batcher.send((Message.START, worker_id, game))
            message = play(batcher, game_id)
            if message is None:  # stopping
                return
            kind, payload, stats = message
            batcher.send((kind, worker_id, game, payload, stats))

    return games


def _tell(replies, message) -> None:
    """Sends a control message to the main process, if it is still there."""
    try:
        replies.send(message)
    except OSError:
        pass


def _selfplay_player(options, stop):
    """play(batcher, game_id) -> (DONE, records, stats), (FAILED,
    error text, stats), or None when the worker is stopping."""
    from tarnex_self_play import play_training_game

    from ..data.positions import training_records
    from ..settings import SearchConfig

    config = SearchConfig(**options["search"])

    def play(batcher, game_id):
        channel = GameChannel(batcher, game_id)
        started = time.perf_counter()
        try:
            history, policies, payoff = play_training_game(game_id, config, channel, channel)
        except (KeyboardInterrupt, SystemExit, GreenletExit):  # the worker itself is ending
            raise
        except BaseException as error:  # Exception or the engine's PanicException
            if stop.is_set():
                return None
            log.warning("game %s failed", game_id, exc_info=True)
            return Message.FAILED, describe(error), _stats(started, time.perf_counter(), channel)
        played = time.perf_counter()
        try:
            records = training_records(history, policies, payoff)
        except Exception as error:
            log.warning("game %s left a bad record", game_id, exc_info=True)
            return Message.FAILED, "bad game record: " + describe(error), _stats(started, played, channel)
        stats = _stats(started, played, channel)
        stats["records_seconds"] = time.perf_counter() - played
        records["payoff"] = list(payoff)
        return Message.DONE, records, stats

    return play


def _arena_player(stop):
    from tarnex_self_play import play_test_game

    def play(batcher, game_id):
        model = GameChannel(batcher, game_id, 0)
        baseline = GameChannel(batcher, game_id, 1)
        started = time.perf_counter()
        position = os.lseek(1, 0, os.SEEK_END)
        try:
            payoff = play_test_game(game_id, model, baseline, model)
        except (KeyboardInterrupt, SystemExit, GreenletExit):
            raise
        except BaseException as error:
            if stop.is_set():
                return None
            log.warning("test game %s failed", game_id, exc_info=True)
            return Message.FAILED, describe(error), {"seconds": time.perf_counter() - started}
        # The board printed at the end; other games' boards may be among
        # what was written meanwhile, and the last one is whole.
        board = _read_from(1, position)
        stats = {"seconds": time.perf_counter() - started, "evaluations": model.calls + baseline.calls}
        return Message.DONE, {"payoff": float(payoff), "board": board}, stats

    return play


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


def _stats(started, ended, channel) -> dict:
    return {
        "seconds": ended - started,
        "put_seconds": channel.put_seconds,
        "recv_seconds": channel.recv_seconds,
        "evaluations": channel.calls,
    }
