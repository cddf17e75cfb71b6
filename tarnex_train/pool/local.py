"""The worker pool of this machine: W worker processes (``Workers``), K
games at once in each, with their log files, playing one job at a time: a
role (the function that makes a slot's games, see ``worker.run_worker``),
its options and a number of games.

A ``WorkerPool`` is one job. Given ``Workers``, it plays on them and leaves
them running for the next job (the loop's phases of a generation share one
set); without, it starts its own and stops them at its end. It sends each
worker the job on its pipe, lets the ``Server`` answer them until all have
said they are done, and stops them where the job did not end by itself.
Stopping (Ctrl-C in the main process, or an error): the stop flag keeps
workers from taking new games, ending the replies on their pipes (a half
close: results still come back) ends the games in progress (their ``recv``
fails) and then the workers, and workers that do not exit in time are
terminated; the next job on the same ``Workers`` starts new ones, and so
does a job after a worker died. ``health`` watches for workers that died or
went silent.
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
    exited: bool = False  # from this job: done, failed, or gone
    done: bool = False  # said it is done with the job, and waits for the next
    games: set = field(default_factory=set)  # its open games
    # Since when it owes us a message (None: we owe it replies); one silent
    # past the stall limit is stopped and its games reported as failed.
    silent_since: float | None = None


class Workers:
    """W worker processes, kept from one job to the next, and the folder of
    their logs: ``log_dir`` when given, else a temporary folder removed by
    ``close``."""

    def __init__(self, workers: int, log_dir: str | None = None) -> None:
        if workers < 1:
            raise ValueError("workers and games per worker must be at least 1")
        self.count = workers
        self.ctx = multiprocessing.get_context("spawn")
        self.keep_logs = log_dir is not None
        if log_dir is not None:
            os.makedirs(log_dir, exist_ok=True)
            self.log_dir = log_dir
        else:
            _remove_orphaned_logs()
            self.log_dir = tempfile.mkdtemp(prefix=f"{LOG_PREFIX}{os.getpid()}-")
        self.running: list = []  # (process, pipe) by worker, None where there is none
        self._fresh_flags()

    def _fresh_flags(self) -> None:
        self.next_game = self.ctx.Value("q", 0)
        self.stop_flag = self.ctx.Event()

    def ready(self) -> list:
        """(process, pipe) of every worker, idle and waiting for a job: the
        ones that are still there, new ones where one exited or was ended."""
        if self.stop_flag.is_set():  # the last job was stopped, and all of its workers with it
            self.end()
            self._fresh_flags()
        self.running += [None] * (self.count - len(self.running))
        gone = [w for w, entry in enumerate(self.running) if entry is None or entry[0].exitcode is not None]
        for worker in gone:
            if self.running[worker] is not None:
                _reap(self.running[worker][0], 0.0)
                self.running[worker][1].close()
        if gone:
            self._spawn(gone)
        return list(self.running)

    def _spawn(self, workers: list) -> None:
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
            for worker in workers:
                server_end, worker_end = self.ctx.Pipe(duplex=True)
                process = self.ctx.Process(target=run_worker, name=f"tarnex-worker-{worker}",
                                           args=(worker, worker_end, self.next_game, self.stop_flag), daemon=True)
                process.start()
                worker_end.close()
                self.running[worker] = (process, server_end)
        finally:
            sys.path[:] = saved_path
            if in_main:
                signal.signal(signal.SIGINT, previous)

    def retire(self, worker: int) -> None:
        """Ends one worker (it had a second to exit by itself)."""
        if worker < len(self.running) and self.running[worker] is not None:
            process, conn = self.running[worker]
            _end_replies(conn)
            _reap(process, 1.0)
            conn.close()
            self.running[worker] = None

    def end(self, grace: float = 1.0) -> None:
        """Ends the workers (after ``grace`` seconds to exit by themselves)."""
        for entry in self.running:
            if entry is not None:
                _end_replies(entry[1])
        for entry in self.running:
            if entry is not None:
                _reap(entry[0], grace)
                entry[1].close()
        self.running = []

    def close(self) -> None:
        self.end()
        if not self.keep_logs:
            shutil.rmtree(self.log_dir, ignore_errors=True)


class WorkerPool:
    """One job on ``workers`` (its own, started and stopped with it, when
    none are given: ``workers`` is then their number)."""

    def __init__(self, role: Callable, workers: int | Workers, total_games: int, options: dict,
                 log_dir: str | None = None, stall_seconds: float = 300.0, games_per_worker: int = 1) -> None:
        if games_per_worker < 1:
            raise ValueError("workers and games per worker must be at least 1")
        self.own_workers = not isinstance(workers, Workers)
        self.workers = Workers(workers, log_dir) if self.own_workers else workers
        self.log_dir = self.workers.log_dir
        self.role = role
        self.name = role.__name__  # of the log files and messages
        self.total_games = total_games
        self.games_at_once = games_per_worker
        self.options = {**options, "games_at_once": games_per_worker}
        self.slots: list[WorkerSlot] = []
        self.stats = ServerStats()
        self.fatal: list[tuple[int, str]] = []
        self.health = Health(self, stall_seconds)
        self._started_at = 0.0
        self.abort_reason: str | None = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> None:
        self._started_at = time.perf_counter()
        running = self.workers.ready()
        self.workers.next_game.value = 0
        for worker, (process, conn) in enumerate(running):
            # A worker owes us its first message from the start.
            self.slots.append(WorkerSlot(process, conn, silent_since=time.perf_counter()))
            try:
                conn.send((self.role, self.total_games, self.options, self.log_path(worker)))
            except OSError:
                pass  # it is gone already; the health check reports it
        log.debug("%s: %d worker(s), %d game(s) at once each, logs in %s", self.name, len(running),
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
        """Starts the job, serves it to the end and stops its workers where
        they are its own or the job did not end by itself; returns whether
        the run was interrupted. Ctrl-C stops the workers cleanly (results
        that still arrive are handled); a second Ctrl-C, or any other error,
        ends them at once."""
        interrupted = False
        self.start()
        server = Server(self, evaluator, handler)
        try:
            server.serve(tick, max_batch, batch_wait)
            if self.own_workers or self.active or self.abort_reason is not None:
                self.stop(server)
            else:
                self._finish_job()
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
        self._tell_stop()
        deadline = time.monotonic() + timeout
        while self.active and time.monotonic() < deadline:
            for ready in wait(self.open_conns(), POLL):
                server.receive_messages(self._index_of(ready), None, stopping=True)
            self.health.check(server.handler, server.receive_messages, stopping=True)
        self._finish()

    def terminate(self) -> None:
        """Ends the workers at once (second Ctrl-C, or an error)."""
        self._tell_stop()
        self._finish(grace=0.0)

    def _tell_stop(self) -> None:
        """No new games, and no more replies: each worker's recv sees the
        end of its pipe, while what it still sends can be read."""
        self.workers.stop_flag.set()
        for slot in self.slots:
            _end_replies(slot.conn)

    def _index_of(self, conn) -> int:
        return next(i for i, slot in enumerate(self.slots) if slot.conn is conn)

    def _finish_job(self) -> None:
        for worker, slot in enumerate(self.slots):
            if not slot.done:  # it died, was ended, or cannot run: the next job gets a new one
                self.workers.retire(worker)
        if not self.stats.wall:
            self.stats.wall = time.perf_counter() - self._started_at

    def _finish(self, grace: float = 1.0) -> None:
        self.workers.end(grace)
        self._finish_job()
        if self.own_workers:
            self.workers.close()


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
