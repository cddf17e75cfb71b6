"""The channel between the inference server (main process) and a worker
process: one two-way pipe per worker, carrying evaluation requests in
batches and everything else as control messages.

A worker process plays K games at once, each on its own thread with its
own ``id`` (worker * K + thread). The engine's ``put`` lands in the
process's ``Batcher``, which sends one message per batch to the server once
every game thread of the process waits for a reply; the server answers the
whole batch with one message, and the batcher's reader thread hands each
reply to the thread whose ``recv`` waits for it. One message per batch, not
per request, is what keeps the round trips from limiting the pipeline.

Messages from a worker (pickled tuples, see ``workers`` for the control
messages):
- ``("eval", requests)``: a list of requests ``(id, planes)`` (network 0,
  the model) or ``(id, planes, net)``; ``planes`` is packed into 2000 bytes
  (0 or 1, plane-major, then row, then column), which is as cheap to make as
  pickling the nested lists and saves the server (the bottleneck) unpickling
  them and turning them into an array.

Messages to a worker (raw bytes): a pickled list of ``(id, reply)``, each
reply an encoded ``(policy, values)`` (``decode_reply``): b"R" and the 404
entries as 32-bit floats, which is what the engine keeps of them anyway, or
any other pickled pair.

A worker killed mid-message harms nobody else: its pipe is its own.
"""

from __future__ import annotations

import pickle
import struct
import threading
import time

from . import _rules

PROTOCOL = pickle.HIGHEST_PROTOCOL


# The engine's 5 x 20 x 20 nested lists of bools as 2000 bytes.
pack_planes = _rules.pack_planes

RAW_REPLY = b"R"
_POLICY = struct.Struct("=400f")
_VALUES = struct.Struct("=4f")
_RAW_SIZE = 1 + _POLICY.size + _VALUES.size


def decode_reply(payload: bytes):
    """(policy, values) lists from an encoded reply."""
    if payload[:1] == RAW_REPLY and len(payload) == _RAW_SIZE:
        return _POLICY.unpack_from(payload, 1), _VALUES.unpack_from(payload, 1 + _POLICY.size)
    return pickle.loads(payload)


class _Slot:
    """Where one game thread's reply lands. ``ready`` is a plain lock held
    while the thread waits (cheaper to hand over than an Event): the thread
    blocks acquiring it, the reader thread releases it."""

    __slots__ = ("ready", "reply")

    def __init__(self) -> None:
        self.ready = threading.Lock()
        self.ready.acquire()
        self.reply = None

    def wake(self) -> None:
        if self.ready.locked():
            self.ready.release()


class Batcher:
    """The worker-process end of the pipe, shared by its K game threads.

    Requests gather until every thread that is in a game waits for a reply,
    then go out as one message. A reader thread takes the server's answers
    off the pipe and wakes the waiting threads; when the pipe ends (the
    server stops the workers, or is gone) every waiting ``recv`` raises
    EOFError, which ends its game.
    """

    def __init__(self, conn, first_id: int, threads: int) -> None:
        self.conn = conn
        self.first_id = first_id
        self.lock = threading.Lock()
        self.send_lock = threading.Lock()
        self.slots = [_Slot() for _ in range(threads)]
        self.pending: list = []
        self.in_game = 0  # threads inside a game call
        self.waiting = 0  # of those, threads that have put and not yet been answered
        self.closed = False
        self.reader = threading.Thread(target=self._read, name="tarnex-replies", daemon=True)
        self.reader.start()

    # -- game threads ---------------------------------------------------

    def game_started(self) -> None:
        with self.lock:
            self.in_game += 1

    def game_ended(self) -> None:
        with self.lock:
            self.in_game -= 1
            self._flush_if_all_wait()

    def put(self, request) -> None:
        with self.lock:
            if self.closed:
                raise EOFError("the inference server has stopped answering")
            self.pending.append(request)
            self.waiting += 1
            self._flush_if_all_wait()

    def recv(self, game_id: int):
        slot = self.slots[game_id - self.first_id]
        if not self.closed:
            slot.ready.acquire()
        reply, slot.reply = slot.reply, None
        if reply is None:
            raise EOFError("the inference server has stopped answering")
        return decode_reply(reply)

    def send(self, message) -> None:
        """A control message to the server (any thread)."""
        with self.send_lock:
            self.conn.send(message)

    def _flush_if_all_wait(self) -> None:
        # Called with the lock held.
        if self.pending and self.waiting >= self.in_game:
            batch, self.pending = self.pending, []
            try:
                self.send(("eval", batch))
            except OSError:
                self._close_locked()

    # -- the reader thread ----------------------------------------------

    def _read(self) -> None:
        try:
            while True:
                answers = pickle.loads(self.conn.recv_bytes())
                with self.lock:
                    for game_id, reply in answers:
                        index = game_id - self.first_id
                        if 0 <= index < len(self.slots):
                            self.waiting -= 1
                            self.slots[index].reply = reply
                            self.slots[index].wake()
        except (EOFError, OSError, pickle.UnpicklingError, TypeError, ValueError):
            with self.lock:
                self._close_locked()

    def _close_locked(self) -> None:
        self.closed = True
        self.pending = []
        for slot in self.slots:
            slot.wake()


class GameChannel:
    """What one game thread hands the engine: ``put`` (planes packed, tagged
    for network ``net`` when given) and ``recv`` through the batcher, timed
    so that the time in the engine itself can be told from the time in
    transport."""

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
        packed = pack_planes(request[1])
        self.batcher.put((request[0], packed) if self.net is None else (request[0], packed, self.net))
        self.put_seconds += time.perf_counter() - start
        self.calls += 1

    def recv(self):
        start = time.perf_counter()
        try:
            return self.batcher.recv(self.game_id)
        finally:
            self.recv_seconds += time.perf_counter() - start
