"""The channels between the inference server (main process) and the workers.

One ``RequestQueue`` is shared by all workers: its ``put`` is what the engine
calls with each evaluation request ``(id, planes)``. Each worker has its own
two-way pipe: the server answers the requests carrying that worker's ``id``
on it (the engine reads each reply with the pipe's ``recv``), and the worker
sends its control messages (game started, done, failed; see ``workers``) on
it the other way.

Messages on the request queue:
- ``(id, planes)``: an evaluation request for network 0 (the model);
- ``(id, planes, net)``: an evaluation request for network ``net``;
  ``planes`` is packed by the worker into 2000 bytes (0 or 1, plane-major,
  then row, then column), which is as cheap to make as pickling the nested
  lists and saves the server (the bottleneck) unpickling them and turning
  them into an array.

The queue has no lock. A lock shared between processes stays taken for good
when its holder is killed, which would hang every other worker; instead
every request is written in a single write of at most PIPE_BUF bytes, which
the kernel keeps whole: writers never interleave, and a killed writer leaves
either its whole request or nothing. Game results, which are large, travel on
the worker's own pipe, where a worker killed mid-message harms nobody else.

Worker-side wrappers pack the planes and time the engine's calls to ``put``
and ``recv``, so that the time in the engine itself can be told from the time
in transport.
"""

from __future__ import annotations

import pickle
import select
import time
from multiprocessing.connection import Connection

PROTOCOL = pickle.HIGHEST_PROTOCOL


class RequestQueue:
    """A many-writer, one-reader queue of evaluation requests over one pipe,
    without a lock or a feeder thread: ``put`` pickles in the caller and
    writes the message in one atomic write, so a request is on its way when
    ``put`` returns. The reading side (the server) can wait with a time-out
    and tell waiting from reading.
    """

    # The connection's 4-byte length header and the message go out in one write.
    MAX_MESSAGE = select.PIPE_BUF - 4

    def __init__(self, ctx) -> None:
        self._reader, self._writer = ctx.Pipe(duplex=False)

    def __getstate__(self):
        # Workers get the writing end only: when the main process is gone,
        # nothing reads the queue any more and their writes fail at once
        # instead of filling the pipe and blocking.
        return {"_reader": None, "_writer": self._writer}

    def put(self, item) -> None:
        data = pickle.dumps(item, PROTOCOL)
        if len(data) > self.MAX_MESSAGE:
            raise ValueError(f"request of {len(data)} bytes is too large for one atomic pipe write")
        self._writer.send_bytes(data)

    # Reading side: only the process that created the queue reads it.
    @property
    def reader(self) -> Connection:
        return self._reader

    def poll(self, timeout: float = 0.0) -> bool:
        return self._reader.poll(timeout)

    def get(self):
        return pickle.loads(self._reader.recv_bytes())


def pack_planes(planes) -> bytes:
    """The engine's 5 x 20 x 20 nested lists of bools as 2000 bytes."""
    return b"".join([bytes(row) for plane in planes for row in plane])


class TimedPut:
    """The queue object handed to the engine: forwards ``put`` (planes
    packed) and adds up the time spent in it (packing, pickling, writing)."""

    __slots__ = ("_put", "seconds", "calls")

    def __init__(self, put) -> None:
        self._put = put
        self.seconds = 0.0
        self.calls = 0

    def put(self, request) -> None:
        start = time.perf_counter()
        self._put((request[0], pack_planes(request[1])))
        self.seconds += time.perf_counter() - start
        self.calls += 1


class TaggedPut(TimedPut):
    """Like ``TimedPut``, marking each request for network ``net``."""

    __slots__ = ("net",)

    def __init__(self, put, net: int) -> None:
        super().__init__(put)
        self.net = net

    def put(self, request) -> None:
        start = time.perf_counter()
        self._put((request[0], pack_planes(request[1]), self.net))
        self.seconds += time.perf_counter() - start
        self.calls += 1


class TimedRecv:
    """The pipe object handed to the engine: forwards ``recv`` and adds up
    the time spent waiting for and reading replies."""

    __slots__ = ("_recv", "seconds")

    def __init__(self, connection: Connection) -> None:
        self._recv = connection.recv
        self.seconds = 0.0

    def recv(self):
        start = time.perf_counter()
        try:
            return self._recv()
        finally:
            self.seconds += time.perf_counter() - start
