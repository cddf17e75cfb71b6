"""Evaluators: turn a batch of requests into encoded replies.

A batch is a list of requests ``(id, planes)`` or ``(id, planes, player)``
(planes: the 5 x 20 x 20 board planes in the mover's frame, packed into 2000
bytes by ``pool.channel.pack_planes``; ``player``: which of the evaluator's
players answers, 0 when absent). The result is one encoded reply per
request, in the same order: ``(policy, values)`` (400 policy entries in the
mover's frame, 4 values relative to the mover) as ``encode_replies`` makes
them: bytes that ``_match``'s games read as they are, and that the worker
turns into the two lists tarnex_self_play's engine reads
(``pool.channel.decode_reply``).

A network with piece or placement inputs also gets the positions' side
inputs (remaining pieces, placement planes), read from the packed planes in
native calls, once per network run.

``seconds`` splits each evaluator's own time into ``network`` (the forward
pass) and ``encode`` (planes to tensor, tensor to lists, pickling, cache).
"""

from __future__ import annotations

import time

from ..constants import CELLS, PLANES_SHAPE, SEATS
from ..wire import encode_replies
from .cache import ReplyCache

UNIFORM_REPLY = ([1.0] * CELLS, [1.0 / SEATS] * SEATS)
VALUE_CENTRE = 1.0 / SEATS


class ZeroEvaluator:
    """A zero-cost stand-in for the network: every request gets the same
    reply (all 400 policy entries 1.0, all values 0.25), encoded once.
    Measures the pipeline without the network."""

    def __init__(self) -> None:
        self.payload = _encoded(UNIFORM_REPLY)
        self.seconds = {"network": 0.0, "encode": 0.0}
        self.cache_hits = 0
        self.positions = 0

    def __call__(self, batch) -> list[bytes]:
        return [self.payload] * len(batch)


def _form_name(net) -> str:
    """How a network runs, for the progress line: its backend, and its
    arithmetic where that is not float32."""
    backend, precision = getattr(net, "backend", "eager"), getattr(net, "precision", "float32")
    return backend if precision == "float32" else f"{backend} {precision}"


def _player_index(request) -> int:
    """Which player a request is for: its third item, 0 without one."""
    return request[2] if len(request) > 2 else 0


def _encoded(reply) -> bytes:
    import numpy as np

    return encode_replies(np.array([reply[0]]), np.array([reply[1]]))[0]


class NetworkEvaluator:
    """Runs the networks on a batch (a request's player is the index of
    its network), once per network present in the batch, answering
    repeated positions from the cache."""

    def __init__(self, nets, device, threads: int | None = None, cache_mb: float = 0.0,
                 precision: str = "float32") -> None:
        import numpy as np
        import torch

        if threads is not None:
            # More threads than free cores make small batches many times slower.
            torch.set_num_threads(threads)
        self._np = np
        self._torch = torch
        self.device = device = torch.device(device)
        from ..features.side import side_inputs
        from ..model.network import TarnexNet
        from .exports import form

        self._side_inputs = side_inputs
        # A new list: the evaluator holds each network's inference form, and
        # a description may be built more than once.
        self.nets = []
        for net in nets:
            if isinstance(net, TarnexNet):
                net = form(net, device, precision)
            else:
                net.to(device).eval()
            self.nets.append(net)
        self.cache = ReplyCache(cache_mb) if cache_mb > 0 else None
        self.seconds = {"network": 0.0, "encode": 0.0}
        self.cache_hits = 0
        self.positions = 0  # positions run through a network

    @property
    def runs_on(self) -> str:
        """Where and how the networks run, for the progress line."""
        import torch

        forms = sorted({_form_name(net) for net in self.nets})
        if not forms:
            return ""
        threads = f", {torch.get_num_threads()} threads" if self.device.type == "cpu" else ""
        return f"network on {self.device} ({', '.join(forms)}{threads})"

    def lookup(self, batch) -> list:
        """The replies known without a network run (from the cache), None
        for the rest."""
        replies: list = [None] * len(batch)
        cache = self.cache
        for index, request in enumerate(batch):
            which = self._net_index(request)
            if cache is not None:
                hit = cache.get((which, request[1]))
                if hit is not None:
                    replies[index] = hit
                    self.cache_hits += 1
        return replies

    def __call__(self, batch) -> list[bytes]:
        began = time.perf_counter()
        known = self.lookup(batch)
        self.seconds["encode"] += time.perf_counter() - began
        return self.run(batch, known)

    def run(self, batch, replies: list | None = None) -> list[bytes]:
        """The replies to ``batch``: those of ``replies`` (from ``lookup``)
        as they are, the network's for the rest (all of them when None: a
        server that looked the batch up already). Every request has been
        through ``lookup``, which checks its player index."""
        start = time.perf_counter()
        if replies is None:
            replies = [None] * len(batch)
        # Requests the network has to see, grouped by player; equal positions
        # in one batch are run once.
        todo: dict[int, dict[bytes, list[int]]] = {}
        for index, request in enumerate(batch):
            if replies[index] is None:
                todo.setdefault(_player_index(request), {}).setdefault(request[1], []).append(index)
        network = 0.0
        for which, positions in todo.items():
            network += self._run(which, positions, replies)
        self.seconds["network"] += network
        self.seconds["encode"] += time.perf_counter() - start - network
        return replies

    def _net_index(self, request) -> int:
        which = _player_index(request)
        if not 0 <= which < len(self.nets):
            raise ValueError(f"request for player {which}, but only {len(self.nets)} are loaded")
        return which

    def _run(self, which: int, positions: dict, replies: list) -> float:
        np, torch = self._np, self._torch
        net = self.nets[which]
        keys = list(positions)
        packed = b"".join(keys)
        planes = np.frombuffer(packed, dtype=np.uint8).reshape(len(keys), *PLANES_SHAPE).astype(np.float32)
        inputs = [torch.from_numpy(planes)]
        if getattr(net, "takes_side_inputs", False):
            inputs.append(torch.from_numpy(self._side_inputs(packed, net.shape)))
        began = time.perf_counter()
        if self.device.type == "cuda":  # pinned memory: a direct, asynchronous copy
            inputs = [tensor.pin_memory().to(self.device, non_blocking=True) for tensor in inputs]
        policy, values = net.predict(*inputs)
        # The search takes a child's mean value as its Q and gives children
        # it has not visited Q = 0. Seat shares are all positive, so a child
        # once visited would outscore every unvisited one and the search
        # would stay with the first child it tried. Shares minus their mean
        # (1/4) put an unvisited child at "as good as average".
        values = values - VALUE_CENTRE
        policy, values = policy.float().cpu().numpy(), values.float().cpu().numpy()
        spent = time.perf_counter() - began
        payloads = encode_replies(policy, values)
        self.positions += len(keys)
        for key, payload in zip(keys, payloads):
            for index in positions[key]:
                replies[index] = payload
            if self.cache is not None:
                self.cache.put((which, key), payload)
        return spent
