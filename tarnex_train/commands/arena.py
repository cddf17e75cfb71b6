"""``tarnex-train arena``: a match of any four players (``--seats``), or
test games of a model (seat 0) against a baseline (seats 1 to 3)."""

from __future__ import annotations

from ..errors import OptionError
from . import finish
from .checks import check_checkpoints, check_device


def main(options, given: dict) -> int:
    check_device(options.device.device)
    if options.seats:
        from ..play.match import run_match

        if options.model is not None or options.baseline is not None:
            raise OptionError("--seats names all four players: leave out --model and --baseline")
        summary = run_match(options)
        return finish(summary, succeeded=bool(summary.games))
    from ..play.arena import run_arena

    check_checkpoints(options.model, options.baseline)
    summary = run_arena(options)
    return finish(summary, succeeded=bool(summary.payoffs))
