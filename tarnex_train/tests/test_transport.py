"""The worker side of the batched exchange: K game threads share one pipe,
their requests travel together, each reply reaches the thread that asked,
and a pipe that ends wakes every waiting thread."""

import multiprocessing
import pickle
import threading

import pytest

from tarnex_train.transport import PROTOCOL, Batcher


def _games(batcher, ids, rounds, results):
    ids = list(ids)
    all_in_game = threading.Barrier(len(ids))

    def play(game_id):
        batcher.game_started()
        all_in_game.wait()
        try:
            got = []
            for n in range(rounds):
                batcher.put((game_id, bytes([n]) * 2000))
                got.append(batcher.recv(game_id))
            results[game_id] = got
        except EOFError as error:
            results[game_id] = error
        finally:
            batcher.game_ended()

    threads = [threading.Thread(target=play, args=(i,)) for i in ids]
    for t in threads:
        t.start()
    return threads


def test_requests_of_all_waiting_games_go_out_together_and_replies_reach_their_game():
    server, worker = multiprocessing.Pipe(duplex=True)
    first, k, rounds = 8, 4, 5
    batcher = Batcher(worker, first, k)
    results = {}
    threads = _games(batcher, range(first, first + k), rounds, results)
    messages = 0
    while any(t.is_alive() for t in threads):
        if not server.poll(0.1):
            continue
        kind, requests = server.recv()
        assert kind == "eval"
        messages += 1
        # Answered in reverse order: routing goes by id, not by position.
        server.send_bytes(pickle.dumps(
            [(game_id, pickle.dumps((game_id, planes[0]), PROTOCOL)) for game_id, planes in reversed(requests)],
            PROTOCOL))
    for t in threads:
        t.join()
    for game_id in range(first, first + k):
        assert results[game_id] == [(game_id, n) for n in range(rounds)]
    # Every thread waits before anything is sent, so rounds go out whole.
    assert messages == rounds


def test_a_pipe_that_ends_mid_batch_wakes_every_waiting_game():
    server, worker = multiprocessing.Pipe(duplex=True)
    batcher = Batcher(worker, 0, 3)
    results = {}
    threads = _games(batcher, range(3), 2, results)
    kind, requests = server.recv()
    assert sorted(r[0] for r in requests) == [0, 1, 2]
    server.close()
    for t in threads:
        t.join(10)
        assert not t.is_alive()
    assert all(isinstance(results[i], EOFError) for i in range(3))
    with pytest.raises(EOFError):
        batcher.put((0, bytes(2000)))
