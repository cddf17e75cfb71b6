"""``tarnex-train loop``: generations of self-play -> training on the window
-> strength tests -> promotion, in one run folder.

Run folder:
  run.json              the run's settings, written once, reused on resume
  state.json            completed generations, the equal-players calibration, wall time
  initial.pt            the freshly initialised first network
  best.pt               the newest network (every generation is promoted)
  metrics.jsonl         one JSON line per training interval and per generation
  progress.png          rating, strength and losses, redrawn each generation
  logs/                 worker logs
  gen-NNNN/data/        the generation's self-play shards and metadata.json
  gen-NNNN/network.pt   the network trained after it (optimizer.pt: its optimiser)
  gen-NNNN/strength.json its test results

A generation is complete once state.json says so. Every file is written
atomically, so after a kill the same command goes on where it stopped: a
generation's finished games are kept and only the missing ones are played,
an unfinished training or test is redone from its inputs, and a completed
generation is never repeated.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import sys
import time
from dataclasses import dataclass, field

from ..arena import RANDOM, ArenaOptions, run_arena
from ..errors import OptionError
from ..progress import Progress, format_seconds
from ..selfplay import SelfPlayOptions, run_selfplay
from ..settings import ClusterSettings, LoopSettings, as_dict, from_dict
from ..shards import SHARD_PATTERN
from .metrics import MetricsLog, draw_progress
from .rating import rating_interval
from .window import Window

RUN_FILE = "run.json"
STATE_FILE = "state.json"
RUN_FORMAT = "tarnex-train-loop"
RUN_VERSION = 1
LOG_EVERY = 25  # training steps per metrics line


def _write_json(path: str, data: dict) -> None:
    temporary = f"{path}.tmp-{os.getpid()}"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)


def _read_json(path: str, what: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as error:
        raise OptionError(f"{path}: unreadable {what} ({error})") from None
    if not isinstance(data, dict):
        raise OptionError(f"{path}: {what} is not a JSON object")
    return data


def read_settings_file(path: str) -> LoopSettings:
    """Settings from a run file (``run.json`` of another run) or a plain
    JSON / TOML table of settings."""
    if path.endswith(".toml"):
        import tomllib

        try:
            with open(path, "rb") as f:
                data = tomllib.load(f)
        except (OSError, ValueError) as error:
            raise OptionError(f"{path}: unreadable settings ({error})") from None
    else:
        data = _read_json(path, "settings")
    if data.get("format") == RUN_FORMAT:
        data = data.get("settings")
    return from_dict(LoopSettings, data, where=path)


def open_run(run_dir: str, given: LoopSettings | None, changed: dict) -> tuple[LoopSettings, bool]:
    """(settings, resumed). A new run writes ``given`` into its run file; an
    existing run takes its own and refuses options that would change them."""
    path = os.path.join(run_dir, RUN_FILE)
    if os.path.exists(path):
        data = _read_json(path, "run file")
        if data.get("format") != RUN_FORMAT or data.get("version") != RUN_VERSION:
            raise OptionError(f"{path}: not a run file of these tools (format {data.get('format')!r})")
        settings = from_dict(LoopSettings, data.get("settings"), where=path)
        stored = as_dict(settings)
        conflicts = [f"{name} (run: {_lookup(stored, name)!r}, given: {value!r})"
                     for name, value in changed.items() if _lookup(stored, name) != value]
        if conflicts:
            raise OptionError(f"{run_dir} was started with other settings: {'; '.join(conflicts)}; "
                              "resume without them, or start a new run folder")
        return settings, True
    if os.path.exists(run_dir) and not os.path.isdir(run_dir):
        raise OptionError(f"run folder {run_dir!r} exists and is not a folder")
    if os.path.isdir(run_dir) and os.listdir(run_dir):
        raise OptionError(f"{run_dir!r} is not empty and holds no {RUN_FILE}: not a run folder")
    settings = given or LoopSettings()
    os.makedirs(run_dir, exist_ok=True)
    _write_json(path, {"format": RUN_FORMAT, "version": RUN_VERSION, "settings": as_dict(settings)})
    return settings, False


def _lookup(tree: dict, dotted: str):
    for key in dotted.split("."):
        tree = tree.get(key) if isinstance(tree, dict) else None
    return tree


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


def _interval(payoffs) -> dict:
    from ..arena import mean_confidence_interval

    mean, low, high = mean_confidence_interval(payoffs)
    return {"mean": mean, "low": low, "high": high, "games": len(payoffs)}


class Loop:
    def __init__(self, run_dir: str, settings: LoopSettings, stream, cluster: ClusterSettings) -> None:
        self.dir = run_dir
        self.settings = settings
        self.cluster = cluster
        self.stream = stream
        self.state_path = os.path.join(run_dir, STATE_FILE)
        self.state = _read_json(self.state_path, "run state") if os.path.exists(self.state_path) else \
            {"generations_done": 0, "wall_seconds": 0.0, "calibration": None, "total_steps": 0}
        self.metrics = MetricsLog(run_dir)
        self.window = Window(settings.holdout_every)
        self.logs = os.path.join(run_dir, "logs")
        self.started = time.monotonic()
        self.wall_before = float(self.state.get("wall_seconds", 0.0))

    # -- files ----------------------------------------------------------

    def gen_dir(self, generation: int) -> str:
        return os.path.join(self.dir, f"gen-{generation:04d}")

    def network_path(self, generation: int) -> str:
        """The network that plays generation ``generation``'s self-play."""
        if generation == 0:
            return os.path.join(self.dir, "initial.pt")
        return os.path.join(self.gen_dir(generation - 1), "network.pt")

    def wall_seconds(self) -> float:
        return self.wall_before + time.monotonic() - self.started

    def save_state(self) -> None:
        self.state["wall_seconds"] = self.wall_seconds()
        _write_json(self.state_path, self.state)

    def say(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()

    # -- the run --------------------------------------------------------

    def run(self, generations: int | None, minutes: float | None, summary: LoopSummary) -> None:
        self._first_network()
        self._calibrate()
        # On resume, the generations whose positions still reach the window.
        have = 0
        for g in range(self.state["generations_done"] - 1, -1, -1):
            if have >= self.settings.window_positions:
                break
            have += self.window.add(g, os.path.join(self.gen_dir(g), "data"))
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
        path = self.network_path(0)
        if os.path.exists(path):
            return
        from ..network import TarnexNet, save_checkpoint
        import torch

        if self.settings.seed is not None:
            torch.manual_seed(self.settings.seed)
        save_checkpoint(TarnexNet(self.settings.shape), path, 0, settings={"loop": as_dict(self.settings)})

    def _pool(self) -> dict:
        """Options of the worker pool (or cluster) for selfplay and arena."""
        return dict(as_dict(self.settings.pool), cluster=self.cluster)

    def _calibrate(self) -> None:
        """The seat-0 payoff of two equal players (the random player against
        itself), once per run: every strength is read beside it."""
        if self.state.get("calibration"):
            return
        s = self.settings
        self.say(f"loop: measuring the seat-0 payoff of equal players ({s.calibration_games} random-player games)")
        summary = run_arena(ArenaOptions(
            games=s.calibration_games, model=RANDOM, baseline=RANDOM, progress=False, log_dir=self.logs,
            **self._pool()), stream=self.stream)
        if summary.interrupted:
            raise KeyboardInterrupt
        if not summary.payoffs:
            raise OptionError("no calibration game could be played: " + "; ".join(str(f) for f in summary.failures))
        self.state["calibration"] = _interval(summary.payoffs)
        self.save_state()

    def generation(self, g: int) -> dict:
        s = self.settings
        gen_dir = self.gen_dir(g)
        os.makedirs(gen_dir, exist_ok=True)
        self.metrics.keep_generations_before(g)
        self.say(f"== generation {g}")
        selfplay = self._selfplay(g)
        trained = self._train(g)
        self.window.keep_newest(s.window_positions)
        strength = self._strength(g)
        equal = self.state["calibration"]
        rating = rating_interval(strength["vs_random"], equal["mean"])
        gain = rating_interval(strength["vs_previous"], equal["mean"]) if strength["vs_previous"]["games"] else None
        record = {
            "kind": "generation",
            "generation": g,
            "wall_seconds": self.wall_seconds(),
            "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "games": selfplay["games"],
            "positions": selfplay["positions"],
            "selfplay": selfplay,
            "window_positions": trained["window_positions"],
            "train_steps": trained["steps"],
            "total_steps": trained["total_steps"],
            "train": trained["train"],
            "heldout": trained["heldout"],
            "vs_random": strength["vs_random"],
            "vs_previous": strength["vs_previous"],
            "equal_players": equal,
            "rating": rating,
            "gain_vs_previous": gain,
        }
        self.metrics.write(record)
        self._promote(g)
        self.state["generations_done"] = g + 1
        self.state["total_steps"] = trained["total_steps"]
        self.save_state()
        draw_progress(self.dir, self.metrics.records())
        v = strength["vs_random"]
        self.say(f"generation {g} done at {format_seconds(self.wall_seconds())}: {selfplay['games']} games, "
                 f"{selfplay['positions']} positions, {trained['steps']} steps; vs random {v['mean']:.3f} "
                 f"[{v['low']:.3f}, {v['high']:.3f}] (equal players {equal['mean']:.3f}), "
                 f"rating {rating['rating']:.0f} [{rating['low']:.0f}, {rating['high']:.0f}]")
        return record

    # -- phases ---------------------------------------------------------

    def _selfplay(self, g: int) -> dict:
        s = self.settings
        data_dir = os.path.join(self.gen_dir(g), "data")
        have = _games_in(data_dir)
        want = s.games_per_generation
        result = {"games": have, "positions": 0, "evaluations_per_second": math.nan, "cache_hit_rate": math.nan,
                  "network_positions_per_second": math.nan, "mean_batch": math.nan, "failed": 0}
        stats_path = os.path.join(self.gen_dir(g), "selfplay.json")
        if have < want:
            if have:
                self.say(f"selfplay: {have} of {want} games kept from before; playing the other {want - have}")
            options = SelfPlayOptions(
                games=want - have, output=data_dir, games_per_shard=s.games_per_shard,
                checkpoint=self.network_path(g), progress=True, log_dir=self.logs, search=s.search,
                shape=s.shape, **self._pool())
            summary = run_selfplay(options, stream=self.stream)
            if summary.interrupted:
                raise KeyboardInterrupt
            result.update(
                evaluations_per_second=summary.evaluations_per_second, cache_hit_rate=summary.cache_hit_rate,
                network_positions_per_second=summary.network_positions_per_second,
                mean_batch=summary.server.mean_batch, failed=len(summary.failures), seconds=summary.server.wall,
                evaluations=summary.server.evaluations)
            if summary.write_error is not None:
                raise OSError(f"generation {g}: {summary.games_unwritten} finished game(s) could not be "
                              f"written: {summary.write_error}")
            if summary.games_done == 0:
                raise OptionError(f"generation {g}: no self-play game could be played; see {self.logs}")
            _write_json(stats_path, result)
        elif os.path.exists(stats_path):
            result.update(_read_json(stats_path, "self-play statistics"))
        result["games"] = _games_in(data_dir)
        result["positions"] = self.window.add(g, data_dir)
        return result

    def _train(self, g: int) -> dict:
        import torch

        from ..dataset import Examples
        from ..network import load_checkpoint, pick_device, save_checkpoint
        from ..training import Trainer

        s, t = self.settings, self.settings.train
        gen_dir = self.gen_dir(g)
        out = os.path.join(gen_dir, "network.pt")
        optimiser_out = os.path.join(gen_dir, "optimizer.pt")
        torch.set_num_threads(os.cpu_count() or 1)
        device = pick_device(s.pool.device)
        window = self.window.newest(g, s.window_positions)
        new = self.window.positions(g)
        steps = max(1, math.ceil(s.reuse * new / t.batch_size))
        total_before = int(self.state.get("total_steps", 0))
        heldout_records = self.window.heldout(g)
        result = {"window_positions": len(window.get("mover", ())), "steps": steps,
                  "total_steps": total_before + steps, "train": {}, "heldout": {}}
        if os.path.exists(out):  # trained before a kill, in the tests or promotion
            result.update(_read_json(os.path.join(gen_dir, "train.json"), "training record"))
            return result
        net, _ = load_checkpoint(self.network_path(g))
        previous_optimiser = os.path.join(self.gen_dir(g - 1), "optimizer.pt") if g > 0 else None
        state = torch.load(previous_optimiser, map_location="cpu", weights_only=True) \
            if previous_optimiser and os.path.exists(previous_optimiser) else None
        trainer = Trainer(net, t, device, state)
        examples = Examples(window, t)
        generator = torch.Generator()
        generator.manual_seed(((s.seed or 0) * 1_000_003 + g) & 0x7FFFFFFF)
        progress = Progress(f"train {g}", steps, "steps", self.stream)
        sums, count = [0.0, 0.0, 0.0], 0
        for step in range(1, steps + 1):
            indices = torch.randint(len(examples), (min(t.batch_size, len(examples)),), generator=generator)
            policy_loss, value_loss, ownership_loss = trainer.step(*examples.batch(indices))
            sums[0] += policy_loss
            sums[1] += value_loss
            sums[2] += ownership_loss
            count += 1
            if step % LOG_EVERY == 0 or step == steps:
                line = {"policy_loss": sums[0] / count, "value_loss": sums[1] / count,
                        "ownership_loss": sums[2] / count}
                self.metrics.write({"kind": "train", "generation": g, "step": step,
                                    "total_steps": total_before + step, **line,
                                    "wall_seconds": self.wall_seconds()})
                result["train"] = line
                sums, count = [0.0, 0.0, 0.0], 0
            progress.update(step, f"loss {policy_loss:.3f} + {value_loss:.3f}")
        progress.close(steps)
        if heldout_records:
            result["heldout"] = trainer.measure(Examples(heldout_records, t))
        net.eval()
        torch.save(trainer.optimiser.state_dict(), optimiser_out + ".tmp")
        os.replace(optimiser_out + ".tmp", optimiser_out)
        _write_json(os.path.join(gen_dir, "train.json"),
                    {k: result[k] for k in ("steps", "total_steps", "train", "heldout", "window_positions")})
        save_checkpoint(net, out, total_before + steps, settings={"loop": as_dict(s), "generation": g})
        return result

    def _strength(self, g: int) -> dict:
        s = self.settings
        path = os.path.join(self.gen_dir(g), "strength.json")
        if os.path.exists(path):
            return _read_json(path, "test results")
        network = os.path.join(self.gen_dir(g), "network.pt")
        results = {}
        for name, games, baseline, temperature in (
                ("vs_random", s.strength_games, RANDOM, 0.0),
                ("vs_previous", s.previous_games, self.network_path(g), s.previous_temperature)):
            if games == 0:
                results[name] = _interval([])
                continue
            summary = run_arena(ArenaOptions(
                games=games, model=network, baseline=baseline, baseline_temperature=temperature,
                progress=False, log_dir=self.logs, **self._pool()), stream=self.stream)
            if summary.interrupted:
                raise KeyboardInterrupt
            results[name] = _interval(summary.payoffs)
        _write_json(path, results)
        return results

    def _promote(self, g: int) -> None:
        best = os.path.join(self.dir, "best.pt")
        temporary = best + ".tmp"
        shutil.copyfile(os.path.join(self.gen_dir(g), "network.pt"), temporary)
        os.replace(temporary, best)


def _games_in(data_dir: str) -> int:
    """Games in a data folder, counted in its shard files (a shard is whole
    games, written atomically; metadata may lag behind a kill). Only the
    small game-number array is inflated; the window reads and checks the rest."""
    import glob

    import numpy as np

    total = 0
    for path in glob.glob(os.path.join(data_dir, SHARD_PATTERN)):
        try:
            with np.load(path, allow_pickle=False) as shard:
                total += len(shard["game_numbers"])
        except (OSError, ValueError, KeyError, EOFError) as error:
            raise OptionError(f"{path}: not a readable shard ({error})") from None
    return total


def run_loop(run_dir: str, settings: LoopSettings | None = None, changed: dict | None = None,
             generations: int | None = None, minutes: float | None = None, stream=None,
             cluster: ClusterSettings | None = None) -> LoopSummary:
    """``cluster``: where the games are played (not part of the run's
    settings: a run may move between machines and clusters)."""
    stream = stream if stream is not None else sys.stderr
    settings, resumed = open_run(run_dir, settings, changed or {})
    loop = Loop(run_dir, settings, stream, cluster or ClusterSettings())
    summary = LoopSummary(run_dir, loop.state["generations_done"], resumed=resumed)
    if resumed:
        loop.say(f"loop: resuming {run_dir} after {summary.generations_done} complete generation(s)")
    try:
        loop.run(generations, minutes, summary)
    except KeyboardInterrupt:
        summary.interrupted = True
        loop.say("loop: interrupted; the same command resumes from the last complete generation")
    finally:
        loop.save_state()
        loop.metrics.close()
    summary.generations_done = loop.state["generations_done"]
    if not summary.last:
        records = [r for r in loop.metrics.records() if r.get("kind") == "generation"]
        summary.last = records[-1] if records else {}
    return summary
