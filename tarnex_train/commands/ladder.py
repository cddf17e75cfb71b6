"""``tarnex-train ladder``: a run's generations on one rating scale."""

from __future__ import annotations

import os
import sys
import time

from ..errors import OptionError
from .exits import EXIT_INTERRUPTED
from .checks import check_device


def main(options, given: dict) -> int:
    from ..loop.folder import RUN_FILE, RunFolder
    from ..loop.ladder import Ladder, table
    from ..loop.metrics import MetricsLog
    from ..loop.plots import draw_progress

    check_device(options.device.device)
    if not os.path.isdir(options.run):
        raise OptionError(f"run folder {options.run!r} does not exist")
    if not os.path.exists(os.path.join(options.run, RUN_FILE)):
        raise OptionError(f"{options.run!r} holds no {RUN_FILE}: not a run folder")
    folder = RunFolder(options.run)
    done = int(folder.read_state().get("generations_done", 0))
    if not done:
        raise OptionError(f"{options.run}: no complete generation to rate")
    ladder = Ladder(folder, options.pool, options.device, options.cluster, options.display, sys.stderr)
    wanted = sorted({g for g in range(done) if g % options.every == 0} | {done - 1})
    todo = [g for g in wanted if g not in ladder.rated()]
    # Every network is looked for before the first game, not after an hour of them.
    missing = [folder.trained_path(g) for g in todo if not os.path.isfile(folder.trained_path(g))]
    if missing:
        raise OptionError(f"{options.run}: its state counts {done} complete generation(s), but {missing[0]} is "
                          f"missing{f' (and {len(missing) - 1} more)' if len(missing) > 1 else ''}")
    interrupted = False
    rated_before = len(ladder.games())
    try:
        for g in todo:
            print(f"ladder: rating generation {g}", file=sys.stderr, flush=True)
            ladder.add(g, options.games, options.sims, seed=options.seeding.seed)
    except KeyboardInterrupt:
        interrupted = True
    ratings = ladder.ratings()
    if ratings and len(ladder.games()) > rated_before:
        # Only a fit over new games is a new record: a rerun with nothing to
        # rate prints the table again and leaves metrics.jsonl alone.
        metrics = MetricsLog(options.run)
        metrics.write({"kind": "ladder", "generation": done - 1, "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                       "ratings": ratings})
        metrics.close()
        draw_progress(options.run, metrics.records())
    if ratings:
        print(table(ratings), flush=True)
    return EXIT_INTERRUPTED if interrupted else 0
