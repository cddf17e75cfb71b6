"""The evaluation cache: a hit is byte for byte the reply the network gives,
and the cache keeps within its memory budget, dropping the least recently
used entries."""

import numpy as np
import torch

from conftest import TINY
from tarnex_train.inference.evaluators import NetworkEvaluator, ReplyCache
from tarnex_train.model.network import TarnexNet


def _requests(count: int, seed: int) -> list:
    rng = np.random.default_rng(seed)
    planes = (rng.random((count, 5, 20, 20)) < 0.3).astype(np.uint8)
    planes[:, 4, 0, 0] = 1  # at least one legal tile
    return [(i, planes[i].tobytes()) for i in range(count)]


def test_cached_replies_are_the_networks_own():
    torch.manual_seed(0)
    net = TarnexNet(TINY)
    plain = NetworkEvaluator([net], "cpu", threads=1)
    cached = NetworkEvaluator([net], "cpu", threads=1, cache_mb=1.0)
    first = _requests(6, seed=1)
    # The second batch repeats three positions of the first and one of its own.
    second = [first[4], _requests(2, seed=2)[0], first[0], first[4], first[2]]
    assert cached(first) == plain(first)
    known = cached.lookup(second)
    assert [reply is not None for reply in known] == [True, False, True, True, True]
    assert cached.cache_hits == 4
    assert cached(second) == plain(second)
    assert cached.positions == 7  # the new position only, on top of the first six


def test_the_cache_keeps_within_its_budget_and_drops_the_least_recently_used():
    entry = 2000 + 1617 + ReplyCache.ENTRY_OVERHEAD
    cache = ReplyCache(10 * entry / 2**20)  # room for ten entries
    for n in range(10):
        cache.put((0, bytes([n]) * 2000), bytes(1617))
    assert cache.get((0, bytes([0]) * 2000)) is not None  # now the most recently used
    for n in range(10, 15):
        cache.put((0, bytes([n]) * 2000), bytes(1617))
    assert len(cache) == 10 and cache.used <= cache.budget
    assert cache.get((0, bytes([0]) * 2000)) is not None
    assert all(cache.get((0, bytes([n]) * 2000)) is None for n in range(1, 6))
    assert all(cache.get((0, bytes([n]) * 2000)) is not None for n in range(6, 15))
