"""One description of an evaluator, built the same way everywhere: in the
main process of a local run, on every node of a Ray cluster (the
description travels through Ray's object store), and in the loop, which
hands its networks over in memory instead of saving and reloading them.

A description is plain data: the networks (a request's player is an index
among them) and the cache's memory; ``build`` makes the evaluator on a
device."""

from __future__ import annotations

from dataclasses import dataclass, field

from ..settings import DeviceSettings
from .evaluators import NetworkEvaluator, ZeroEvaluator


@dataclass
class EvaluatorSpec:
    nets: list = field(default_factory=list)
    cache_mb: float = 0.0
    zero: bool = False  # the zero-cost stand-in, no network
    precision: str = "float32"  # the setting inference_precision

    @classmethod
    def zero_cost(cls) -> "EvaluatorSpec":
        return cls(zero=True)

    def build(self, device: DeviceSettings, cpus: int | None = None):
        """The evaluator, its networks on ``device`` with its threads (for
        a machine of ``cpus`` cores; default this one)."""
        if self.zero:
            return ZeroEvaluator()
        import torch

        from ..model.device import pick_device

        torch.set_num_threads(device.threads(cpus))
        return NetworkEvaluator(self.nets, pick_device(device.device), cache_mb=self.cache_mb,
                                precision=self.precision)
