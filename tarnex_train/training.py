"""Training: fit the network to written records (policy cross-entropy against
the search policy plus value cross-entropy against the value target, see
``dataset``), for the ``train`` command and for the loop."""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass, field

from .errors import OptionError
from .progress import Progress
from .settings import NetworkShape, TrainSettings, setting


class DivergedError(OptionError):
    """The loss became NaN or infinite: the learning rate is too high for
    the data, or the data is broken. Nothing is written."""


class Trainer:
    """A network with its optimiser; ``step`` fits one batch, ``measure``
    computes losses and policy entropy without learning."""

    def __init__(self, net, settings: TrainSettings, device, optimiser_state=None) -> None:
        import torch

        self.torch = torch
        self.net = net.to(device)
        self.device = device
        self.settings = settings
        self.optimiser = torch.optim.AdamW(net.parameters(), lr=settings.lr, weight_decay=settings.weight_decay)
        if optimiser_state is not None:
            self.optimiser.load_state_dict(optimiser_state)
            for group in self.optimiser.param_groups:
                group["lr"], group["weight_decay"] = settings.lr, settings.weight_decay

    def step(self, planes, policy, value, weight=None, ownership=None) -> tuple[float, float, float]:
        """One optimiser step; returns the (policy, value, ownership) losses."""
        from .network import losses

        self.net.train()
        planes, policy, value = planes.to(self.device), policy.to(self.device), value.to(self.device)
        weight = weight.to(self.device) if weight is not None else None
        ownership = ownership.to(self.device) if ownership is not None else None
        policy_loss, value_loss, ownership_loss = losses(self.net, planes, policy, value, weight, ownership)
        total = (policy_loss + self.settings.value_loss_weight * value_loss
                 + self.settings.ownership_loss_weight * ownership_loss)
        if not self.torch.isfinite(total):
            raise DivergedError(
                f"the loss is not finite (policy {policy_loss.item()}, value {value_loss.item()}); "
                "lower the learning rate or check the data"
            )
        self.optimiser.zero_grad(set_to_none=True)
        total.backward()
        self.optimiser.step()
        return policy_loss.item(), value_loss.item(), ownership_loss.item()

    def measure(self, examples, batch_size: int = 512) -> dict:
        """Mean policy loss (weighted as in training), value loss, ownership
        loss and policy entropy over ``examples``."""
        torch = self.torch
        from torch.nn import functional as F

        self.net.eval()
        sums = {"policy_loss": 0.0, "value_loss": 0.0, "ownership_loss": 0.0, "policy_entropy": 0.0}
        n, weights = len(examples), 0.0
        with torch.inference_mode():
            for start in range(0, n, batch_size):
                planes, policy, value, weight, ownership = examples.batch(slice(start, start + batch_size))
                planes, policy, value = planes.to(self.device), policy.to(self.device), value.to(self.device)
                weight = weight.to(self.device)
                log_policy, value_logits, ownership_logits = self.net.forward_training(planes)
                if ownership_logits is not None:
                    sums["ownership_loss"] += F.cross_entropy(
                        ownership_logits, ownership.to(self.device), reduction="none").mean(dim=1).sum().item()
                safe = log_policy.clamp_min(-1e4)
                sums["policy_loss"] += -((policy * safe).sum(dim=1) * weight).sum().item()
                weights += weight.sum().item()
                sums["value_loss"] += -(value * F.log_softmax(value_logits, dim=1)).sum().item()
                sums["policy_entropy"] += -(log_policy.exp() * safe).sum().item()
        if not n:
            return {name: math.nan for name in sums}
        out = {name: total / n for name, total in sums.items()}
        out["policy_loss"] = sums["policy_loss"] / weights if weights else math.nan
        return out


@dataclass(frozen=True)
class TrainOptions(TrainSettings):
    data: list = setting([], "data folders (or shard files) written by selfplay", kind=list, option=False)
    output: str = setting("model.pt", "checkpoint file to write")
    checkpoint: str = setting(None, "checkpoint to start from (default: a fresh network)", kind=str)
    steps: int = setting(1000, "optimiser steps", low=1, high=10**9)
    device: str = setting("cpu", "torch device: cpu, or cuda / cuda:N when available")
    torch_threads: int = setting(None, "CPU threads for torch (default: torch's own choice)", kind=int,
                                 low=1, high=1024)
    seed: int = setting(None, "seed for fresh network weights and data order; random when omitted", kind=int,
                        low=0, high=2**63 - 1)
    progress: bool = setting(True, "progress bar on standard error", option=False)
    shape: NetworkShape = field(default_factory=NetworkShape)

    def check(self) -> None:
        if not self.data:
            raise OptionError("no data folder given")


@dataclass
class TrainSummary:
    steps: int
    positions: int
    output: str
    start: str
    seconds: float = 0.0
    first_loss: tuple = (float("nan"), float("nan"))
    last_loss: tuple = (float("nan"), float("nan"))
    interrupted: bool = False

    def report(self) -> str:
        state = "interrupted: " if self.interrupted else ""
        return "\n".join(
            [
                f"{state}{self.steps} steps on {self.positions} positions in {self.seconds:.1f} s, from {self.start}",
                f"loss (policy + value): first batch {self.first_loss[0]:.4f} + {self.first_loss[1]:.4f}, "
                f"last {self.last_loss[0]:.4f} + {self.last_loss[1]:.4f}",
                f"checkpoint written to {self.output}",
            ]
        )


def check_writable(path: str) -> None:
    """Fails now, not after all the training, when ``path`` cannot be written."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if os.path.isdir(path):
        raise OptionError(f"output {path!r} is a folder")
    probe = os.path.join(folder, f".{os.path.basename(path)}.probe-{os.getpid()}")
    try:
        os.makedirs(folder, exist_ok=True)
        with open(probe, "wb"):
            pass
        os.unlink(probe)
    except OSError as error:
        raise OptionError(f"output {path!r} cannot be written: {error.strerror or error}") from None


def run_train(options: TrainOptions, stream=None) -> TrainSummary:
    import torch

    from .dataset import ShardDataset
    from .network import network_from, pick_device, save_checkpoint

    stream = stream if stream is not None else sys.stderr
    options.check()
    check_writable(options.output)
    if options.torch_threads:
        torch.set_num_threads(options.torch_threads)
    device = pick_device(options.device)
    dataset = ShardDataset(options.data, options)
    examples = dataset.examples
    net, description, trained_before = network_from(options.checkpoint, options.shape, options.seed)
    generator = torch.Generator()
    if options.seed is not None:
        generator.manual_seed(options.seed)
    trainer = Trainer(net, options, device)
    summary = TrainSummary(0, len(examples), options.output, description)
    progress = Progress("train", options.steps, "steps", stream, enabled=options.progress)
    started = time.monotonic()
    step = 0
    try:
        while step < options.steps:
            order = torch.randperm(len(examples), generator=generator)
            for start in range(0, len(order), options.batch_size):
                current = trainer.step(*examples.batch(order[start:start + options.batch_size]))
                step += 1
                if step == 1:
                    summary.first_loss = current
                summary.last_loss = current
                progress.update(step, f"loss {current[0]:.3f} + {current[1]:.3f}")
                if step >= options.steps:
                    break
    except KeyboardInterrupt:
        summary.interrupted = True
        progress.message(f"interrupted at step {step}: saving the network trained so far")
    summary.steps = step
    net.eval()
    record = options.to_dict()
    record.pop("progress", None)
    save_checkpoint(net, options.output, trained_before + step, settings={"train": record})
    summary.seconds = time.monotonic() - started
    progress.close(step, f"loss {summary.last_loss[0]:.3f} + {summary.last_loss[1]:.3f}")
    return summary
