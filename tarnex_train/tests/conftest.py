"""Shared pieces of the end-to-end tests: tiny networks, few simulations,
and evaluators that record or tamper with what passes through the server."""

import multiprocessing
import os
import pickle
import signal

import pytest

from tarnex_train.inference.evaluators import NetworkEvaluator, ZeroEvaluator
from tarnex_train.model.network import TarnexNet
from tarnex_train.settings import NetworkShape
from tarnex_train.settings import SelfPlayOptions
from tarnex_train.settings import SearchConfig
from tarnex_train.pool.protocol import PROTOCOL

TINY = NetworkShape(channels=4, blocks=1)
# tarnex_self_play's search (the next seat's credit, visit targets): most tests
# exercise the specified module through the pipeline.
FEW_SIMS = SearchConfig(sims_per_move=4, sample_moves=10, player="search", teacher="none", credit="next",
                        policy_target="visits", considered=0)
GAMES_PER_WORKER = 2  # request ids are worker * 2 + game slot


def worker_of(request) -> int:
    return request[0] // GAMES_PER_WORKER


def tiny_options(output, **changes) -> SelfPlayOptions:
    options = dict(games=3, workers=2, games_per_worker=GAMES_PER_WORKER, search=FEW_SIMS, output=str(output), games_per_shard=2,
                   shape=TINY, seed=1, quiet=True)
    options.update(changes)
    return SelfPlayOptions.make(**options)


class RecordingEvaluator(NetworkEvaluator):
    """A tiny network that also keeps every request's planes."""

    def __init__(self):
        import torch

        torch.manual_seed(0)
        super().__init__([TarnexNet(TINY)], torch.device("cpu"), threads=1)
        self.requests = set()
        self.ids = set()

    def run(self, batch, replies=None):  # what the cache did not answer
        for request in batch:
            self.ids.add(request[0])
            self.requests.add(bytes(request[1]))
        return super().run(batch, replies)


class TamperingEvaluator(ZeroEvaluator):
    """Answers the first request from worker 0 with a text in place of the
    policy (the engine raises Exception) and the first request from worker 1
    with a 10-entry policy, too short for the legal tiles (the engine raises
    PanicException); everything else gets the zero-cost reply."""

    def __init__(self):
        super().__init__()
        self.tampered = set()

    def __call__(self, batch):
        replies = super().__call__(batch)
        for index, request in enumerate(batch):
            worker = worker_of(request)
            if worker in self.tampered:
                continue
            self.tampered.add(worker)
            if worker == 0:
                replies[index] = pickle.dumps(("not a policy", [0.25] * 4), PROTOCOL)
            elif worker == 1:
                replies[index] = pickle.dumps(([1.0] * 10, [0.25] * 4), PROTOCOL)
        return replies


class KillingEvaluator(ZeroEvaluator):
    """Kills worker 1's process when its 50th request arrives."""

    def __init__(self):
        super().__init__()
        self.seen = 0
        self.killed = False

    def __call__(self, batch):
        for request in batch:
            if worker_of(request) == 1:
                self.seen += 1
        if self.seen >= 50 and not self.killed:
            for child in multiprocessing.active_children():
                if child.name.endswith("-1"):
                    os.kill(child.pid, signal.SIGKILL)
                    child.join()
                    self.killed = True
        return super().__call__(batch)


# The engine's search, and tarnex_train's own with quick searches mixed in.
SEARCHES = {"engine": dict(credit="next", policy_target="visits", considered=0), "own": dict(credit="chooser", cheap_sims=2, full_share=0.5)}


@pytest.fixture(scope="session", params=sorted(SEARCHES))
def selfplay_run(request, tmp_path_factory):
    """One small self-play run with a recording tiny network, by each search."""
    from dataclasses import replace

    from tarnex_train.play.selfplay import run_selfplay

    output = tmp_path_factory.mktemp("selfplay")
    evaluator = RecordingEvaluator()
    search = replace(FEW_SIMS, **SEARCHES[request.param])
    summary = run_selfplay(tiny_options(output, search=search), evaluator=evaluator)
    return summary, evaluator
