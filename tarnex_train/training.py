"""Training: fit the network to written shards for a number of steps and save
a checkpoint (policy cross-entropy against the search policy plus value
cross-entropy against the final payoff shares)."""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field

from .network import NetworkShape
from .errors import OptionError
from .progress import Progress


@dataclass
class TrainOptions:
    data: list = field(default_factory=list)
    output: str = "model.pt"
    checkpoint: str | None = None
    shape: NetworkShape = field(default_factory=NetworkShape)
    steps: int = 1000
    batch_size: int = 256
    lr: float = 1e-3
    weight_decay: float = 1e-4
    device: str = "cpu"
    seed: int | None = None
    torch_threads: int | None = None
    progress: bool = True

    def check(self) -> None:
        if not self.data:
            raise OptionError("no data folder given")
        if self.steps < 1:
            raise OptionError("steps must be at least 1")
        if self.batch_size < 1:
            raise OptionError("batch size must be at least 1")
        if not self.lr > 0:
            raise OptionError("learning rate must be > 0")
        if self.weight_decay < 0:
            raise OptionError("weight decay must not be negative")
        if self.torch_threads is not None and self.torch_threads < 1:
            raise OptionError("torch threads must be at least 1")


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


def run_train(options: TrainOptions, stream=None) -> TrainSummary:
    import torch
    from torch.utils.data import DataLoader

    from .dataset import ShardDataset
    from .network import losses, network_from, pick_device, save_checkpoint

    stream = stream if stream is not None else sys.stderr
    options.check()
    if options.torch_threads:
        torch.set_num_threads(options.torch_threads)
    device = pick_device(options.device)
    dataset = ShardDataset(options.data)
    net, description, trained_before = network_from(options.checkpoint, options.shape, options.seed)
    generator = torch.Generator()
    if options.seed is not None:
        generator.manual_seed(options.seed)
    loader = DataLoader(dataset, batch_size=options.batch_size, shuffle=True, drop_last=False, generator=generator)
    net.to(device).train()
    optimiser = torch.optim.AdamW(net.parameters(), lr=options.lr, weight_decay=options.weight_decay)
    summary = TrainSummary(0, len(dataset), options.output, description)
    progress = Progress("train", options.steps, "steps", stream, enabled=options.progress)
    started = time.monotonic()
    step = 0
    try:
        while step < options.steps:
            for planes, policy, value in loader:
                planes, policy, value = planes.to(device), policy.to(device), value.to(device)
                policy_loss, value_loss = losses(net, planes, policy, value)
                optimiser.zero_grad(set_to_none=True)
                (policy_loss + value_loss).backward()
                optimiser.step()
                step += 1
                current = (policy_loss.item(), value_loss.item())
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
    save_checkpoint(net, options.output, trained_before + step)
    summary.seconds = time.monotonic() - started
    progress.close(step, f"loss {summary.last_loss[0]:.3f} + {summary.last_loss[1]:.3f}")
    return summary
