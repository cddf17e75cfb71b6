"""The shared request queue: whole messages from many writers, and no writer
that dies can stall the others."""

import multiprocessing
import os
import signal
import time

import pytest

from tarnex_train.transport import RequestQueue


def _write_forever(queue, worker):
    n = 0
    while True:
        queue.put((worker, bytes([n % 256]) * 2000))
        n += 1


def _write(queue, worker, count):
    for n in range(count):
        queue.put((worker, bytes([n % 256]) * 2000))


def _read_until(queue, predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    seen = []
    while not predicate(seen):
        assert time.monotonic() < deadline, f"only {len(seen)} messages arrived"
        if queue.poll(0.1):
            seen.append(queue.get())
    return seen


def test_concurrent_writers_deliver_whole_messages_and_a_killed_writer_blocks_nobody():
    ctx = multiprocessing.get_context("spawn")
    queue = RequestQueue(ctx)
    # A writer in a tight loop is killed at an arbitrary point of a put.
    doomed = ctx.Process(target=_write_forever, args=(queue, 7), daemon=True)
    doomed.start()
    _read_until(queue, lambda seen: len(seen) >= 50)
    os.kill(doomed.pid, signal.SIGKILL)
    doomed.join()

    writers = [ctx.Process(target=_write, args=(queue, w, 200), daemon=True) for w in (1, 2)]
    for w in writers:
        w.start()
    seen = _read_until(queue, lambda seen: sum(1 for m in seen if m[0] in (1, 2)) >= 400)
    for w in writers:
        w.join(10)
        assert w.exitcode == 0
    # Every message arrived whole, each writer's in its own order.
    for worker in (1, 2):
        payloads = [m[1] for m in seen if m[0] == worker]
        assert payloads == [bytes([n % 256]) * 2000 for n in range(200)]
    assert all(m[0] in (1, 2, 7) and len(m[1]) == 2000 and len(set(m[1])) == 1 for m in seen)


def test_a_request_too_large_for_one_atomic_write_is_refused():
    queue = RequestQueue(multiprocessing.get_context("spawn"))
    queue.put((0, bytes(2000), 1))
    assert queue.get() == (0, bytes(2000), 1)
    with pytest.raises(ValueError, match="too large"):
        queue.put((0, bytes(RequestQueue.MAX_MESSAGE)))
    assert not queue.poll(0)
