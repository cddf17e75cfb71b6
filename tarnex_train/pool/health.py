"""Health of the local pool's workers: one that exited without saying
goodbye (killed, crashed) or went silent past the stall limit (stopped,
deadlocked, swapped out for good) is reported, ended, and its open games
are reported as failed, so the others go on and the run ends."""

from __future__ import annotations

import logging
import os
import signal
import time

from .api import WorkerEvent
from .protocol import Message

log = logging.getLogger(__name__)

KILL_WAIT = 5.0  # seconds to wait for a killed worker to be reaped


class Health:
    def __init__(self, pool, stall_seconds: float) -> None:
        self.pool = pool
        self.stall_seconds = stall_seconds

    def check(self, handler, receive, stopping: bool = False) -> None:
        """``receive(worker, pending, stopping)`` reads what a worker sent."""
        pool, now = self.pool, time.perf_counter()
        for worker, slot in enumerate(pool.slots):
            exitcode = slot.process.exitcode
            if not slot.exited and exitcode is None and slot.silent_since is not None \
                    and now - slot.silent_since > self.stall_seconds:
                self._end_stuck(worker, handler, stopping, now - slot.silent_since)
                continue
            if slot.exited or exitcode is None:
                continue
            # Messages it sent before exiting (its goodbye among them) come
            # first; requests among them have nobody left to answer.
            receive(worker, None, stopping)
            if slot.exited:
                continue
            slot.exited = True
            text = f"worker process stopped unexpectedly (exit code {exitcode})"
            tail = pool.log_tail(worker)
            if tail:
                text += "; its last output:\n" + tail
            pool.fatal.append((worker, text))
            log.error("%s worker %s: %s", pool.name, worker, text)
            self.fail_open_games(worker, text, handler, stopping)

    def fail_open_games(self, worker: int, text: str, handler, stopping: bool) -> None:
        slot = self.pool.slots[worker]
        games, slot.games = sorted(slot.games), set()
        slot.silent_since = None
        if not stopping:
            for game in games:
                handler(WorkerEvent(Message.FAILED, worker, game, text))

    def _end_stuck(self, worker: int, handler, stopping: bool, silent: float) -> None:
        slot = self.pool.slots[worker]
        slot.exited = True
        games = sorted(slot.games)
        try:
            os.kill(slot.process.pid, signal.SIGKILL)
        except OSError:
            pass
        slot.process.join(KILL_WAIT)
        slot.conn.close()
        if not games:
            named = "no game open"
        elif len(games) == 1:
            named = f"game {games[0]} open: stopped and its game skipped"
        else:
            named = f"games {', '.join(map(str, games))} open: stopped and they are skipped"
        text = f"worker silent for {silent:.0f} s with {named}"
        self.pool.fatal.append((worker, text))
        log.error("%s worker %s: %s", self.pool.name, worker, text)
        self.fail_open_games(worker, text, handler, stopping)
