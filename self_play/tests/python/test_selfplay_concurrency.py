"""Games served from elsewhere: a second process behind real multiprocessing
queues and pipes, and several threads playing at once. Every answer is
routed by the id that travels with each request."""

import multiprocessing
import os
import pickle
import queue as queue_module
import threading

import pytest

import tarnex_self_play
from selfplay_support import (
    CELLS,
    FLAT_VALUES,
    PAYOFF_SHARES,
    RISING_REPLY,
    RecordingQueue,
    ReplyPipe,
    check_test_game_requests,
    check_training_against_requests,
    config,
)

FALLING_REPLY = ([2.0 - i / CELLS for i in range(CELLS)], FLAT_VALUES)


def peaked_reply(request):
    """Positive only at the legal cell furthest along the mover's frame."""
    legal = [y * 20 + x for y, row in enumerate(request[1][4]) for x, cell in enumerate(row) if cell]
    policy = [0.0] * CELLS
    policy[max(legal)] = 1.0
    return (policy, FLAT_VALUES)


def reply_for(network, request):
    if network == "inference":
        return RISING_REPLY
    if network == "model":
        return FALLING_REPLY
    return peaked_reply(request)


def serve(queues, pipes, results):
    """The second process: one thread per request queue answers each request
    on the pipe of its id, and records it; at the end the record goes back."""
    recorded = {caller: [] for caller in pipes}

    def answer(network, requests):
        while True:
            request = requests.get()
            if request is None:
                return
            caller = request[0]
            recorded[caller].append((network, request))
            pipes[caller].send(reply_for(network, request))

    threads = [threading.Thread(target=answer, args=item) for item in queues.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    results.put(recorded)


def test_games_served_by_another_process(capfd):
    context = multiprocessing.get_context("fork")
    queues = {name: context.Queue() for name in ("inference", "model", "baseline")}
    ends = {caller: context.Pipe() for caller in (1, 2)}
    results = context.Queue()
    server = context.Process(target=serve, args=(queues, {c: e[1] for c, e in ends.items()}, results))
    server.start()
    outcome = {}

    def training():
        outcome["training"] = tarnex_self_play.play_training_game(1, config(), queues["inference"], ends[1][0])

    def test():
        outcome["test"] = tarnex_self_play.play_test_game(2, queues["model"], queues["baseline"], ends[2][0])

    try:
        players = [threading.Thread(target=training, daemon=True), threading.Thread(target=test, daemon=True)]
        for player in players:
            player.start()
        for player in players:
            player.join(timeout=120)
        assert not any(player.is_alive() for player in players)
    finally:
        for requests in queues.values():
            requests.put(None)
        recorded = results.get(timeout=60)
        server.join(timeout=60)
    assert server.exitcode == 0

    assert {network for network, _ in recorded[1]} == {"inference"}
    check_training_against_requests(outcome["training"], [r for _, r in recorded[1]], sims=1, expected_id=1,
                                    greedy_rising=True)

    assert outcome["test"] in PAYOFF_SHARES
    check_test_game_requests(recorded[2], 2)
    assert capfd.readouterr().out.startswith("Finished Game\n")


class ThreadPipe:
    def __init__(self):
        self.inbox = queue_module.Queue()

    def recv(self):
        return self.inbox.get(timeout=60)


class SharedRequests:
    def __init__(self):
        self.requests = queue_module.Queue()

    def put(self, request):
        self.requests.put(request)


def test_four_threads_play_at_once():
    shared = SharedRequests()
    pipes = {caller: ThreadPipe() for caller in (10, 11, 12, 13)}
    recorded = {caller: [] for caller in pipes}

    def answer():
        while True:
            request = shared.requests.get()
            if request is None:
                return
            recorded[request[0]].append(request)
            pipes[request[0]].inbox.put(RISING_REPLY)

    server = threading.Thread(target=answer, daemon=True)
    server.start()
    results, failures = {}, []

    def play(caller):
        try:
            results[caller] = tarnex_self_play.play_training_game(caller, config(), shared, pipes[caller])
        except BaseException as e:  # noqa: B036 - reported below
            failures.append((caller, e))

    players = [threading.Thread(target=play, args=(caller,), daemon=True) for caller in pipes]
    for player in players:
        player.start()
    for player in players:
        player.join(timeout=120)
    shared.put(None)
    server.join(timeout=60)
    assert failures == []
    for caller in pipes:
        check_training_against_requests(results[caller], recorded[caller], sims=1, expected_id=caller,
                                        greedy_rising=True)


def flat_game():
    """A training game's history under a flat policy: the order among equal
    priors, and so every move, is drawn by the thread's generator."""
    flat = ([1.0] * CELLS, FLAT_VALUES)
    queue = RecordingQueue()
    return tarnex_self_play.play_training_game(0, config(), queue, ReplyPipe(queue, lambda n, request: flat))[0]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_children_play_their_own_games():
    histories = [flat_game()]  # the parent's generator is made and used
    for _ in range(3):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: never return into the test runner
            code = 1
            try:
                os.close(read_end)
                with os.fdopen(write_end, "wb") as out:
                    pickle.dump(flat_game(), out)
                code = 0
            finally:
                os._exit(code)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as received:
            histories.append(pickle.load(received))
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    histories.append(flat_game())  # the parent's next game
    assert all(len(history) > 0 for history in histories)
    assert len({tuple(history) for history in histories}) == len(histories)
