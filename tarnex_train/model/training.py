"""Training: fit the network to records (policy cross-entropy against the
search policy plus value cross-entropy against the value target, see
``data.dataset``). ``fit`` is the one training loop, used by the ``train``
command and by the learning loop."""

from __future__ import annotations

import math
from dataclasses import dataclass

from ..errors import OptionError
from ..settings import TrainSettings


class DivergedError(OptionError):
    """The loss became NaN or infinite: the learning rate is too high for
    the data, or the data is broken. Nothing is written."""


class Trainer:
    """A network with its optimiser; ``step`` fits one batch, ``measure``
    computes losses and policy entropy without learning."""

    def __init__(self, net, settings: TrainSettings, device, optimiser_state=None) -> None:
        import torch

        from .device import training_dtype

        self.torch = torch
        self.net = net.to(device)
        self.device = device
        self.settings = settings
        self.dtype = training_dtype(settings.precision, torch.device(device))
        self.optimiser = torch.optim.AdamW(net.parameters(), lr=settings.lr, weight_decay=settings.weight_decay)
        if optimiser_state is not None:
            self.optimiser.load_state_dict(optimiser_state)
            for group in self.optimiser.param_groups:
                group["lr"], group["weight_decay"] = settings.lr, settings.weight_decay

    def step(self, planes, pieces, policy, value, weight=None, ownership=None, mirror=None) \
            -> tuple[float, float, float]:
        """One optimiser step on a batch as ``Examples.batch`` gives it,
        the positions where ``mirror`` (B,) is true reflected (see
        ``features.symmetry``); returns the (policy, value, ownership)
        losses."""
        from .losses import losses

        torch = self.torch
        self.net.train()
        pieces = self.net.complete_side(planes, pieces)
        if mirror is not None:
            from ..features.symmetry import reflect

            planes, pieces, policy, ownership = reflect(mirror, planes, pieces, policy, ownership)
        planes = planes.to(self.device, memory_format=torch.channels_last)
        pieces, policy, value = pieces.to(self.device), policy.to(self.device), value.to(self.device)
        weight = weight.to(self.device) if weight is not None else None
        ownership = ownership.to(self.device) if ownership is not None else None
        # The network's outputs come back in float32 (see its heads), so the
        # losses and their gradients start in full precision.
        with torch.autocast(self.device.type, dtype=self.dtype, enabled=self.dtype != torch.float32):
            policy_loss, value_loss, ownership_loss = losses(self.net, planes, pieces, policy, value, weight,
                                                             ownership)
        total = (policy_loss + self.settings.value_loss_weight * value_loss
                 + self.settings.ownership_loss_weight * ownership_loss)
        if not torch.isfinite(total):
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
        loss and policy entropy over ``examples``, and how much of what a
        value can learn the value has: ``value_gap_closed``, the share of
        the gap between a uniform guess (log 4) and the targets' own entropy
        (the least any value can score) that its cross-entropy closes,
        overall and per quarter of the games (``..._by_quarter``); and how
        far the value of each seat moves from one position of a game to the
        next, on average, where a piece is completed (the move passes on)
        and where it is not (``value_step_at_completion``, ``..._within_turn``):
        a value that jumps where the turn passes, though nothing is learnt
        by it, misleads a search that compares tiles across that step."""
        torch = self.torch
        from torch.nn import functional as F

        self.net.eval()
        sums = {"policy_loss": 0.0, "value_loss": 0.0, "ownership_loss": 0.0, "policy_entropy": 0.0}
        n, weights = len(examples), 0.0
        quarters = getattr(examples, "quarter", None)
        value_sums = torch.zeros(2, 4, dtype=torch.float64)  # (cross-entropy, target entropy) per quarter
        counts = torch.zeros(4, dtype=torch.float64)
        shares = []  # each position's value shares, mover first
        with torch.inference_mode():
            for start in range(0, n, batch_size):
                planes, pieces, policy, value, weight, ownership = examples.batch(slice(start, start + batch_size))
                pieces = self.net.complete_side(planes, pieces)
                planes, pieces = planes.to(self.device), pieces.to(self.device)
                policy, value, weight = policy.to(self.device), value.to(self.device), weight.to(self.device)
                log_policy, value_logits, ownership_logits = self.net.forward_training(planes, pieces)
                if ownership_logits is not None:
                    sums["ownership_loss"] += F.cross_entropy(
                        ownership_logits, ownership.to(self.device), reduction="none").mean(dim=1).sum().item()
                safe = log_policy.clamp_min(-1e4)
                sums["policy_loss"] += -((policy * safe).sum(dim=1) * weight).sum().item()
                weights += weight.sum().item()
                each = -(value * F.log_softmax(value_logits, dim=1)).sum(dim=1)
                sums["value_loss"] += each.sum().item()
                shares.append(value_logits.float().softmax(dim=1).cpu())
                if quarters is not None:
                    quarter = quarters[start:start + batch_size]
                    floor = -(value * value.clamp_min(1e-12).log()).sum(dim=1)
                    for row, values in enumerate((each, floor)):
                        value_sums[row].index_add_(0, quarter, values.double().cpu())
                    counts.index_add_(0, quarter, torch.ones(len(quarter), dtype=torch.float64))
                sums["policy_entropy"] += -(log_policy.exp() * safe).sum().item()
        if not n:
            return {name: math.nan for name in sums}
        out = {name: total / n for name, total in sums.items()}
        out["policy_loss"] = sums["policy_loss"] / weights if weights else math.nan
        if quarters is not None:
            out["value_gap_closed"] = _gap_closed(value_sums[0].sum().item(), value_sums[1].sum().item(), n)
            out["value_gap_closed_by_quarter"] = [
                _gap_closed(value_sums[0, q].item(), value_sums[1, q].item(), counts[q].item()) for q in range(4)]
        if getattr(examples, "mover", None) is not None:
            out.update(_value_steps(torch.cat(shares), examples.mover, examples.game_key))
        return out


def _value_steps(shares, mover, game_key) -> dict:
    """Mean absolute change of every seat's value share between consecutive
    positions of a game, where the mover changes and where it does not."""
    seats = (mover[:, None] + _torch().arange(4)[None, :]) % 4
    by_seat = _torch().zeros_like(shares).scatter_(1, seats, shares)  # by absolute seat
    same_game = game_key[1:] == game_key[:-1]
    passes = mover[1:] != mover[:-1]
    steps = (by_seat[1:] - by_seat[:-1]).abs().mean(dim=1)
    mean = lambda chosen: steps[chosen].mean().item() if chosen.any() else math.nan
    return {"value_step_at_completion": mean(same_game & passes),
            "value_step_within_turn": mean(same_game & ~passes)}


def _torch():
    import torch

    return torch


def _gap_closed(cross_entropy: float, floor: float, n: float) -> float:
    """The share of the gap between a uniform guess and the floor that a
    value's summed cross-entropy closes (NaN where there is no gap)."""
    if not n:
        return math.nan
    gap = math.log(4) - floor / n
    return (math.log(4) - cross_entropy / n) / gap if gap > 1e-9 else math.nan


@dataclass
class FitResult:
    steps: int = 0
    first_loss: tuple = (math.nan, math.nan, math.nan)
    last_loss: tuple = (math.nan, math.nan, math.nan)
    interval: dict | None = None  # mean losses of the last logging interval


LOSS_NAMES = ("policy", "value", "ownership")  # the order Trainer.step returns them in


def loss_text(losses) -> str:
    """The losses of a step as a progress line shows them, each named."""
    return "losses: " + ", ".join(f"{name} {value:.3f}" for name, value in zip(LOSS_NAMES, losses))


def fit(trainer: Trainer, examples, steps: int, generator, result: FitResult | None = None, progress=None,
        on_interval=None, every: int = 25) -> FitResult:
    """``steps`` optimiser steps on batches of ``examples``, drawn as
    shuffled passes over all of them (each example once per pass).
    ``on_interval(step, mean losses)`` is called every ``every`` steps and
    after the last. ``result`` (given or made) is kept up to date step by
    step, so a caller that catches Ctrl-C knows how far it got."""
    import torch

    if not len(examples):
        raise OptionError("no positions to train on")
    result = result if result is not None else FitResult()
    batch_size = min(trainer.settings.batch_size, len(examples))
    # Convolutions run faster on channels-last tensors; the network goes back
    # to the usual layout for whatever uses it next (export, inference).
    trainer.net.to(memory_format=torch.channels_last)
    try:
        sums, count, step = [0.0, 0.0, 0.0], 0, 0
        while step < steps:
            order = torch.randperm(len(examples), generator=generator)
            for start in range(0, len(order) - batch_size + 1, batch_size):
                mirror = torch.rand(batch_size, generator=generator) < 0.5 if trainer.settings.mirror else None
                current = trainer.step(*examples.batch(order[start:start + batch_size]), mirror=mirror)
                step += 1
                result.steps = step
                if step == 1:
                    result.first_loss = current
                result.last_loss = current
                sums = [a + b for a, b in zip(sums, current)]
                count += 1
                if on_interval is not None and (step % every == 0 or step == steps):
                    result.interval = {"policy_loss": sums[0] / count, "value_loss": sums[1] / count,
                                       "ownership_loss": sums[2] / count}
                    on_interval(step, result.interval)
                    sums, count = [0.0, 0.0, 0.0], 0
                if progress is not None:
                    progress.update(step, loss_text(current))
                if step >= steps:
                    break
    finally:
        trainer.net.to(memory_format=torch.contiguous_format)
    return result
