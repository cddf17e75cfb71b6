"""A learning run's folder: where each file lives, the run's settings
(``run.json``, written once) and its state (``state.json``).

  run.json              the run's settings, written once, reused on resume
  .lock                 held by the loop working in the folder, so a second one is refused
  state.json            completed generations, the equal-players calibration, wall time
  initial.pt            the freshly initialised first network
  best.pt               the newest network (every generation is promoted)
  metrics.jsonl         one JSON line per training interval and per generation
  progress.png          rating, strength and losses, redrawn each generation
  logs/                 the loop's log (loop.log) and the worker logs
  gen-NNNN/data/        the generation's self-play shards and metadata.json
  gen-NNNN/network.pt   the network trained after it (optimizer.pt: its optimiser)
  gen-NNNN/strength.json its test results
  gen-NNNN/generation.json its metrics record (metrics.jsonl is rebuilt from these)

A generation is complete once state.json says so. Every file is written
atomically, so after a kill the same command goes on where it stopped.
"""

from __future__ import annotations

import fcntl
import glob
import math
import os
import zipfile
import zlib

from ..data.shards import SHARD_PATTERN
from ..errors import OptionError
from ..files import read_json, write_json
from ..settings import LoopSettings, as_dict, from_dict, upgrade_run_settings
from ..settings.tables import read_toml
from ..stats import interval_problem

RUN_FILE = "run.json"
STATE_FILE = "state.json"
LOCK_FILE = ".lock"
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
        """The run's state, checked: a damaged one is refused in one line
        before any work, not found by the first step that reads it."""
        if not os.path.exists(self.state_path):
            return {"generations_done": 0, "wall_seconds": 0.0, "calibration": None, "total_steps": 0}
        state = read_json(self.state_path, "run state")
        problem = _state_problem(state)
        if problem:
            raise OptionError(f"{self.state_path}: damaged run state ({problem}); restore it, or start a new run "
                              "folder")
        return state

    def write_state(self, state: dict) -> None:
        write_json(self.state_path, state)


def read_settings_file(path: str) -> LoopSettings:
    """Settings from a run file (``run.json`` of another run) or a plain
    JSON / TOML table of settings."""
    if path.endswith(".toml"):
        data = read_toml(path)
    else:
        data = read_json(path, "settings")
    if data.get("format") == RUN_FORMAT:
        # A run file says everything it had; a plain table only what it
        # changes, the rest today's defaults.
        data = upgrade_run_settings(data.get("settings"))
    return from_dict(LoopSettings, data, where=path)


def open_run(run_dir: str, given: LoopSettings | None, changed: dict) -> tuple[LoopSettings, bool]:
    """(settings, resumed), in a folder ``lock_run`` holds. A new run writes
    ``given`` into its run file; an existing run takes its own and refuses
    options that would change them (``changed``: dotted names of the run's
    settings -> given values)."""
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
    settings = given or LoopSettings()
    write_json(path, {"format": RUN_FORMAT, "version": RUN_VERSION, "settings": as_dict(settings)})
    return settings, False


def _state_problem(state: dict) -> str | None:
    for name, required in (("generations_done", True), ("total_steps", False)):
        value = state.get(name)
        if value is None and not required:
            continue
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            return f"{name} is {value!r}, not a count" if name in state else f"no {name}"
    wall = state.get("wall_seconds", 0.0)
    if isinstance(wall, bool) or not isinstance(wall, (int, float)) or not math.isfinite(wall) or wall < 0:
        return f"wall_seconds is {wall!r}, not a duration"
    calibration = state.get("calibration")
    if calibration is not None:
        problem = interval_problem(calibration, finite=True)
        if problem:
            return f"calibration: {problem}"
    return None


def lock_run(run_dir: str):
    """Locks the run folder (creating it) for as long as the returned file
    stays open, the process's life at most: a second loop on the folder
    would play, train and log the same generations beside the first."""
    run_file = os.path.join(run_dir, RUN_FILE)
    if os.path.exists(run_dir) and not os.path.isdir(run_dir):
        raise OptionError(f"run folder {run_dir!r} exists and is not a folder")
    if os.path.isdir(run_dir) and not os.path.exists(run_file) and set(os.listdir(run_dir)) - {LOCK_FILE}:
        raise OptionError(f"{run_dir!r} is not empty and holds no {RUN_FILE}: not a run folder")
    os.makedirs(run_dir, exist_ok=True)
    lock = open(os.path.join(run_dir, LOCK_FILE), "a+", encoding="utf-8")
    try:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        lock.seek(0)
        holder = lock.read().strip()
        lock.close()
        raise OptionError(f"{run_dir} is in use by another loop{f' (process {holder})' if holder else ''}; "
                          "wait for it to end, or stop it") from None
    lock.seek(0)
    lock.truncate()
    lock.write(f"{os.getpid()}\n")
    lock.flush()
    return lock


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
        except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile, zlib.error) as error:
            raise OptionError(f"{path}: not a readable shard ({error})") from None
    return numbers
