"""The inference server and its worker pool.

The main process starts W worker processes (``workers.run_worker``), each with
its own reply pipe and all sharing one request queue, then serves: it reads
every pending request from the queue (up to the batch size, optionally
waiting a moment for the rest of the busy workers), runs the evaluator once
for the batch, and writes each reply to the pipe of the request's ``id``.
Control messages from the workers (game started, done, failed), which come on
each worker's own pipe, are handed to the caller's handler as they arrive.

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
import time
from dataclasses import dataclass, field
from multiprocessing.connection import wait

from .transport import RequestQueue
from .workers import run_worker


@dataclass
class ServerStats:
    wall: float = 0.0
    waiting: float = 0.0  # nothing to read
    receive: float = 0.0  # reading and unpickling evaluation requests
    send: float = 0.0  # writing replies
    evaluate: float = 0.0  # the evaluator (network + encoding)
    handle: float = 0.0  # reading and handling workers' control messages (game results)
    evaluations: int = 0
    batches: int = 0

    @property
    def mean_batch(self) -> float:
        return self.evaluations / self.batches if self.batches else 0.0


@dataclass
class WorkerEvent:
    kind: str  # "start", "done", "failed"
    worker: int
    game: int
    payload: object = None  # the result of a finished game, or the error text
    stats: dict = field(default_factory=dict)


class WorkerPool:
    """W worker processes of one role ("selfplay" or "arena") playing
    ``total_games`` games between them."""

    def __init__(self, role: str, workers: int, total_games: int, options: dict, log_dir: str | None = None,
                 stall_seconds: float = 300.0) -> None:
        if workers < 1:
            raise ValueError("workers must be at least 1")
        self.role = role
        self.total_games = total_games
        self.options = options
        self.ctx = multiprocessing.get_context("spawn")
        self.requests = RequestQueue(self.ctx)
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
        self.current: list[int | None] = []
        self.stats = ServerStats()
        self.fatal: list[tuple[int, str]] = []
        self._workers = workers
        self._started_at = 0.0
        # Since when each worker owes us a message while its game is open
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
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        # Workers get this process's sys.path; put the folder this package was
        # imported from first, so they run the same copy (a source tree on
        # the path must not shadow the installed package with its binding).
        saved_path = list(sys.path)
        sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        try:
            for worker in range(self._workers):
                # Replies one way, control messages the other.
                server_end, worker_end = self.ctx.Pipe(duplex=True)
                process = self.ctx.Process(
                    target=run_worker,
                    name=f"tarnex-{self.role}-{worker}",
                    args=(
                        self.role,
                        worker,
                        self.requests,
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
                self.current.append(None)
                self.silent_since.append(None)
        finally:
            sys.path[:] = saved_path
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
            for ready in wait([self.requests.reader, *self._open_conns()], 0.05):
                if ready is self.requests.reader:
                    self._discard_requests()
                else:
                    self._receive_control(self.conns.index(ready), handler, stopping=True)
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

    def _busy(self) -> int:
        """Workers with a game open that are not known to be stuck."""
        return sum(1 for w, game in enumerate(self.current) if game is not None and not self.exited[w])

    def serve(self, evaluator, handler, tick=None, max_batch: int = 64, batch_wait: float = 0.0) -> ServerStats:
        """Answers requests until every worker has exited.

        ``handler(event)`` gets each WorkerEvent; ``tick()`` is called about
        four times a second. ``batch_wait`` (seconds): how long a batch smaller
        than the number of busy workers may wait for more requests.
        """
        stats = self.stats
        pending: list = []
        perf = time.perf_counter
        next_check = perf() + 0.25
        while (self.active or pending) and self.abort_reason is None:
            if not pending:
                self._receive(0.1, pending, max_batch, handler)
            if pending and batch_wait > 0:
                deadline = perf() + batch_wait
                # The target follows the workers that still have a game open.
                while len(pending) < min(max_batch, self._busy()):
                    left = deadline - perf()
                    if left <= 0 or not self._receive(left, pending, max_batch, handler):
                        break
            if perf() >= next_check:
                next_check = perf() + 0.25
                self._check_workers(handler)
                if tick is not None:
                    tick()
            if pending:
                began = perf()
                payloads = evaluator(pending)
                sent = perf()
                stats.evaluate += sent - began
                conns = self.conns
                answered = perf()
                for request, payload in zip(pending, payloads):
                    try:
                        conns[request[0]].send_bytes(payload)
                        self.silent_since[request[0]] = answered
                    except (OSError, IndexError, TypeError):
                        pass  # the worker is gone; _check_workers reports it
                stats.send += perf() - sent
                stats.evaluations += len(pending)
                stats.batches += 1
                pending.clear()
        stats.wall = perf() - self._started_at
        return stats

    def _open_conns(self) -> list:
        return [conn for worker, conn in enumerate(self.conns) if not self.exited[worker] and not conn.closed]

    def _receive(self, timeout: float, pending: list, max_batch: int, handler) -> bool:
        """Waits up to ``timeout`` for requests or control messages and reads
        what is there; returns whether anything was."""
        began = time.perf_counter()
        ready = wait([self.requests.reader, *self._open_conns()], timeout)
        self.stats.waiting += time.perf_counter() - began
        for channel in ready:
            if channel is self.requests.reader:
                self._read_requests(pending, max_batch)
            else:
                began = time.perf_counter()
                self._receive_control(self.conns.index(channel), handler)
                self.stats.handle += time.perf_counter() - began
        return bool(ready)

    def _read_requests(self, pending: list, max_batch: int) -> None:
        queue = self.requests
        began = time.perf_counter()
        while True:
            request = queue.get()
            pending.append(request)
            if isinstance(request[0], int) and 0 <= request[0] < len(self.silent_since):
                self.silent_since[request[0]] = None
            if len(pending) >= max_batch or not queue.poll(0):
                break
        self.stats.receive += time.perf_counter() - began

    def _discard_requests(self) -> None:
        while self.requests.poll(0):
            self.requests.get()

    def _receive_control(self, worker: int, handler, stopping: bool = False) -> None:
        """Handles every control message waiting on the worker's pipe. A pipe
        that ends (the worker exited or was killed, perhaps mid-message) is
        closed here; ``_check_workers`` reports a worker that did not say
        goodbye."""
        conn = self.conns[worker]
        try:
            while not conn.closed and conn.poll(0):
                self._control(conn.recv(), handler, stopping)
        except (EOFError, OSError):
            conn.close()

    def _control(self, item, handler, stopping: bool = False) -> None:
        kind, worker = item[0], item[1]
        self.silent_since[worker] = time.perf_counter() if kind == "start" else None
        if kind == "start":
            self.current[worker] = item[2]
            if not stopping:
                handler(WorkerEvent("start", worker, item[2]))
        elif kind == "done":
            self.current[worker] = None
            handler(WorkerEvent("done", worker, item[2], item[3], item[4]))
        elif kind == "failed":
            self.current[worker] = None
            if not stopping:
                handler(WorkerEvent("failed", worker, item[2], item[3], item[4]))
        elif kind == "fatal":
            self.exited[worker] = True
            self.fatal.append((worker, item[2]))
            game = self.current[worker]
            self.current[worker] = None
            if game is not None and not stopping:
                handler(WorkerEvent("failed", worker, game, item[2]))
        elif kind == "exit":
            self.exited[worker] = True

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
            # Messages it sent before exiting (its "exit" among them) come first.
            self._receive_control(worker, handler, stopping)
            if self.exited[worker]:
                continue
            self.exited[worker] = True
            game = self.current[worker]
            self.current[worker] = None
            text = f"worker process stopped unexpectedly (exit code {process.exitcode})"
            tail = self.log_tail(worker)
            if tail:
                text += "; its last output:\n" + tail
            self.fatal.append((worker, text))
            if game is not None and not stopping:
                handler(WorkerEvent("failed", worker, game, text))


    def _end_stuck(self, worker: int, handler, stopping: bool, silent: float) -> None:
        """A worker silent with its game open (stopped, deadlocked, swapped
        out for good): report it, end it, let the others go on."""
        self.exited[worker] = True
        self.silent_since[worker] = None
        game = self.current[worker]
        self.current[worker] = None
        process = self.processes[worker]
        try:
            os.kill(process.pid, signal.SIGKILL)
        except OSError:
            pass
        process.join(5.0)
        self.conns[worker].close()
        text = f"worker silent for {silent:.0f} s with game {game} open: stopped and its game skipped"
        self.fatal.append((worker, text))
        if game is not None and not stopping:
            handler(WorkerEvent("failed", worker, game, text))


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
