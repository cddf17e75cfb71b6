"""Training data on disk: compressed NumPy shards and their metadata.

A data folder holds
- ``shard-<run>-<n>.npz``: one shard, several whole games, written to a
  hidden temporary file and renamed into place, so a shard either exists
  complete or not at all (a killed run may leave a hidden ``.*.tmp`` file,
  which readers ignore);
- ``metadata.json``: format version, the settings of every run that wrote
  into the folder, and the shards with their game and position counts;
  replaced atomically after each shard, under a lock (``.metadata.lock``)
  so that runs writing into one folder at once keep each other's entries.

Arrays of a shard (n positions, g games):
  format_version  ()             int32
  planes          (n, 5, 20, 20) uint8   board planes, mover's frame
  policy          (n, 400)       float32 search policy, mover's frame, sums to 1
  value           (n, 4)         float32 final payoff, entry k for seat (mover + k) % 4
  mover           (n,)           uint8
  tile            (n,)           int16   the tile played (board frame)
  completing      (n,)           int16   legal tiles that would complete the mover's piece
                                         (absent in older shards: read as 0)
  game            (n,)           int32   game number within its run
  move            (n,)           int16   move number within its game
  game_numbers    (g,)           int32
  payoff          (g, 4)         float32 final payoff by seat
  game_nodes      (g,)           str     the cluster node that played each game (runs on Ray only)
  game_seats      (g, 4)         str     who sat in each seat: "policy" or "search" (the network),
                                         "greedy", "lookahead" (absent in older shards)
  target          (n,)           uint8   what each policy row is, an index into target_kinds
  target_kinds    (k,)           str     "visits" (search visit shares), "completed_q" (priors
                                         improved by the search's values), "teacher:NAME" (the
                                         rest of the placement reference player NAME would
                                         choose), "placement" (the rest of the placement the
                                         player chose), "none" (no target: a quick search's
                                         tile); both absent in older shards
"""

from __future__ import annotations

import fcntl
import glob
import itertools
import json
import os
import queue
import threading
import time
import zipfile
import zlib

import numpy as np

from ..constants import CELLS, PLANES_SHAPE, SEATS
from ..errors import OptionError
from ..files import atomic_write

FORMAT_VERSION = 1
METADATA = "metadata.json"
SHARD_PATTERN = "shard-*.npz"
LOCK = ".metadata.lock"
RECORD_ARRAYS = ("planes", "policy", "value", "mover", "tile")
OPTIONAL_ARRAYS = ("completing",)


class DataFolderError(OptionError):
    pass


_RUN_NUMBERS = itertools.count()


def _check_metadata(path: str, meta) -> None:
    if not isinstance(meta, dict) or meta.get("format_version") != FORMAT_VERSION:
        version = meta.get("format_version") if isinstance(meta, dict) else None
        raise DataFolderError(
            f"{path}: data format version {version!r}, these tools read version {FORMAT_VERSION}"
        )
    runs, shards = meta.get("runs"), meta.get("shards")
    if not isinstance(runs, list) or not all(isinstance(r, dict) and isinstance(r.get("tag"), str) for r in runs):
        raise DataFolderError(f"{path}: malformed metadata ('runs' must be a list of runs)")
    if not isinstance(shards, list) or not all(
            isinstance(e, dict) and isinstance(e.get("file"), str)
            and all(isinstance(e.get(k), int) and not isinstance(e.get(k), bool) for k in ("games", "positions"))
            for e in shards):
        raise DataFolderError(f"{path}: malformed metadata ('shards' must be a list of shard entries)")


def read_metadata(folder: str) -> dict | None:
    path = os.path.join(folder, METADATA)
    if not os.path.exists(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            meta = json.load(f)
    except (OSError, ValueError) as error:
        raise DataFolderError(f"{path}: unreadable metadata ({error})") from None
    _check_metadata(path, meta)
    return meta


def write_metadata(folder: str, meta: dict) -> None:
    text = json.dumps(meta, indent=1, sort_keys=False).encode("utf-8")
    atomic_write(os.path.join(folder, METADATA), lambda f: f.write(text))


def update_metadata(folder: str, change) -> dict:
    """Reads the folder's metadata, applies ``change`` to it and writes it
    back, holding an exclusive lock: runs that write into one folder at the
    same time never lose each other's entries."""
    with open(os.path.join(folder, LOCK), "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        try:
            meta = read_metadata(folder) or {"format_version": FORMAT_VERSION, "runs": [], "shards": []}
            change(meta)
            meta["games"] = sum(entry["games"] for entry in meta["shards"])
            meta["positions"] = sum(entry["positions"] for entry in meta["shards"])
            write_metadata(folder, meta)
            return meta
        finally:
            fcntl.flock(lock.fileno(), fcntl.LOCK_UN)


def reconcile_metadata(folder: str) -> list[str]:
    """Brings the metadata in line with the shards on disk: a shard renamed
    into place just before a kill, or before its metadata update failed (a
    full disk), is added with its counts read from it; an entry whose file
    is gone is dropped. Returns one note per change."""
    on_disk = {os.path.basename(p) for p in glob.glob(os.path.join(glob.escape(folder), SHARD_PATTERN))}
    meta = read_metadata(folder)
    listed = {entry["file"] for entry in meta["shards"]} if meta else set()
    added, gone = sorted(on_disk - listed), sorted(listed - on_disk)
    if not added and not gone:
        return []
    entries = []
    for name in added:
        arrays = read_shard(os.path.join(folder, name))
        tag = name[len("shard-"):-len(".npz")].rsplit("-", 1)[0]
        entries.append({"file": name, "run": tag, "games": int(len(arrays.get("game_numbers", ()))),
                        "positions": int(len(arrays["mover"]))})

    def change(meta):
        meta["shards"] = [entry for entry in meta["shards"] if entry["file"] not in gone] + entries
        for entry in entries:
            for run in meta["runs"]:
                if run.get("tag") == entry["run"]:
                    for key, count in (("shards", 1), ("games", entry["games"]), ("positions", entry["positions"])):
                        run[key] = run.get(key, 0) + count

    update_metadata(folder, change)
    path = os.path.join(folder, METADATA)
    return [f"{path}: added {name}, a shard on disk it did not list" for name in added] + \
        [f"{path}: dropped {name}, a shard that is no longer on disk" for name in gone]


class ShardWriter:
    """Collects finished games and writes them, ``games_per_shard`` at a
    time, from a background thread (so compression does not hold up the
    inference server).

    The first failed write (a full or read-only disk) stops the writer:
    ``error`` tells it, and the games it could not write are counted in
    ``games_unwritten``; the run is then never marked finished."""

    def __init__(self, folder: str, run_settings: dict, games_per_shard: int = 8) -> None:
        if games_per_shard < 1:
            raise OptionError("games per shard must be at least 1")
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.games_per_shard = games_per_shard
        self.run_tag = time.strftime("%Y%m%d-%H%M%S") + f"-{os.getpid()}-{next(_RUN_NUMBERS)}"
        self.run = {
            "tag": self.run_tag,
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "settings": run_settings,
            "games": 0,
            "positions": 0,
            "shards": 0,
            "finished": False,
        }
        update_metadata(folder, lambda meta: meta["runs"].append(dict(self.run)))
        self.games_added = 0
        self.games_written = 0
        self.positions_written = 0
        self.paths: list[str] = []
        self._buffer: list[tuple[int, dict]] = []
        self._jobs: queue.Queue = queue.Queue()
        self._error: BaseException | None = None
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, name="shard-writer", daemon=True)
        self._thread.start()

    @property
    def games_buffered(self) -> int:
        return len(self._buffer)

    @property
    def error(self) -> BaseException | None:
        return self._error

    @property
    def games_unwritten(self) -> int:
        with self._lock:
            return self.games_added - self.games_written - len(self._buffer)

    def add(self, game_number: int, records: dict) -> None:
        """Adds one game: the arrays of ``positions.training_records`` and
        ``payoff`` (four floats by seat)."""
        self.games_added += 1
        self._buffer.append((game_number, records))
        if len(self._buffer) >= self.games_per_shard:
            self.flush()

    def flush(self) -> None:
        if self._buffer:
            batch, self._buffer = self._buffer, []
            self._jobs.put(batch)

    def close(self, finished: bool = True) -> None:
        """Writes what is buffered, waits for the writes, marks the run
        (finished only when every game it was given is written)."""
        self.flush()
        self._jobs.put(None)
        self._thread.join()
        self.run["finished"] = finished and self._error is None
        if self._error is not None:
            self.run["write_error"] = str(self._error)
        try:
            self._update_run()
        except OSError as error:
            if self._error is None:
                self._error = error

    def _update_run(self, shard: dict | None = None) -> None:
        def change(meta):
            for index, run in enumerate(meta["runs"]):
                if run.get("tag") == self.run_tag:
                    meta["runs"][index] = dict(self.run)
                    break
            else:
                meta["runs"].append(dict(self.run))
            if shard is not None:
                meta["shards"].append(shard)

        update_metadata(self.folder, change)

    def _run(self) -> None:
        while True:
            batch = self._jobs.get()
            if batch is None:
                return
            if self._error is not None:
                continue
            try:
                self._write(batch)
            except BaseException as error:  # seen through ``error``
                self._error = error

    def _write(self, batch: list[tuple[int, dict]]) -> None:
        arrays = {"format_version": np.int32(FORMAT_VERSION)}
        for name in RECORD_ARRAYS + OPTIONAL_ARRAYS:
            if all(name in records for _, records in batch):
                arrays[name] = np.concatenate([records[name] for _, records in batch])
        arrays["game"] = np.concatenate(
            [np.full(len(records["mover"]), number, dtype=np.int32) for number, records in batch]
        )
        arrays["move"] = np.concatenate(
            [np.arange(len(records["mover"]), dtype=np.int16) for _, records in batch]
        )
        arrays["game_numbers"] = np.array([number for number, _ in batch], dtype=np.int32)
        arrays["payoff"] = np.array([records["payoff"] for _, records in batch], dtype=np.float32)
        if all("node" in records for _, records in batch):
            arrays["game_nodes"] = np.array([str(records["node"]) for _, records in batch])
        if all("seats" in records for _, records in batch):
            arrays["game_seats"] = np.array([[str(s) for s in records["seats"]] for _, records in batch])
        if all("target" in records for _, records in batch):
            kinds, codes = np.unique(np.concatenate([records["target"] for _, records in batch]), return_inverse=True)
            arrays["target_kinds"], arrays["target"] = kinds, codes.astype(np.uint8)
        index = self.run["shards"]
        name = f"shard-{self.run_tag}-{index:05d}.npz"
        path = os.path.join(self.folder, name)
        atomic_write(path, lambda f: np.savez_compressed(f, **arrays))
        positions = int(len(arrays["mover"]))
        self.run["shards"] += 1
        self.run["games"] += len(batch)
        self.run["positions"] += positions
        self._update_run({"file": name, "run": self.run_tag, "games": len(batch), "positions": positions})
        with self._lock:
            self.paths.append(path)
            self.games_written += len(batch)
            self.positions_written += positions


def shard_paths(sources) -> list[str]:
    """Shard files of data folders and/or shard paths, sorted per folder."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    paths: list[str] = []
    for source in sources:
        source = os.fspath(source)
        if os.path.isdir(source):
            read_metadata(source)  # checks the format version when present
            paths.extend(sorted(glob.glob(os.path.join(glob.escape(source), SHARD_PATTERN))))
        elif os.path.isfile(source):
            paths.append(source)
        else:
            raise DataFolderError(f"{source}: no such data folder or shard")
    return paths


# A shard of 64 games holds about 40 MB of arrays; a member that inflates to
# far more is not one of ours (or is a decompression bomb).
MAX_SHARD_BYTES = 2**30


def read_shard(path: str) -> dict:
    """All arrays of one shard, checked for version, consistent shapes and
    finite numbers."""
    try:
        with zipfile.ZipFile(path) as archive:
            inflated = sum(info.file_size for info in archive.infolist())
        if inflated > MAX_SHARD_BYTES:
            raise DataFolderError(f"{path}: shard would inflate to {inflated} bytes, more than {MAX_SHARD_BYTES}")
        with np.load(path, allow_pickle=False) as data:
            arrays = {name: data[name] for name in data.files}
    except (OSError, ValueError, EOFError, zipfile.BadZipFile, zlib.error) as error:
        if isinstance(error, DataFolderError):
            raise
        raise DataFolderError(f"{path}: not a readable shard ({error})") from None
    version = arrays.get("format_version")
    if version is None or version.shape != () or not np.issubdtype(version.dtype, np.integer) \
            or int(version) != FORMAT_VERSION:
        raise DataFolderError(f"{path}: shard format version {version}, expected {FORMAT_VERSION}")
    missing = [name for name in RECORD_ARRAYS if name not in arrays]
    if missing:
        raise DataFolderError(f"{path}: shard lacks {', '.join(missing)}")
    check_arrays(path, arrays)
    n = len(arrays["mover"])
    if "game" not in arrays:
        arrays["game"] = np.zeros(n, dtype=np.int32)
    if "completing" not in arrays:
        arrays["completing"] = np.zeros(n, dtype=np.int16)
    kinds = arrays.get("target_kinds")
    if "target" in arrays and (kinds is None or kinds.ndim != 1 or arrays["target"].shape != (n,)):
        raise DataFolderError(f"{path}: target does not fit its positions and target_kinds")
    if "target" in arrays:
        _check_range(path, "target", arrays["target"], len(arrays["target_kinds"]) - 1)
    return arrays


def check_arrays(path: str, arrays: dict) -> None:
    """Checks the shapes, finiteness and ranges of those of a shard's arrays
    that ``arrays`` holds (a reader may take only some); DataFolderError
    says what is wrong. Positions count by ``mover``, games by
    ``game_numbers``."""
    n = len(arrays["mover"]) if "mover" in arrays else None
    g = len(arrays["game_numbers"]) if "game_numbers" in arrays else None
    shapes = {"mover": (n,), "planes": (n, *PLANES_SHAPE), "policy": (n, CELLS), "value": (n, SEATS), "tile": (n,),
              "completing": (n,), "game": (n,), "move": (n,), "game_numbers": (g,), "payoff": (g, SEATS)}
    for name, shape in shapes.items():
        if name in arrays and None not in shape and arrays[name].shape != shape:
            raise DataFolderError(f"{path}: {name} has shape {arrays[name].shape}, expected {shape}")
    for name in ("policy", "value", "payoff"):
        if name in arrays and (not np.issubdtype(arrays[name].dtype, np.floating)
                               or not np.isfinite(arrays[name]).all()):
            raise DataFolderError(f"{path}: {name} holds values that are not finite numbers")
    for name, high in VALUE_RANGES.items():
        if name in arrays:
            _check_range(path, name, arrays[name], high)


# The largest value each array may hold (the smallest is 0): planes are
# 0/1 marks, shares and payoffs lie in [0, 1]. Values out of range would
# index past a board or a seat table in training, or (planes, shares)
# train on something no game produces.
VALUE_RANGES = {"planes": 1, "mover": SEATS - 1, "tile": CELLS - 1, "completing": CELLS, "game": 2**31 - 1,
                "move": CELLS, "game_numbers": 2**31 - 1, "policy": 1.0, "value": 1.0, "payoff": 1.0}


def _check_range(path: str, name: str, array: np.ndarray, high) -> None:
    if isinstance(high, int) and not np.issubdtype(array.dtype, np.integer):
        raise DataFolderError(f"{path}: {name} holds {array.dtype} values, expected integers")
    if array.size and (array.min() < 0 or array.max() > high):
        bad = array[(array < 0) | (array > high)].flat[0]
        raise DataFolderError(f"{path}: {name} holds {bad}, outside 0 to {high}")


def load_records(sources) -> dict:
    """The records (planes, policy, value, mover, tile) of all shards,
    concatenated, with ``game_key`` telling their games apart across shards."""
    paths = shard_paths(sources)
    if not paths:
        raise DataFolderError(f"no shards found in {sources}")
    return concatenate_shards([read_shard(path) for path in paths])


def concatenate_shards(shards: list) -> dict:
    records = {name: np.concatenate([shard[name] for shard in shards]) for name in RECORD_ARRAYS + OPTIONAL_ARRAYS}
    records["game_key"] = np.concatenate(
        [(np.int64(index) << 32) + shard["game"].astype(np.int64) for index, shard in enumerate(shards)]
    )
    return records
