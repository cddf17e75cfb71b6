"""``tarnex-train arena``: test games of a model against a baseline."""

from __future__ import annotations

from . import finish
from .checks import check_checkpoints, check_device


def main(options, given: dict) -> int:
    from ..play.arena import run_arena

    check_checkpoints(options.model, options.baseline)
    check_device(options.device.device)
    summary = run_arena(options)
    return finish(summary, succeeded=bool(summary.payoffs))
