"""``tarnex-train loop``: generations of self-play -> training on the window
-> strength tests -> promotion, in one run folder (``folder``).

After a kill the same command goes on where it stopped: a generation's
finished games are kept and only the missing ones are played, an
unfinished training or test is redone from its inputs (``phases``), and a
completed generation is never repeated. Networks pass from one phase to
the next in memory; the files are for resuming and for the user.
"""

from __future__ import annotations

import logging
import math
import os
import shutil
import sys
import time
from dataclasses import dataclass, field

from ..constants import EQUAL_ROTATED
from ..data.window import Window
from ..files import atomic_write, describe_os_error, write_json
from ..inference import exports
from ..logs import log_to
from ..pool.local import Workers
from ..progress import format_seconds
from ..settings import ClusterSettings, DeviceSettings, Display, LoopSettings
from ..stats import interval, rating_interval
from . import phases
from .folder import RunFolder, lock_run, open_run
from .ladder import table
from .metrics import MetricsLog, clean
from .plots import draw_progress
from .resume import GENERATION_FILE, prepare

log = logging.getLogger(__name__)


def format_share(share) -> str:
    return f"{100 * share:.0f}%" if isinstance(share, (int, float)) and math.isfinite(share) else "?"


@dataclass
class LoopSummary:
    run_dir: str
    generations_done: int = 0
    generations_this_time: int = 0
    resumed: bool = False
    interrupted: bool = False
    last: dict = field(default_factory=dict)

    def report(self) -> str:
        state = "interrupted: " if self.interrupted else ""
        lines = [f"{state}{self.generations_done} generation(s) complete in {self.run_dir} "
                 f"({self.generations_this_time} this time{', resumed' if self.resumed else ''})"]
        if self.last:
            r = self.last
            s, e, g = r["vs_random"], r["equal_players"], r["rating"]
            lines.append(
                f"generation {r['generation']}: vs three random seats {s['mean']:.3f} [{s['low']:.3f}, {s['high']:.3f}] "
                f"(equal players {e['mean']:.3f}); rating {g['rating']:.0f} [{g['low']:.0f}, {g['high']:.0f}]"
            )
            lines.append(f"best network: {os.path.join(self.run_dir, 'best.pt')}; "
                         f"picture: {os.path.join(self.run_dir, 'progress.png')}")
        return "\n".join(lines)


class Loop:
    def __init__(self, run_dir: str, settings: LoopSettings, stream, cluster: ClusterSettings,
                 device: DeviceSettings, display: Display) -> None:
        self.folder = RunFolder(run_dir)
        self.settings = settings
        self.cluster = cluster
        self.device = device
        self.display = display
        self.stream = stream
        self.state = self.folder.read_state()
        self.metrics = MetricsLog(run_dir)
        self.window = Window(settings.holdout_every, placements=settings.shape.placement_inputs)
        self.networks: dict = {}  # generation -> its trained network, kept in memory
        self.workers = None  # the generation's worker processes, shared by its phases (pool.local.Workers)
        self.started = time.monotonic()
        self.wall_before = float(self.state.get("wall_seconds", 0.0))
        self.phase = "checking the run folder"  # named with a file error (a full disk)
        self.working = False  # whether the state has anything new to save

    def wall_seconds(self) -> float:
        return self.wall_before + time.monotonic() - self.started

    def save_state(self) -> None:
        self.state["wall_seconds"] = self.wall_seconds()
        self.folder.write_state(self.state)

    def close(self, quietly: bool = False) -> None:
        """Saves the state (its wall time) once work began, and closes the
        metrics; ``quietly``: a failure to save is only logged (another error
        is on its way)."""
        self.metrics.close()
        try:
            if self.working:
                self.save_state()
        except OSError as error:
            if not quietly:
                raise
            log.error("the run state could not be saved: %s", describe_os_error(error))

    def say(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()
        log.info(text)

    def run(self, generations: int | None, minutes: float | None, summary: LoopSummary) -> None:
        # On resume, the generations whose positions still reach the window
        # (read first: a damaged shard is found before any work).
        have = 0
        for g in range(self.state["generations_done"] - 1, -1, -1):
            if have >= self.settings.window_positions:
                break
            have += self.window.add(g, self.folder.data_dir(g))
        self.working = True
        self.phase = "writing the first network"
        self._first_network()
        self.phase = "calibration"
        phases.calibrate(self)
        began, last_duration = time.monotonic(), 0.0
        while generations is None or self.state["generations_done"] < generations:
            g = self.state["generations_done"]
            if minutes is not None:
                used = time.monotonic() - began
                if used + last_duration > minutes * 60.0:
                    self.say(f"loop: {format_seconds(used)} used of {minutes:g} minutes; "
                             "no time for another generation")
                    break
            started = time.monotonic()
            record = self.generation(g)
            last_duration = time.monotonic() - started
            summary.generations_this_time += 1
            summary.generations_done = g + 1
            summary.last = record

    def _first_network(self) -> None:
        path = self.folder.network_path(0)
        if os.path.exists(path):
            return
        import torch

        from ..model.checkpoints import save_checkpoint
        from ..model.network import TarnexNet

        if self.settings.seeding.seed is not None:
            torch.manual_seed(self.settings.seeding.seed)
        save_checkpoint(TarnexNet(self.settings.shape), path, 0, settings={"loop": self.settings.to_dict()})

    def generation(self, g: int) -> dict:
        self.phase = f"generation {g}"
        os.makedirs(self.folder.gen_dir(g), exist_ok=True)
        self.say(f"== generation {g}")
        if not self.cluster.ray:
            self.workers = Workers(self.settings.pool.processes(), self.folder.logs)
        try:
            return self._generation(g)
        finally:
            if self.workers is not None:
                self.workers.close()
                self.workers = None

    def _generation(self, g: int) -> dict:
        self.phase = f"generation {g}, self-play"
        selfplay = phases.selfplay(self, g)
        self.phase = f"generation {g}, training"
        trained = phases.train(self, g)
        self.window.keep_newest(self.settings.window_positions)
        # The tests and the ladder play the trained network (and earlier
        # ones), none of which changes meanwhile: each is exported once.
        with exports.shared():
            self.phase = f"generation {g}, strength tests"
            strength = phases.strength(self, g)
            self.phase = f"generation {g}, ladder"
            ladder = phases.ladder(self, g)
        self.phase = f"generation {g}, recording"
        equal = self.state["calibration"]
        rating = rating_interval(strength["vs_random"], equal["mean"])
        vs_greedy = strength.get("vs_greedy", interval([]))
        vs_heldout = strength.get("vs_heldout", interval([]))  # absent in runs from before it was measured
        search_vs_policy = strength.get("search_vs_policy", interval([]))
        # Rotated matches: equal players score 1/4 whatever the seat.
        gain = rating_interval(strength["vs_previous"], EQUAL_ROTATED) if strength["vs_previous"]["games"] else None
        record = {
            "kind": "generation", "generation": g, "wall_seconds": self.wall_seconds(),
            "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "games": selfplay["games"],
            "positions": selfplay["positions"], "selfplay": selfplay,
            "window_positions": trained["window_positions"], "train_steps": trained["steps"],
            "total_steps": trained["total_steps"], "train": trained["train"], "heldout": trained["heldout"],
            "vs_random": strength["vs_random"], "vs_greedy": vs_greedy, "vs_heldout": vs_heldout,
            "search_vs_policy": search_vs_policy,
            "vs_previous": strength["vs_previous"],
            "equal_players": equal, "rating": rating, "gain_vs_previous": gain,
        }
        if ladder:
            record["ladder"] = ladder
        # Kept beside the generation too: metrics.jsonl can be rebuilt from it.
        write_json(os.path.join(self.folder.gen_dir(g), GENERATION_FILE), clean(record))
        self.metrics.write(record)
        self._promote(g)
        self.state["generations_done"] = g + 1
        self.state["total_steps"] = trained["total_steps"]
        self.save_state()
        draw_progress(self.folder.path, self.metrics.records())
        v = strength["vs_random"]
        line = (f"generation {g} done at {format_seconds(self.wall_seconds())}: {selfplay['games']} games, "
                f"{selfplay['positions']} positions, {trained['steps']} steps; vs random {v['mean']:.3f} "
                f"[{v['low']:.3f}, {v['high']:.3f}] (equal players {equal['mean']:.3f}), "
                f"rating {rating['rating']:.0f} [{rating['low']:.0f}, {rating['high']:.0f}]")
        for label, v in (("vs three greedy seats", vs_greedy), ("vs held-out players", vs_heldout),
                         ("its search vs three of its policy seats", search_vs_policy)):
            if v["games"]:
                line += (f"; {label} {v['mean']:.3f} [{v['low']:.3f}, {v['high']:.3f}] (equal players "
                         f"{EQUAL_ROTATED:.2f})")
        closed = trained["heldout"].get("value_gap_closed_by_quarter")
        if closed:
            line += ("; held-out value closes " + format_share(trained["heldout"]["value_gap_closed"]) +
                     " of the gap from a uniform guess to the floor (by quarter of the game " +
                     " / ".join(format_share(c) for c in closed) + ")")
            at, within = (trained["heldout"].get(k, math.nan) for k in ("value_step_at_completion",
                                                                          "value_step_within_turn"))
            line += f"; its steps {at:.3f} where the move passes, {within:.3f} within a turn"
            spread = trained["heldout"].get("sibling_spread")
            if spread is not None and not math.isnan(spread):
                line += (f"; sibling tiles' values differ by {spread:.3f} (median standard deviation over "
                         f"{trained['heldout']['sibling_roots']} positions)")
        self.say(line)
        if ladder:
            self.say(table(ladder))
        return record

    def _promote(self, g: int) -> None:
        with open(self.folder.trained_path(g), "rb") as source:
            atomic_write(self.folder.best, lambda f: shutil.copyfileobj(source, f))


def run_loop(run_dir: str, settings: LoopSettings | None = None, changed: dict | None = None,
             generations: int | None = None, minutes: float | None = None, stream=None,
             cluster: ClusterSettings | None = None, device: DeviceSettings | None = None,
             display: Display | None = None) -> LoopSummary:
    """``cluster`` and ``device``: where the run executes (not part of its
    settings: a run may move between machines and clusters)."""
    stream = stream if stream is not None else sys.stderr
    display = display or Display()
    lock = lock_run(run_dir)
    try:
        return _run_locked(run_dir, settings, changed, generations, minutes, stream, cluster, device, display)
    finally:
        lock.close()


def _run_locked(run_dir, settings, changed, generations, minutes, stream, cluster, device, display) -> LoopSummary:
    settings, resumed = open_run(run_dir, settings, changed or {})
    log_to(os.path.join(run_dir, "logs", "loop.log"), display.log_level)
    loop = Loop(run_dir, settings, stream, cluster or ClusterSettings(), device or DeviceSettings(), display)
    summary = LoopSummary(run_dir, loop.state["generations_done"], resumed=resumed)
    if resumed:
        loop.say(f"loop: resuming {run_dir} after {summary.generations_done} complete generation(s)")
    try:
        prepare(loop)
        loop.run(generations, minutes, summary)
    except KeyboardInterrupt:
        summary.interrupted = True
        loop.say("loop: interrupted; the same command resumes from the last complete generation")
    except BaseException as error:
        # The first failure is the one to tell: saving the state may fail
        # too (a full disk), and must not take its place.
        loop.close(quietly=True)
        if isinstance(error, OSError):
            raise OSError(f"{loop.phase}: {describe_os_error(error)}") from error
        raise
    loop.phase = "saving the run state"
    try:
        loop.close()
    except OSError as error:
        raise OSError(f"{loop.phase}: {describe_os_error(error)}") from error
    summary.generations_done = loop.state["generations_done"]
    if not summary.last:
        records = [r for r in loop.metrics.records() if r.get("kind") == "generation"]
        summary.last = records[-1] if records else {}
    return summary
