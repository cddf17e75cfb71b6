"""``tarnex-train selfplay``: training games written as shards."""

from __future__ import annotations

import os

from ..errors import OptionError
from ..logs import log_to
from .exits import finish
from .checks import warn_idle, check_checkpoints, check_device


def main(options, given: dict) -> int:
    from ..play.selfplay import run_selfplay

    warn_idle(options, given)
    check_checkpoints(options.checkpoint)
    check_device(options.device.device)
    if os.path.exists(options.output) and not os.path.isdir(options.output):
        raise OptionError(f"output {options.output!r} exists and is not a folder")
    log_to(os.path.join(options.output, "logs", "selfplay.log"), options.display.log_level)
    summary = run_selfplay(options)
    return finish(summary, succeeded=summary.games_kept > 0 and summary.write_error is None)
