"""When the server runs the network: the batching policy as a pure function
of what is waiting, so it can be reasoned about and tested on its own.

Requests the cache cannot answer wait for the network. It runs once the
batch is full, or every open game waits for it (nothing more can come), or
the first waiting request has waited ``batch_wait`` seconds, or no worker is
left to send more."""

from __future__ import annotations


def run_network_now(waiting: int, max_batch: int, open_games: int, now: float, deadline: float,
                    workers_active: bool) -> bool:
    """Whether the ``waiting`` requests should go to the network now."""
    if not waiting:
        return False
    return waiting >= max_batch or waiting >= open_games or now >= deadline or not workers_active


def receive_timeout(waiting: int, max_batch: int, open_games: int, now: float, deadline: float,
                    idle: float) -> float | None:
    """How long to wait for more messages before deciding again: ``idle``
    with nothing waiting, the time left to the deadline while more requests
    may join, None when the network should run without waiting."""
    if not waiting:
        return idle
    if waiting < max_batch and waiting < open_games and now < deadline:
        return deadline - now
    return None
