"""The inference server and its worker pool.

The main process starts W worker processes (``workers.run_worker``), each
playing K games at once and each with its own pipe, then serves: it reads
the batches of requests the workers send, answers at once what the
evaluator already knows (the cache), runs the evaluator on the rest once
enough is in (in pieces of at most the batch size), and answers each
worker's requests with one message per round.
Control messages from the workers (game started, done, failed), which come
on the same pipes, are handed to the caller's handler as they arrive.

Stopping (end of work, Ctrl-C in the main process, or an error): the stop
flag keeps workers from taking new games, ending the replies on their pipes
(a half close: results still come back) ends the games in progress (their
``recv`` fails), and workers that do not exit in time are terminated.
"""

from __future__ import annotations

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

import pickle

from .transport import PROTOCOL
from .workers import run_worker


@dataclass
class ServerStats:
    wall: float = 0.0
    waiting: float = 0.0  # nothing to read
    receive: float = 0.0  # reading and unpickling messages (requests and control)
    send: float = 0.0  # writing replies
    evaluate: float = 0.0  # the evaluator (cache, network, encoding)
    handle: float = 0.0  # reading and handling workers' control messages (game results)
    evaluations: int = 0  # requests answered
    batches: int = 0  # evaluator runs
    batched: int = 0  # requests in them (the rest were answered at once)

    @property
    def mean_batch(self) -> float:
        return self.batched / self.batches if self.batches else 0.0


@dataclass
class WorkerEvent:
    kind: str  # "start", "done", "failed"
    worker: int
    game: int
    payload: object = None  # the result of a finished game, or the error text
    stats: dict = field(default_factory=dict)


class WorkerPool:
    """W worker processes of one role ("selfplay" or "arena"), K games at
    once in each, playing ``total_games`` games between them."""

    def __init__(self, role: str, workers: int, total_games: int, options: dict, log_dir: str | None = None,
                 stall_seconds: float = 300.0, games_per_worker: int = 1) -> None:
        if workers < 1 or games_per_worker < 1:
            raise ValueError("workers and games per worker must be at least 1")
        self.role = role
        self.total_games = total_games
        self.games_at_once = games_per_worker
        self.options = {**options, "games_at_once": games_per_worker}
        self.ctx = multiprocessing.get_context("spawn")
        self.next_game = self.ctx.Value("q", 0)
        self.stop_flag = self.ctx.Event()
        # Worker logs (the engine's fault reports, test boards) are kept in
        # ``log_dir`` when given; otherwise in a temporary folder removed at the end.
        self.keep_logs = log_dir is not None
        if log_dir is not None:
            os.makedirs(log_dir, exist_ok=True)
            self.log_dir = log_dir
        else:
            _remove_orphaned_logs()
            self.log_dir = tempfile.mkdtemp(prefix=f"{LOG_PREFIX}{os.getpid()}-")
        self.processes: list = []
        self.conns: list = []
        self.exited: list[bool] = []
        self.current: list[set] = []  # open games of each worker
        self.stats = ServerStats()
        self.fatal: list[tuple[int, str]] = []
        self._workers = workers
        self._started_at = 0.0
        # Since when each worker owes us a message while it has a game open
        # (None: it is answered, or has no game); one silent past
        # ``stall_seconds`` is stopped and its game reported as failed.
        self.stall_seconds = stall_seconds
        self.silent_since: list = []
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
        sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        try:
            for worker in range(self._workers):
                server_end, worker_end = self.ctx.Pipe(duplex=True)
                process = self.ctx.Process(
                    target=run_worker,
                    name=f"tarnex-{self.role}-{worker}",
                    args=(
                        self.role,
                        worker,
                        worker_end,
                        self.next_game,
                        self.total_games,
                        self.stop_flag,
                        self.log_path(worker),
                        self.options,
                    ),
                    daemon=True,
                )
                process.start()
                worker_end.close()
                self.processes.append(process)
                self.conns.append(server_end)
                self.exited.append(False)
                self.current.append(set())
                self.silent_since.append(None)
        finally:
            sys.path[:] = saved_path
            if in_main:
                signal.signal(signal.SIGINT, previous)

    def log_path(self, worker: int) -> str:
        return os.path.join(self.log_dir, f"{self.role}-worker-{worker}.log")

    def log_tail(self, worker: int, lines: int = 5) -> str:
        try:
            with open(self.log_path(worker), "rb") as f:
                text = f.read()[-4000:].decode("utf-8", "replace")
        except OSError:
            return ""
        return "\n".join(text.strip().splitlines()[-lines:])

    @property
    def elapsed(self) -> float:
        return time.perf_counter() - self._started_at if self._started_at else 0.0

    @property
    def active(self) -> int:
        return self.exited.count(False)

    def stop(self, handler, timeout: float = 5.0) -> None:
        """Stops the workers: no new games, games in progress abandoned.
        Results that arrive meanwhile still reach ``handler``."""
        self.stop_flag.set()
        for conn in self.conns:
            _end_replies(conn)
        deadline = time.monotonic() + timeout
        while self.active and time.monotonic() < deadline:
            for ready in wait(self._open_conns(), 0.05):
                self._receive_messages(self.conns.index(ready), handler, None, stopping=True)
            self._check_workers(handler, stopping=True)
        self._finish()

    def terminate(self) -> None:
        """Ends the workers at once (second Ctrl-C, or an error)."""
        self.stop_flag.set()
        for conn in self.conns:
            _end_replies(conn)
        self._finish(grace=0.0)

    def _finish(self, grace: float = 1.0) -> None:
        for process in self.processes:
            process.join(grace)
            if process.exitcode is None:
                process.terminate()
                process.join(1.0)
            if process.exitcode is None:
                process.kill()
                process.join()
        for conn in self.conns:
            conn.close()
        if not self.stats.wall:
            self.stats.wall = time.perf_counter() - self._started_at
        if not self.keep_logs:
            shutil.rmtree(self.log_dir, ignore_errors=True)

    def run(self, evaluator, handler, tick, max_batch: int, batch_wait: float, progress, interrupt_note: str) -> bool:
        """Starts the workers, serves them to the end and stops them; returns
        whether the run was interrupted. Ctrl-C stops the workers cleanly
        (results that still arrive are handled); a second Ctrl-C, or any
        other error, ends them at once. Workers that stopped without a game
        failure of their own are reported through ``progress``."""
        interrupted = False
        self.start()
        try:
            self.serve(evaluator, handler, tick, max_batch, batch_wait)
            self.stop(handler)
        except KeyboardInterrupt:
            interrupted = True
            progress.message(f"interrupted: {interrupt_note}")
            try:
                self.stop(handler)
            except KeyboardInterrupt:
                self.terminate()
        except BaseException:
            self.terminate()
            raise
        return interrupted

    # -- serving ------------------------------------------------------------

    def abort(self, reason: str) -> None:
        """Ends serving soon (the caller then stops the workers)."""
        if self.abort_reason is None:
            self.abort_reason = reason

    def _open_games(self) -> int:
        return sum(len(games) for w, games in enumerate(self.current) if not self.exited[w])

    def serve(self, evaluator, handler, tick=None, max_batch: int = 64, batch_wait: float = 0.0) -> ServerStats:
        """Answers requests until every worker has exited.

        ``handler(event)`` gets each WorkerEvent; ``tick()`` is called about
        four times a second. What the evaluator knows at once (``lookup``:
        the cache, the random player) is answered as soon as it arrives, so
        those games go on and their next requests can join the batch. The
        rest waits for the network, which runs once ``max_batch`` requests
        are in, or every open game waits for one, or the first of them has
        waited ``batch_wait`` seconds. An evaluator without ``lookup`` is
        run on whatever has arrived.
        """
        stats = self.stats
        lookup = getattr(evaluator, "lookup", None)
        if lookup is None:
            batch_wait = 0.0
        fresh: list = []  # (worker, request) just read
        waiting: list = []  # (worker, request) for the network
        perf = time.perf_counter
        next_check = perf() + 0.25
        deadline = 0.0
        while (self.active or waiting) and self.abort_reason is None:
            if not waiting:
                self._receive(0.1, fresh, handler)
            elif len(waiting) < max_batch and len(waiting) < self._open_games() and perf() < deadline:
                self._receive(deadline - perf(), fresh, handler)
            if fresh:
                if not waiting:
                    deadline = perf() + batch_wait
                self._sort_out(lookup, fresh, waiting)
                fresh.clear()
            if perf() >= next_check:
                next_check = perf() + 0.25
                self._check_workers(handler)
                if tick is not None:
                    tick()
            if waiting and (len(waiting) >= max_batch or len(waiting) >= self._open_games() or perf() >= deadline
                            or not self.active):
                self._answer(evaluator, waiting, max_batch)
                waiting.clear()
        stats.wall = perf() - self._started_at
        return stats

    def _sort_out(self, lookup, fresh: list, waiting: list) -> None:
        """Answers the fresh requests the evaluator knows at once; the rest
        join ``waiting``."""
        if lookup is None:
            waiting.extend(fresh)
            return
        began = time.perf_counter()
        known = lookup([request for _, request in fresh])
        answers: dict[int, list] = {}
        for (worker, request), payload in zip(fresh, known):
            if payload is None:
                waiting.append((worker, request))
            else:
                answers.setdefault(worker, []).append((request[0], payload))
        self.stats.evaluate += time.perf_counter() - began
        self._send_answers(answers)

    def _answer(self, evaluator, pending: list, max_batch: int) -> None:
        """Evaluates the pending requests, in pieces of at most ``max_batch``,
        and sends each worker one message with all of its replies."""
        stats, perf = self.stats, time.perf_counter
        answers: dict[int, list] = {}
        for start in range(0, len(pending), max_batch):
            piece = pending[start:start + max_batch]
            began = perf()
            payloads = evaluator([request for _, request in piece])
            stats.evaluate += perf() - began
            stats.batches += 1
            stats.batched += len(piece)
            for (worker, request), payload in zip(piece, payloads):
                answers.setdefault(worker, []).append((request[0], payload))
        self._send_answers(answers)

    def _send_answers(self, answers: dict) -> None:
        stats, perf = self.stats, time.perf_counter
        began = perf()
        for worker, replies in answers.items():
            stats.evaluations += len(replies)
            if self.exited[worker]:
                continue
            try:
                self.conns[worker].send_bytes(pickle.dumps(replies, PROTOCOL))
                self.silent_since[worker] = perf() if self.current[worker] else None
            except (OSError, ValueError):
                pass  # the worker is gone; _check_workers reports it
        stats.send += perf() - began

    def _open_conns(self) -> list:
        return [conn for worker, conn in enumerate(self.conns) if not self.exited[worker] and not conn.closed]

    def _receive(self, timeout: float, pending: list, handler) -> bool:
        """Waits up to ``timeout`` for messages and reads what is there;
        returns whether anything was."""
        began = time.perf_counter()
        ready = wait(self._open_conns(), timeout)
        self.stats.waiting += time.perf_counter() - began
        for conn in ready:
            self._receive_messages(self.conns.index(conn), handler, pending)
        return bool(ready)

    def _receive_messages(self, worker: int, handler, pending: list | None, stopping: bool = False) -> None:
        """Reads every message waiting on the worker's pipe: requests go to
        ``pending`` (dropped when None, while stopping), control messages to
        ``_control``. A pipe that ends (the worker exited or was killed,
        perhaps mid-message) is closed here; ``_check_workers`` reports a
        worker that did not say goodbye."""
        conn, perf, stats = self.conns[worker], time.perf_counter, self.stats
        try:
            while not conn.closed and conn.poll(0):
                began = perf()
                item = conn.recv()
                if item[0] != "eval":
                    self._control(item, handler, stopping)
                    stats.handle += perf() - began
                    continue
                self.silent_since[worker] = None
                if pending is not None and not self.exited[worker]:
                    first = worker * self.games_at_once
                    pending.extend((worker, r) for r in item[1]
                                   if isinstance(r[0], int) and first <= r[0] < first + self.games_at_once)
                stats.receive += perf() - began
        except (EOFError, OSError):
            conn.close()

    def _control(self, item, handler, stopping: bool = False) -> None:
        kind, worker = item[0], item[1]
        games = self.current[worker]
        if kind == "start":
            games.add(item[2])
            self.silent_since[worker] = time.perf_counter()
            if not stopping:
                handler(WorkerEvent("start", worker, item[2]))
        elif kind == "done":
            games.discard(item[2])
            handler(WorkerEvent("done", worker, item[2], item[3], item[4]))
        elif kind == "failed":
            games.discard(item[2])
            if not stopping:
                handler(WorkerEvent("failed", worker, item[2], item[3], item[4]))
        elif kind == "fatal":
            self.exited[worker] = True
            self.fatal.append((worker, item[2]))
            self._fail_open_games(worker, item[2], handler, stopping)
        elif kind == "exit":
            self.exited[worker] = True
        if not games:
            self.silent_since[worker] = None

    def _fail_open_games(self, worker: int, text: str, handler, stopping: bool) -> None:
        games, self.current[worker] = sorted(self.current[worker]), set()
        self.silent_since[worker] = None
        if not stopping:
            for game in games:
                handler(WorkerEvent("failed", worker, game, text))

    def _check_workers(self, handler, stopping: bool = False) -> None:
        now = time.perf_counter()
        for worker, process in enumerate(self.processes):
            since = self.silent_since[worker]
            if not self.exited[worker] and process.exitcode is None and since is not None \
                    and now - since > self.stall_seconds:
                self._end_stuck(worker, handler, stopping, now - since)
                continue
            if self.exited[worker] or process.exitcode is None:
                continue
            # Messages it sent before exiting (its "exit" among them) come first;
            # requests among them have nobody left to answer.
            self._receive_messages(worker, handler, None, stopping)
            if self.exited[worker]:
                continue
            self.exited[worker] = True
            text = f"worker process stopped unexpectedly (exit code {process.exitcode})"
            tail = self.log_tail(worker)
            if tail:
                text += "; its last output:\n" + tail
            self.fatal.append((worker, text))
            self._fail_open_games(worker, text, handler, stopping)


    def _end_stuck(self, worker: int, handler, stopping: bool, silent: float) -> None:
        """A worker silent with its game open (stopped, deadlocked, swapped
        out for good): report it, end it, let the others go on."""
        self.exited[worker] = True
        games = sorted(self.current[worker])
        process = self.processes[worker]
        try:
            os.kill(process.pid, signal.SIGKILL)
        except OSError:
            pass
        process.join(5.0)
        self.conns[worker].close()
        named = f"game {games[0]}" if len(games) == 1 else f"games {', '.join(map(str, games))}"
        text = f"worker silent for {silent:.0f} s with {named} open: stopped and {'its game' if len(games) == 1 else 'they are'} skipped"
        self.fatal.append((worker, text))
        self._fail_open_games(worker, text, handler, stopping)


def make_pool(role: str, options, games: int, worker_options: dict, log_dir):
    """The worker pool of this machine, or the nodes of a Ray cluster."""
    if options.cluster.ray:
        from .cluster.ray_pool import RayPool

        return RayPool(role, options.cluster, options, games, worker_options, log_dir)
    return WorkerPool(role, options.processes(), games, worker_options, log_dir=log_dir,
                      stall_seconds=options.stall_seconds, games_per_worker=options.games_at_once(games=games))


LOG_PREFIX = "tarnex-train-"


def _remove_orphaned_logs() -> None:
    """Temporary log folders of runs whose process is gone (killed before it
    could clean up) are removed by the next run."""
    import glob

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
