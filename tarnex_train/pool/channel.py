"""The channel between the inference server (main process) and a worker
process: one two-way pipe per worker, carrying evaluation requests in
batches and everything else as control messages.

A worker process plays K games at once, each on its own greenlet with its
own ``id`` (worker * K + game slot), all on the process's one thread. The
engine's ``put`` lands in the process's ``Batcher``; its ``recv`` switches
back to the batcher's loop, which runs the next game until every game waits
for a reply, then sends the whole batch to the server as one message and
resumes each game once the server's answer is in.
Switching greenlets costs about a microsecond where handing the interpreter
lock from one OS thread to the next costs tens (a thread per game ran at a
third of the speed), and one message per batch, not per request, keeps the
round trips from limiting the pipeline.

Messages from a worker (pickled tuples, see ``protocol``):
- ``(EVAL, requests)``: a list of requests ``(id, planes)`` (network 0,
  the model) or ``(id, planes, net)``; ``planes`` is packed into 2000 bytes
  (0 or 1, plane-major, then row, then column), which is as cheap to make as
  pickling the nested lists and saves the server (the bottleneck) unpickling
  them and turning them into an array.

Messages to a worker (raw bytes): a pickled list of ``(id, reply)``, each
reply an encoded ``(policy, values)`` (``decode_reply``): b"R" and the 404
entries as 32-bit floats, which is what the engine keeps of them anyway, or
any other pickled pair.

``_match``'s games make the packed planes and read the raw replies
themselves (``PackedChannel``); only tarnex_self_play's, which speak in
lists, have them packed and decoded here (``GameChannel``).

A worker killed mid-message harms nobody else: its pipe is its own.
"""

from __future__ import annotations

import pickle
import time
from collections import deque

import greenlet

from ..wire import decode_reply, pack_planes
from .protocol import Message


class Batcher:
    """The worker-process end of the pipe, shared by its K games.

    ``run(games)`` plays the games (callables), each on its own greenlet,
    to their end. A game's ``put`` adds its request to the batch, its
    ``recv`` parks it until its reply is in. The games run in two halves
    that take turns: while the server answers one half's batch, the other
    half runs, so neither the worker nor the server waits for the other
    when both have work. When the pipe ends (the server stops the workers,
    or is gone) every waiting ``recv``, and any later ``put``, raises
    EOFError, which ends its game.
    """

    def __init__(self, conn, first_id: int, games: int) -> None:
        self.conn = conn
        self.first_id = first_id
        self.halves = 2 if games > 1 else 1
        self.pending: list = []
        self.replies: list = [None] * games
        self.parked: dict = {}  # slot -> greenlet waiting for its reply
        self.closed = False
        self.loop = None

    # -- the games --------------------------------------------------------

    def put(self, request) -> None:
        if self.closed:
            raise EOFError("the inference server has stopped answering")
        self.pending.append(request)

    def reply(self, game_id: int) -> bytes:
        """The game's reply as the server sent it, once it is in."""
        slot = game_id - self.first_id
        if not self.closed:
            self.parked[slot] = greenlet.getcurrent()
            self.loop.switch()
        reply, self.replies[slot] = self.replies[slot], None
        if reply is None:
            raise EOFError("the inference server has stopped answering")
        return reply

    def recv(self, game_id: int):
        return decode_reply(self.reply(game_id))

    def send(self, message) -> None:
        """A control message to the server."""
        self.conn.send(message)

    # -- the loop ---------------------------------------------------------

    def run(self, games) -> None:
        """Runs every game in ``games`` to its end. A game is a callable
        that makes its own requests through ``put``/``recv``; what it raises
        ends it, and the first such error is raised here once all are done."""
        self.loop = greenlet.getcurrent()
        errors: list = []

        def body(game):
            try:
                game()
            except BaseException as error:  # noqa: BLE001 - handed to the caller
                errors.append(error)

        slots = [greenlet.greenlet(lambda g=game: body(g)) for game in games]
        runnable = deque(slots[half::self.halves] for half in range(self.halves))
        live = len(slots)
        while live:
            if runnable:
                for game in runnable.popleft():
                    game.switch()  # returns once the game waits for a reply or ends
                    live -= game.dead
                self._send_batch()
                self._take_answers(runnable, block=False)
            elif self.parked:  # every game waits, its batch is out
                self._take_answers(runnable, block=True)
            else:
                raise RuntimeError("games are neither running nor waiting")
        if errors:
            raise errors[0]

    def _send_batch(self) -> None:
        if self.pending and not self.closed:
            batch, self.pending = self.pending, []
            try:
                self.send((Message.EVAL, batch))
            except OSError:
                self._close()

    def _take_answers(self, runnable: deque, block: bool) -> None:
        """Reads the answers that are in (waiting for one when ``block``)
        and queues the games they wake, by half; all waiting games, which
        then see the end, once the pipe has ended."""
        try:
            while not self.closed and (block or self.conn.poll()):
                woken: list = [[] for _ in range(self.halves)]
                for game_id, reply in pickle.loads(self.conn.recv_bytes()):
                    slot = game_id - self.first_id
                    waiting = self.parked.pop(slot, None)
                    if waiting is not None:
                        self.replies[slot] = reply
                        woken[slot % self.halves].append(waiting)
                runnable.extend(half for half in woken if half)
                block = block and not runnable
        except (EOFError, OSError, pickle.UnpicklingError, TypeError, ValueError):
            self._close()
        if self.closed and self.parked:
            runnable.append(list(self.parked.values()))
            self.parked = {}

    def _close(self) -> None:
        self.closed = True
        self.pending = []


class GameChannel:
    """What one game hands tarnex_self_play's engine, which speaks in
    lists: ``put`` (planes packed, tagged for network ``net`` when given)
    and ``recv`` (the reply decoded) through the batcher, timed so that the
    time in the engine itself can be told from the time in transport."""

    __slots__ = ("batcher", "game_id", "net", "put_seconds", "recv_seconds", "calls")

    def __init__(self, batcher: Batcher, game_id: int, net: int | None = None) -> None:
        self.batcher = batcher
        self.game_id = game_id
        self.net = net
        self.put_seconds = 0.0
        self.recv_seconds = 0.0
        self.calls = 0

    def put(self, request) -> None:
        start = time.perf_counter()
        self._queue(request[0], pack_planes(request[1]), start)

    def recv(self):
        return self._timed(self.batcher.recv)

    def _queue(self, game_id: int, packed: bytes, start: float) -> None:
        """Queues a request's packed planes (for this channel's network);
        its time since ``start`` counts as the put's."""
        self.batcher.put((game_id, packed) if self.net is None else (game_id, packed, self.net))
        self.put_seconds += time.perf_counter() - start
        self.calls += 1

    def _timed(self, fetch):
        start = time.perf_counter()
        try:
            return fetch(self.game_id)
        finally:
            self.recv_seconds += time.perf_counter() - start


class PackedChannel(GameChannel):
    """What one game hands ``_match``, whose requests and replies are
    already the bytes the batcher and the server pass on: ``put(id,
    planes)`` queues the planes as they come, ``recv`` hands the reply over
    as it came."""

    __slots__ = ()

    def put(self, game_id: int, planes: bytes) -> None:
        self._queue(game_id, planes, time.perf_counter())

    def recv(self) -> bytes:
        return self._timed(self.batcher.reply)
