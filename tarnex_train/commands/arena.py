"""``tarnex-train arena``: a match of any four players (``--seats``), or
test games of a model (seat 0) against a baseline (seats 1 to 3)."""

from __future__ import annotations

import logging

from ..errors import OptionError
from .exits import finish
from .checks import check_checkpoints, check_device, check_folder_writable

log = logging.getLogger(__name__)


def main(options, given: dict) -> int:
    check_device(options.device.device)
    if options.seats:
        from ..play.match import run_match

        if options.model is not None or options.baseline is not None:
            raise OptionError("--seats names all four players: leave out --model and --baseline")
        if not any(seat.startswith("search:") for seat in options.seats):
            _warn_search_options(given, "no seat is one")
        if options.save_games:
            check_folder_writable(options.save_games, "--save-games")
        summary = run_match(options)
        # Lost games (failed, or played and not saved) fail the command; the
        # summary still shows every game that was played.
        return finish(summary, succeeded=bool(summary.games) and not summary.lost)
    from ..play.arena import run_arena

    _warn_search_options(given, "only --seats has them")
    check_checkpoints(options.model, options.baseline)
    summary = run_arena(options, calibrate=True)
    return finish(summary, succeeded=bool(summary.payoffs))


def _warn_search_options(given: dict, why: str) -> None:
    options = [f"--{name.split('.', 1)[1].replace('_', '-')}" for name in given if name.startswith("search.")]
    if options:
        log.warning("%s %s nothing here: %s only on search:CKPT:N seats, and %s", ", ".join(options),
                    "does" if len(options) == 1 else "do", "it acts" if len(options) == 1 else "they act", why)
