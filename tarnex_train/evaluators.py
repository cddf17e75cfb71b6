"""Evaluators: turn a batch of requests into pickled replies.

A batch is a list of requests ``(id, planes)`` or ``(id, planes, net)``
(planes: the 5 x 20 x 20 board planes in the mover's frame, packed into 2000
bytes by ``transport.pack_planes``). The result
is one pickled reply per request, in the same order: ``(policy, values)``,
two lists of floats (400 policy entries in the mover's frame, 4 values
relative to the mover), which is the cheapest form for the engine to read.

``seconds`` splits each evaluator's own time into ``network`` (the forward
pass) and ``encode`` (planes to tensor, tensor to lists, pickling).
"""

from __future__ import annotations

import pickle
import time

from .transport import PROTOCOL


class ZeroEvaluator:
    """A zero-cost stand-in for the network: every request gets the same
    reply (all 400 policy entries 1.0, all values 0.25), pickled once.
    Measures the pipeline without the network."""

    def __init__(self) -> None:
        self.payload = pickle.dumps(([1.0] * 400, [0.25] * 4), PROTOCOL)
        self.seconds = {"network": 0.0, "encode": 0.0}

    def __call__(self, batch) -> list[bytes]:
        return [self.payload] * len(batch)


class NetworkEvaluator:
    """Runs the networks (index ``net`` of a request, 0 when absent) on a
    batch, once per network present in the batch."""

    def __init__(self, nets, device, threads: int | None = None) -> None:
        import numpy as np
        import torch

        if threads is not None:
            # More threads than free cores make small batches many times slower.
            torch.set_num_threads(threads)
        self._np = np
        self._torch = torch
        self.device = device
        self.nets = [net.to(device).eval() for net in nets]
        self.seconds = {"network": 0.0, "encode": 0.0}

    def __call__(self, batch) -> list[bytes]:
        np, torch = self._np, self._torch
        start = time.perf_counter()
        packed = b"".join([request[1] for request in batch])
        planes = np.frombuffer(packed, dtype=np.uint8).reshape(len(batch), 5, 20, 20).astype(np.float32)
        nets = [request[2] if len(request) > 2 else 0 for request in batch]
        groups: dict[int, list[int]] = {}
        for index, net in enumerate(nets):
            groups.setdefault(net, []).append(index)
        replies: list = [None] * len(batch)
        network = 0.0
        for net, indices in groups.items():
            if not 0 <= net < len(self.nets):
                raise ValueError(f"request for network {net}, but only {len(self.nets)} are loaded")
            chunk = planes if len(groups) == 1 else planes[indices]
            began = time.perf_counter()
            tensor = torch.from_numpy(chunk).to(self.device)
            policy, values = self.nets[net].predict(tensor)
            policy, values = policy.cpu().tolist(), values.cpu().tolist()
            network += time.perf_counter() - began
            for row, index in enumerate(indices):
                replies[index] = pickle.dumps((policy[row], values[row]), PROTOCOL)
        self.seconds["network"] += network
        self.seconds["encode"] += time.perf_counter() - start - network
        return replies
