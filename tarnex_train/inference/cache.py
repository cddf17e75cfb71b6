"""The evaluation cache: replies by position, within a memory budget."""

from __future__ import annotations

from collections import OrderedDict


class ReplyCache:
    """Replies by (player, planes), least recently used dropped first, within
    a memory budget. Exact: a position's reply depends on nothing but its
    planes and the network, so a hit is the reply the network would give."""

    ENTRY_OVERHEAD = 200  # dict slot, tuple and bytes headers

    def __init__(self, megabytes: float) -> None:
        self.budget = int(megabytes * 2**20)
        self.used = 0
        self.entries: OrderedDict = OrderedDict()

    def get(self, key):
        payload = self.entries.get(key)
        if payload is not None:
            self.entries.move_to_end(key)
        return payload

    def put(self, key, payload: bytes) -> None:
        size = len(key[1]) + len(payload) + self.ENTRY_OVERHEAD
        if size > self.budget or key in self.entries:
            return
        self.entries[key] = payload
        self.used += size
        while self.used > self.budget:
            old_key, old = self.entries.popitem(last=False)
            self.used -= len(old_key[1]) + len(old) + self.ENTRY_OVERHEAD

    def __len__(self) -> int:
        return len(self.entries)
