"""A learning run's folder: where each file lives, the run's settings
(``run.json``, written once) and its state (``state.json``).

  run.json              the run's settings, written once, reused on resume
  state.json            completed generations, the equal-players calibration, wall time
  initial.pt            the freshly initialised first network
  best.pt               the newest network (every generation is promoted)
  metrics.jsonl         one JSON line per training interval and per generation
  progress.png          rating, strength and losses, redrawn each generation
  logs/                 the loop's log (loop.log) and the worker logs
  gen-NNNN/data/        the generation's self-play shards and metadata.json
  gen-NNNN/network.pt   the network trained after it (optimizer.pt: its optimiser)
  gen-NNNN/strength.json its test results

A generation is complete once state.json says so. Every file is written
atomically, so after a kill the same command goes on where it stopped.
"""

from __future__ import annotations

import glob
import os

from ..data.shards import SHARD_PATTERN
from ..errors import OptionError
from ..files import read_json, write_json
from ..settings import LoopSettings, as_dict, from_dict, upgrade_run_settings

RUN_FILE = "run.json"
STATE_FILE = "state.json"
RUN_FORMAT = "tarnex-train-loop"
RUN_VERSION = 1


class RunFolder:
    def __init__(self, path: str) -> None:
        self.path = path
        self.state_path = os.path.join(path, STATE_FILE)
        self.logs = os.path.join(path, "logs")
        self.best = os.path.join(path, "best.pt")

    def gen_dir(self, generation: int) -> str:
        return os.path.join(self.path, f"gen-{generation:04d}")

    def data_dir(self, generation: int) -> str:
        return os.path.join(self.gen_dir(generation), "data")

    def network_path(self, generation: int) -> str:
        """The network that plays generation ``generation``'s self-play."""
        if generation == 0:
            return os.path.join(self.path, "initial.pt")
        return os.path.join(self.gen_dir(generation - 1), "network.pt")

    def trained_path(self, generation: int) -> str:
        return os.path.join(self.gen_dir(generation), "network.pt")

    def read_state(self) -> dict:
        if not os.path.exists(self.state_path):
            return {"generations_done": 0, "wall_seconds": 0.0, "calibration": None, "total_steps": 0}
        return read_json(self.state_path, "run state")

    def write_state(self, state: dict) -> None:
        write_json(self.state_path, state)


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
        data = read_json(path, "settings")
    if data.get("format") == RUN_FORMAT:
        data = data.get("settings")
    return from_dict(LoopSettings, upgrade_run_settings(data), where=path)


def open_run(run_dir: str, given: LoopSettings | None, changed: dict) -> tuple[LoopSettings, bool]:
    """(settings, resumed). A new run writes ``given`` into its run file; an
    existing run takes its own and refuses options that would change them
    (``changed``: dotted names of the run's settings -> given values)."""
    path = os.path.join(run_dir, RUN_FILE)
    if os.path.exists(path):
        data = read_json(path, "run file")
        if data.get("format") != RUN_FORMAT or data.get("version") != RUN_VERSION:
            raise OptionError(f"{path}: not a run file of these tools (format {data.get('format')!r})")
        settings = from_dict(LoopSettings, upgrade_run_settings(data.get("settings")), where=path)
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
    write_json(path, {"format": RUN_FORMAT, "version": RUN_VERSION, "settings": as_dict(settings)})
    return settings, False


def _lookup(tree: dict, dotted: str):
    for key in dotted.split("."):
        tree = tree.get(key) if isinstance(tree, dict) else None
    return tree


def games_in(data_dir: str) -> list[int]:
    """The game numbers in a data folder's shard files (a shard is whole
    games, written atomically; metadata may lag behind a kill). Only the
    small game-number array is inflated; the window reads and checks the rest."""
    import numpy as np

    numbers: list[int] = []
    for path in glob.glob(os.path.join(data_dir, SHARD_PATTERN)):
        try:
            with np.load(path, allow_pickle=False) as shard:
                numbers.extend(int(n) for n in shard["game_numbers"])
        except (OSError, ValueError, KeyError, EOFError) as error:
            raise OptionError(f"{path}: not a readable shard ({error})") from None
    return numbers
