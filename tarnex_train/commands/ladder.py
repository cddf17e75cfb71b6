"""``tarnex-train ladder``: a run's generations on one rating scale."""

from __future__ import annotations

import os
import sys
import time

from ..errors import OptionError
from . import EXIT_INTERRUPTED
from .checks import check_device


def main(options, given: dict) -> int:
    from ..loop.folder import RunFolder
    from ..loop.ladder import Ladder, table
    from ..loop.metrics import MetricsLog
    from ..loop.plots import draw_progress

    check_device(options.device.device)
    folder = RunFolder(options.run)
    done = int(folder.read_state().get("generations_done", 0)) if os.path.isdir(options.run) else 0
    if not done:
        raise OptionError(f"{options.run}: no complete generation to rate")
    ladder = Ladder(folder, options.pool, options.device, options.cluster, options.display, sys.stderr)
    wanted = sorted({g for g in range(done) if g % options.every == 0} | {done - 1})
    todo = [g for g in wanted if g not in ladder.rated()]
    interrupted = False
    try:
        for g in todo:
            print(f"ladder: rating generation {g}", file=sys.stderr, flush=True)
            ladder.add(g, options.games, options.sims, seed=options.seeding.seed)
    except KeyboardInterrupt:
        interrupted = True
    ratings = ladder.ratings()
    if ratings:
        metrics = MetricsLog(options.run)
        metrics.write({"kind": "ladder", "generation": done - 1, "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                       "ratings": ratings})
        metrics.close()
        draw_progress(options.run, metrics.records())
        print(table(ratings), flush=True)
    return EXIT_INTERRUPTED if interrupted else 0
