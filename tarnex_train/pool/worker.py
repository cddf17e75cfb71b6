"""Worker processes: each plays the jobs the main process sends it, one
after the other (a job: a role, its options, the number of games), K games
of a job at once (see ``channel``), until the shared game counter runs out
or the main process asks them to stop. Between jobs a worker waits for the
next one on its pipe, so that the phases of a generation share one set of
processes; the end of its pipe ends it.

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
import sys

from ..logs import log_to_stderr
from .channel import Batcher
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


def run_worker(worker_id, conn, next_game, stop) -> None:
    """Process entry point: plays each job that arrives on ``conn`` (see
    ``play_job``) until the pipe ends or a job cannot run."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    logging_set = False
    try:
        while True:
            try:
                role, total_games, options, log_path = conn.recv()
            except (EOFError, OSError):
                return
            # The engine writes fault reports to standard error, from C; keep
            # them and anything written to standard output out of the
            # terminal, in the job's own log files.
            sys.stdout.flush()
            sys.stderr.flush()
            _redirect(1, log_path + ".stdout")
            _redirect(2, log_path)
            if not logging_set:
                log_to_stderr(options.get("log_level", "INFO"))
                logging_set = True
            if not play_job(role, worker_id, conn, next_game, total_games, stop, options):
                return
    finally:
        conn.close()


def play_job(role, worker_id, conn, next_game, total_games, stop, options) -> bool:
    """Plays a job's games; whether the worker can take another. ``role``
    is the game a slot plays: a function that takes (options, stop) and
    returns ``play(batcher, slot_id, game)``, defined at module level by
    whoever starts the pool, so that the spawned process can import it by
    reference (the pool knows nothing of what its games are); ``options``
    holds ``games_at_once`` and the role's settings."""
    games_at_once = int(options.get("games_at_once", 1))
    try:
        play = role(options, stop)
        batcher = Batcher(conn, worker_id * games_at_once, games_at_once)
        batcher.run([_game_slot(play, batcher, worker_id, worker_id * games_at_once + k, next_game, total_games, stop)
                     for k in range(games_at_once)])
    except BaseException as error:  # the worker itself is broken: tell the main process
        if not stop.is_set():
            log.exception("worker %s cannot run", worker_id)
            _tell(conn, (Message.FATAL, worker_id, describe(error)))
        return False
    _tell(conn, (Message.EXIT, worker_id))
    return not batcher.closed and not stop.is_set()


def _game_slot(play, batcher, worker_id, game_id, next_game, total_games, stop):
    """One slot's games, one after the other. A game's own failure is
    reported and skipped; anything else stops the slot (and the worker)."""

    def games() -> None:
        while (game := _take_game(next_game, total_games, stop)) is not None:
            batcher.send((Message.START, worker_id, game))
            message = play(batcher, game_id, game)
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
