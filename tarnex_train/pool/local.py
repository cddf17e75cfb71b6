"""The worker pool of this machine: W worker processes of one role (the
function that makes a slot's games, see ``worker.run_worker``), K games at
once in each, with their log files.

The pool starts the workers (``worker.run_worker``), each with its own
pipe, lets the ``Server`` answer them until all have exited, and stops
them. Stopping (end of work, Ctrl-C in the main process, or an error): the
stop flag keeps workers from taking new games, ending the replies on their
pipes (a half close: results still come back) ends the games in progress
(their ``recv`` fails), and workers that do not exit in time are
terminated. ``health`` watches for workers that died or went silent.
"""

from __future__ import annotations

import glob
import logging
import multiprocessing
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from multiprocessing.connection import wait
from typing import Callable

from .api import ServerStats
from .health import Health
from .serving import Server
from .worker import run_worker

log = logging.getLogger(__name__)

LOG_PREFIX = "tarnex-train-"
STOP_TIMEOUT = 5.0  # seconds stopping workers get to finish before they are terminated
POLL = 0.05  # seconds between looks at the pipes while stopping


@dataclass
class WorkerSlot:
    process: object
    conn: object
    exited: bool = False
    games: set = field(default_factory=set)  # its open games
    # Since when it owes us a message (None: we owe it replies); one silent
    # past the stall limit is stopped and its games reported as failed.
    silent_since: float | None = None


class WorkerPool:
    def __init__(self, role: Callable, workers: int, total_games: int, options: dict, log_dir: str | None = None,
                 stall_seconds: float = 300.0, games_per_worker: int = 1) -> None:
        if workers < 1 or games_per_worker < 1:
            raise ValueError("workers and games per worker must be at least 1")
        self.role = role
        self.name = role.__name__  # of the processes, log files and messages
        self.total_games = total_games
        self.games_at_once = games_per_worker
        self.options = {**options, "games_at_once": games_per_worker}
        self.ctx = multiprocessing.get_context("spawn")
        self.next_game = self.ctx.Value("q", 0)
        self.stop_flag = self.ctx.Event()
        # Worker logs (the engine's fault reports, test boards, tracebacks)
        # are kept in ``log_dir`` when given; else in a temporary folder
        # removed at the end.
        self.keep_logs = log_dir is not None
        if log_dir is not None:
            os.makedirs(log_dir, exist_ok=True)
            self.log_dir = log_dir
        else:
            _remove_orphaned_logs()
            self.log_dir = tempfile.mkdtemp(prefix=f"{LOG_PREFIX}{os.getpid()}-")
        self.slots: list[WorkerSlot] = []
        self.stats = ServerStats()
        self.fatal: list[tuple[int, str]] = []
        self.health = Health(self, stall_seconds)
        self._workers = workers
        self._started_at = 0.0
        self.abort_reason: str | None = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> None:
        self._started_at = time.perf_counter()
        # Children inherit an ignored SIGINT through exec, so a Ctrl-C during
        # their start-up cannot interrupt them either; the main process owns it.
        # (Only the main thread may change signal handlers; elsewhere, as in a
        # cluster actor, the workers' own SIG_IGN has to do.)
        in_main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if in_main else None
        # Workers get this process's sys.path; put the folder this package was
        # imported from first, so they run the same copy (a source tree on
        # the path must not shadow the installed package with its binding).
        saved_path = list(sys.path)
        sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
        try:
            for worker in range(self._workers):
                server_end, worker_end = self.ctx.Pipe(duplex=True)
                process = self.ctx.Process(
                    target=run_worker, name=f"tarnex-{self.name}-{worker}",
                    args=(self.role, worker, worker_end, self.next_game, self.total_games, self.stop_flag,
                          self.log_path(worker), self.options),
                    daemon=True)
                process.start()
                worker_end.close()
                # A worker owes us its first message from the start.
                self.slots.append(WorkerSlot(process, server_end, silent_since=time.perf_counter()))
        finally:
            sys.path[:] = saved_path
            if in_main:
                signal.signal(signal.SIGINT, previous)
        log.debug("%s: started %d worker(s), %d game(s) at once each, logs in %s", self.name, self._workers,
                  self.games_at_once, self.log_dir)

    def log_path(self, worker: int) -> str:
        return os.path.join(self.log_dir, f"{self.name}-worker-{worker}.log")

    def log_tail(self, worker: int, lines: int = 5) -> str:
        return _tail(self.log_path(worker), lines)

    @property
    def elapsed(self) -> float:
        return time.perf_counter() - self._started_at if self._started_at else 0.0

    @property
    def active(self) -> int:
        return sum(not slot.exited for slot in self.slots)

    def open_games(self) -> int:
        return sum(len(slot.games) for slot in self.slots if not slot.exited)

    def open_conns(self) -> list:
        return [slot.conn for slot in self.slots if not slot.exited and not slot.conn.closed]

    def abort(self, reason: str) -> None:
        """Ends serving soon (the caller then stops the workers)."""
        if self.abort_reason is None:
            self.abort_reason = reason

    def run(self, evaluator, handler, tick, max_batch: int, batch_wait: float, progress, interrupt_note: str) -> bool:
        """Starts the workers, serves them to the end and stops them; returns
        whether the run was interrupted. Ctrl-C stops the workers cleanly
        (results that still arrive are handled); a second Ctrl-C, or any
        other error, ends them at once."""
        interrupted = False
        self.start()
        server = Server(self, evaluator, handler)
        try:
            server.serve(tick, max_batch, batch_wait)
            self.stop(server)
        except KeyboardInterrupt:
            interrupted = True
            progress.message(f"interrupted: {interrupt_note}")
            try:
                self.stop(server)
            except KeyboardInterrupt:
                self.terminate()
        except BaseException:
            self.terminate()
            raise
        return interrupted

    def stop(self, server: Server, timeout: float = STOP_TIMEOUT) -> None:
        """Stops the workers: no new games, games in progress abandoned.
        Results that arrive meanwhile still reach the handler."""
        self.stop_flag.set()
        for slot in self.slots:
            _end_replies(slot.conn)
        deadline = time.monotonic() + timeout
        while self.active and time.monotonic() < deadline:
            for ready in wait(self.open_conns(), POLL):
                server.receive_messages(self._index_of(ready), None, stopping=True)
            self.health.check(server.handler, server.receive_messages, stopping=True)
        self._finish()

    def terminate(self) -> None:
        """Ends the workers at once (second Ctrl-C, or an error)."""
        self.stop_flag.set()
        for slot in self.slots:
            _end_replies(slot.conn)
        self._finish(grace=0.0)

    def _index_of(self, conn) -> int:
        return next(i for i, slot in enumerate(self.slots) if slot.conn is conn)

    def _finish(self, grace: float = 1.0) -> None:
        for slot in self.slots:
            _reap(slot.process, grace)
            slot.conn.close()
        if not self.stats.wall:
            self.stats.wall = time.perf_counter() - self._started_at
        if not self.keep_logs:
            shutil.rmtree(self.log_dir, ignore_errors=True)


def _tail(path: str, lines: int) -> str:
    """The last ``lines`` lines of a log file (empty when unreadable)."""
    try:
        with open(path, "rb") as f:
            text = f.read()[-4000:].decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.strip().splitlines()[-lines:])


def _reap(process, grace: float) -> None:
    """Waits ``grace`` seconds for a worker to exit, then terminates it,
    then kills it."""
    process.join(grace)
    if process.exitcode is None:
        process.terminate()
        process.join(1.0)
    if process.exitcode is None:
        process.kill()
        process.join()


def _remove_orphaned_logs() -> None:
    """Temporary log folders of runs whose process is gone (killed before it
    could clean up) are removed by the next run."""
    for path in glob.glob(os.path.join(tempfile.gettempdir(), LOG_PREFIX + "*-*")):
        pid = os.path.basename(path)[len(LOG_PREFIX):].split("-", 1)[0]
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(path, ignore_errors=True)
        except OSError:
            pass


def _end_replies(conn) -> None:
    """Half-closes the server's end of a worker pipe: the worker's ``recv``
    sees the end, while what it still sends (its results) can be read."""
    if conn.closed:
        return
    try:
        with socket.socket(fileno=os.dup(conn.fileno())) as end:
            end.shutdown(socket.SHUT_WR)
    except OSError:
        pass
