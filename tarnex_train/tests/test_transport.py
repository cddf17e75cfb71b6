"""The worker side of the batched exchange: K games share one pipe, the
requests of a half of them travel together, each reply reaches the game
that asked, and a pipe that ends wakes every waiting game."""

import multiprocessing
import pickle
import threading

import pytest

from tarnex_train.pool.channel import Batcher
from tarnex_train.pool.protocol import PROTOCOL


def _play(batcher, ids, rounds, results):
    """Runs the batcher's games on a thread of their own (the test is the
    server); game ``i`` asks ``rounds`` times and keeps what it got."""

    def game(game_id):
        def play():
            try:
                got = []
                for n in range(rounds):
                    batcher.put((game_id, bytes([n]) * 2000))
                    got.append(batcher.recv(game_id))
                results[game_id] = got
            except EOFError as error:
                results[game_id] = error
        return play

    thread = threading.Thread(target=batcher.run, args=([game(i) for i in ids],))
    thread.start()
    return thread


def test_requests_of_each_half_go_out_together_and_replies_reach_their_game():
    server, worker = multiprocessing.Pipe(duplex=True)
    first, k, rounds = 8, 4, 5
    batcher = Batcher(worker, first, k)
    results = {}
    thread = _play(batcher, range(first, first + k), rounds, results)
    messages = []
    while thread.is_alive():
        if not server.poll(0.1):
            continue
        kind, requests = server.recv()
        assert kind == "eval"
        messages.append(sorted(game_id for game_id, _ in requests))
        # Answered in reverse order: routing goes by id, not by position.
        server.send_bytes(pickle.dumps(
            [(game_id, pickle.dumps((game_id, planes[0]), PROTOCOL)) for game_id, planes in reversed(requests)],
            PROTOCOL))
    thread.join()
    for game_id in range(first, first + k):
        assert results[game_id] == [(game_id, n) for n in range(rounds)]
    # Two halves take turns, each sending its games' requests as one message.
    assert sorted(map(tuple, messages)) == [(8, 10)] * rounds + [(9, 11)] * rounds


def test_a_pipe_that_ends_mid_batch_wakes_every_waiting_game():
    server, worker = multiprocessing.Pipe(duplex=True)
    batcher = Batcher(worker, 0, 3)
    results = {}
    thread = _play(batcher, range(3), 2, results)
    seen = []
    while len(seen) < 3:
        kind, requests = server.recv()
        seen += [r[0] for r in requests]
    assert sorted(seen) == [0, 1, 2]
    server.close()
    thread.join(10)
    assert not thread.is_alive()
    assert all(isinstance(results[i], EOFError) for i in range(3))
    with pytest.raises(EOFError):
        batcher.put((0, bytes(2000)))


def test_the_native_wire_helpers_decode_exactly_and_survive_lists_that_change():
    import struct

    from tarnex_train.wire import decode_reply, pack_planes

    policy = [0.0] * 200 + [1.5, 1.5, -0.0, 0.0, float("inf")] + [0.25 * n for n in range(195)]
    values = [0.1, 0.2, 0.2, -0.3]
    policy_out, values_out = decode_reply(b"R" + struct.pack("=400f", *policy) + struct.pack("=4f", *values))
    assert list(policy_out) == list(struct.unpack("=400f", struct.pack("=400f", *policy)))
    assert list(values_out) == list(struct.unpack("=4f", struct.pack("=4f", *values)))
    assert str(policy_out[202]) == "-0.0"  # equal to 0.0, but other bits: not shared with its neighbour
    assert decode_reply(pickle.dumps(([1.0] * 10, [0.5]), PROTOCOL)) == ([1.0] * 10, [0.5])

    class Shrinking:  # a cell whose truth empties its own row
        def __bool__(self):
            row.clear()
            return True

    row = [Shrinking()] + [False] * 19
    planes = [[row] + [[False] * 20 for _ in range(19)]] + [[[False] * 20 for _ in range(20)] for _ in range(4)]
    with pytest.raises(RuntimeError, match="changed size"):
        pack_planes(planes)
