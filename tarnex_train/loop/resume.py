"""What a loop checks and repairs in its run folder before any work: every
file the next generation reads is read now, so a damaged one costs one
line naming it, not a traceback after minutes of self-play; what can be
rebuilt from the run's own files (metrics lines, a shard list, temporary
files of a kill) is rebuilt, and the repair is said."""

from __future__ import annotations

import glob
import os

from ..data.shards import SHARD_PATTERN, DataFolderError, read_shard, reconcile_metadata
from ..errors import OptionError
from ..files import read_json, remove_stale_temporaries
from ..model.checkpoints import load_checkpoint, load_optimiser_state
from ..settings import as_dict
from ..stats import interval_problem

GENERATION_FILE = "generation.json"
TRAIN_FILE = "train.json"
STRENGTH_FILE = "strength.json"
OPTIMISER_FILE = "optimizer.pt"


def prepare(loop) -> None:
    """Checks (or repairs) what generation ``generations_done``, the next
    one, will read."""
    folder, g = loop.folder, loop.state["generations_done"]
    for path in remove_stale_temporaries(folder.path) + [
            removed for pattern in ("gen-*", os.path.join("gen-*", "data"))
            for gen_dir in glob.glob(os.path.join(glob.escape(folder.path), pattern))
            for removed in remove_stale_temporaries(gen_dir)]:
        loop.say(f"loop: removed {path}, a temporary file left by a killed run")
    played_by = _network(loop, folder.network_path(g), required=g > 0, done=g)
    if played_by is not None:
        loop.networks[g - 1] = played_by  # read once: self-play and training take it from here
    trained = folder.trained_path(g)
    if os.path.exists(trained):
        loop.networks[g] = _network(loop, trained, required=True, done=g)
        saved_training(folder.gen_dir(g))
    elif g > 0:
        previous = os.path.join(folder.gen_dir(g - 1), OPTIMISER_FILE)
        if os.path.exists(previous):
            load_optimiser_state(previous, played_by)
    strength = os.path.join(folder.gen_dir(g), STRENGTH_FILE)
    if os.path.exists(strength):
        results = read_json(strength, "test results")
        for name in ("vs_random", "vs_previous"):
            problem = interval_problem(results.get(name))
            if problem:
                raise OptionError(f"{strength}: damaged test results ({name}: {problem}); remove it to play the "
                                  "tests again")
    data_dir = folder.data_dir(g)
    if os.path.isdir(data_dir):
        for note in reconcile_metadata(data_dir):
            loop.say(f"loop: repaired {note}")
        for path in sorted(glob.glob(os.path.join(glob.escape(data_dir), SHARD_PATTERN))):
            try:
                read_shard(path)
            except DataFolderError as error:
                raise DataFolderError(f"{error}; remove it to play its games again") from None
    for note in loop.metrics.restore(g, os.path.exists(trained), lambda k: saved_records(folder.gen_dir(k))):
        loop.say(f"loop: repaired {note}")


def _network(loop, path: str, required: bool, done: int):
    """The network at ``path``, which must have the run's shape; None when
    it is not there and need not be."""
    if not os.path.exists(path):
        if required:
            raise OptionError(f"{path} is missing, but {loop.folder.state_path} says {done} generation(s) are "
                              "complete")
        return None
    net, _ = load_checkpoint(path)
    if net.shape != loop.settings.shape:
        raise OptionError(f"{path}: a network of another shape ({as_dict(net.shape)}) than the run's "
                          f"({as_dict(loop.settings.shape)})")
    return net


def saved_training(gen_dir: str) -> dict:
    """A generation's training record (``train.json``), checked."""
    path = os.path.join(gen_dir, TRAIN_FILE)
    record = read_json(path, "training record")
    for name in ("steps", "total_steps", "window_positions"):
        value = record.get(name)
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise OptionError(f"{path}: damaged training record ({name} is {value!r}, not a count)")
    for name in ("train", "heldout"):
        if not isinstance(record.get(name), dict):
            raise OptionError(f"{path}: damaged training record (no {name} losses)")
    intervals = record.get("intervals", [])
    if not isinstance(intervals, list) or not all(isinstance(r, dict) for r in intervals):
        raise OptionError(f"{path}: damaged training record (intervals are not records)")
    return record


def saved_records(gen_dir: str) -> tuple[list | None, dict | None]:
    """(training records, generation record) a generation's folder keeps
    of its metrics lines; None where it keeps none (runs of older tools)."""
    train = None
    if os.path.exists(os.path.join(gen_dir, TRAIN_FILE)):
        train = saved_training(gen_dir).get("intervals")
    path = os.path.join(gen_dir, GENERATION_FILE)
    return train, (read_json(path, "generation record") if os.path.exists(path) else None)
