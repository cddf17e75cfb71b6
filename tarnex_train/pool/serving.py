"""The server loop of the local pool: reads the batches of requests the
workers send, answers at once what the evaluator already knows (the cache,
the random player), runs the evaluator on the rest when ``batching`` says
so (in pieces of at most the batch size), and answers each worker's
requests with one message per round. Control messages from the workers
(game started, done, failed), which come on the same pipes, are handed to
the handler as they arrive."""

from __future__ import annotations

import logging
import pickle
import time
from multiprocessing.connection import wait

from .api import WorkerEvent
from .batching import receive_timeout, run_network_now
from .protocol import PROTOCOL, Message

log = logging.getLogger(__name__)

IDLE_WAIT = 0.1  # seconds to wait for messages when no request is waiting
CHECK_EVERY = 0.25  # seconds between health checks and progress ticks


class Server:
    def __init__(self, pool, evaluator, handler) -> None:
        self.pool = pool
        self.evaluator = evaluator
        self.handler = handler
        self.lookup = getattr(evaluator, "lookup", None)
        # What _sort_out did not find is not looked up again on the way in.
        self.run = evaluator.run if self.lookup is not None else evaluator
        self.stats = pool.stats

    def serve(self, tick=None, max_batch: int = 64, batch_wait: float = 0.0):
        """Answers requests until every worker has exited (or the pool is
        aborted). ``tick()`` is called about four times a second. An
        evaluator with ``lookup`` answers what it knows at once and is
        ``run`` on the rest; one without is called on whatever has
        arrived."""
        pool, perf = self.pool, time.perf_counter
        if self.lookup is None:
            batch_wait = 0.0
        fresh: list = []  # (worker, request) just read
        waiting: list = []  # (worker, request) for the network
        next_check = perf() + CHECK_EVERY
        deadline = 0.0
        while (pool.active or waiting) and pool.abort_reason is None:
            timeout = receive_timeout(len(waiting), max_batch, pool.open_games(), perf(), deadline, IDLE_WAIT)
            if timeout is not None:
                self._receive(timeout, fresh)
            if fresh:
                if not waiting:
                    deadline = perf() + batch_wait
                self._sort_out(fresh, waiting)
                fresh.clear()
            if perf() >= next_check:
                next_check = perf() + CHECK_EVERY
                pool.health.check(self.handler, self.receive_messages)
                if tick is not None:
                    tick()
            if run_network_now(len(waiting), max_batch, pool.open_games(), perf(), deadline, bool(pool.active)):
                self._answer(waiting, max_batch)
                waiting.clear()
        self.stats.wall = pool.elapsed
        return self.stats

    def _sort_out(self, fresh: list, waiting: list) -> None:
        """Answers the fresh requests the evaluator knows at once; the rest
        join ``waiting``."""
        if self.lookup is None:
            waiting.extend(fresh)
            return
        began = time.perf_counter()
        known = self.lookup([request for _, request in fresh])
        answers: dict[int, list] = {}
        for (worker, request), payload in zip(fresh, known):
            if payload is None:
                waiting.append((worker, request))
            else:
                answers.setdefault(worker, []).append((request[0], payload))
        self.stats.evaluate += time.perf_counter() - began
        self._send_answers(answers)

    def _answer(self, pending: list, max_batch: int) -> None:
        """Evaluates the pending requests, in pieces of at most ``max_batch``,
        and sends each worker one message with all of its replies."""
        stats, perf = self.stats, time.perf_counter
        answers: dict[int, list] = {}
        for start in range(0, len(pending), max_batch):
            piece = pending[start:start + max_batch]
            began = perf()
            payloads = self.run([request for _, request in piece])
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
            slot = self.pool.slots[worker]
            if slot.exited:
                continue
            try:
                slot.conn.send_bytes(pickle.dumps(replies, PROTOCOL))
                slot.silent_since = perf()  # it owes us its next requests
            except (OSError, ValueError):
                pass  # the worker is gone; the health check reports it
        stats.send += perf() - began

    def _receive(self, timeout: float, pending: list) -> bool:
        """Waits up to ``timeout`` for messages and reads what is there;
        returns whether anything was."""
        began = time.perf_counter()
        ready = wait(self.pool.open_conns(), timeout)
        self.stats.waiting += time.perf_counter() - began
        for conn in ready:
            self.receive_messages(self.pool._index_of(conn), pending)
        return bool(ready)

    def receive_messages(self, worker: int, pending: list | None, stopping: bool = False) -> None:
        """Reads every message waiting on the worker's pipe: requests go to
        ``pending`` (dropped when None, while stopping), control messages to
        ``_control``. A pipe that ends (the worker exited or was killed,
        perhaps mid-message) is closed here; the health check reports a
        worker that did not say goodbye."""
        slot, perf, stats = self.pool.slots[worker], time.perf_counter, self.stats
        conn = slot.conn
        while True:
            began = perf()
            # Only the pipe's own failures mean a gone worker: what the
            # handler raises (a game that cannot be saved, say) is its own
            # fault and goes up to the caller as it is.
            try:
                if conn.closed or not conn.poll(0):
                    return
                item = conn.recv()
            except (EOFError, OSError):
                conn.close()
                return
            if item[0] != Message.EVAL:
                self._control(item, stopping)
                stats.handle += perf() - began
                continue
            slot.silent_since = None  # we owe it the replies
            if pending is not None and not slot.exited:
                first = worker * self.pool.games_at_once
                pending.extend((worker, r) for r in item[1]
                               if isinstance(r[0], int) and first <= r[0] < first + self.pool.games_at_once)
            stats.receive += perf() - began

    def _control(self, item, stopping: bool = False) -> None:
        kind, worker = item[0], item[1]
        slot = self.pool.slots[worker]
        # Whatever it said, it owes us its next message now.
        slot.silent_since = time.perf_counter()
        if kind == Message.START:
            slot.games.add(item[2])
            if not stopping:
                self.handler(WorkerEvent(Message.START, worker, item[2]))
        elif kind == Message.DONE:
            slot.games.discard(item[2])
            self.handler(WorkerEvent(Message.DONE, worker, item[2], item[3], item[4]))
        elif kind == Message.FAILED:
            slot.games.discard(item[2])
            log.warning("%s game %s failed on worker %s: %s", self.pool.name, item[2], worker, item[3])
            if not stopping:
                self.handler(WorkerEvent(Message.FAILED, worker, item[2], item[3], item[4]))
        elif kind == Message.FATAL:
            slot.exited = True
            self.pool.fatal.append((worker, item[2]))
            log.error("%s worker %s cannot run: %s", self.pool.name, worker, item[2])
            self.pool.health.fail_open_games(worker, item[2], self.handler, stopping)
        elif kind == Message.EXIT:
            slot.exited = slot.done = True
            slot.silent_since = None
