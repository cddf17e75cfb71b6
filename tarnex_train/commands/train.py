"""``tarnex-train train``: fit the network to written shards and save a
checkpoint."""

from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass

from ..errors import OptionError
from ..progress import Progress
from .exits import EXIT_INTERRUPTED
from .checks import check_checkpoints, check_device, check_writable


@dataclass
class TrainSummary:
    steps: int
    positions: int
    output: str
    start: str
    seconds: float = 0.0
    first_loss: tuple = (math.nan, math.nan)
    last_loss: tuple = (math.nan, math.nan)
    interrupted: bool = False

    def report(self) -> str:
        state = "interrupted: " if self.interrupted else ""
        return "\n".join([
            f"{state}{self.steps} steps on {self.positions} positions in {self.seconds:.1f} s, from {self.start}",
            f"loss (policy + value): first batch {self.first_loss[0]:.4f} + {self.first_loss[1]:.4f}, "
            f"last {self.last_loss[0]:.4f} + {self.last_loss[1]:.4f}",
            f"checkpoint written to {self.output}",
        ])


def run_train(options, stream=None) -> TrainSummary:
    import torch

    from ..data.dataset import ShardDataset
    from ..model.checkpoints import network_from, save_checkpoint
    from ..model.device import pick_device
    from ..model.training import FitResult, Trainer, fit, loss_text

    stream = stream if stream is not None else sys.stderr
    if not options.data:
        raise OptionError("no data folder given")
    check_checkpoints(options.checkpoint)
    check_writable(options.output)
    torch.set_num_threads(options.device.threads())
    device = pick_device(options.device.device)
    examples = ShardDataset(options.data, options.train).examples
    seed = options.seeding.seed
    net, description, trained_before = network_from(options.checkpoint, options.shape, seed)
    generator = torch.Generator()
    if seed is not None:
        generator.manual_seed(seed)
    trainer = Trainer(net, options.train, device)
    summary = TrainSummary(0, len(examples), options.output, description)
    progress = Progress("train", options.steps, "steps", stream, enabled=not options.display.quiet)
    started = time.monotonic()
    result = FitResult()
    try:
        fit(trainer, examples, options.steps, generator, result, progress)
    except KeyboardInterrupt:
        summary.interrupted = True
        progress.message(f"interrupted at step {result.steps}: saving the network trained so far")
    summary.steps = result.steps
    summary.first_loss, summary.last_loss = result.first_loss[:2], result.last_loss[:2]
    net.eval()
    record = options.to_dict()
    record.pop("display", None)
    save_checkpoint(net, options.output, trained_before + result.steps, settings={"train": record})
    summary.seconds = time.monotonic() - started
    progress.close(result.steps, loss_text(result.last_loss))
    return summary


def main(options, given: dict) -> int:
    check_device(options.device.device)
    summary = run_train(options)
    print(summary.report(), flush=True)
    return EXIT_INTERRUPTED if summary.interrupted else 0
