"""The run folders the view was given: their metrics, generations, the
games recorded in their shards and the games saved from the play page.

Nothing here joins a name from a request onto a path unchecked: a
generation is a number, a shard a file name found by listing its folder,
a saved game a name matching SAVED_NAME, and ``file_under`` resolves a path
and refuses anything outside the run folder.
"""

from __future__ import annotations

import glob
import json
import os
import re
import threading
import zipfile
import zlib
from collections import OrderedDict
from dataclasses import dataclass

import numpy as np

from . import sources
from .errors import NotFound, RequestError
from .sources import SAVED_FORMAT

GENERATION_DIR = re.compile(r"^gen-(\d{4,})$")
SAVED_DIR = "games"
SAVED_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]{0,120}\.json$")
# Arrays a game listing needs: not the planes, by far the largest member.
LISTED_ARRAYS = ("mover", "tile", "game", "move", "game_numbers", "payoff")


@dataclass
class Run:
    index: int
    path: str  # as given
    real: str  # resolved, for containment checks

    @property
    def name(self) -> str:
        return os.path.basename(os.path.normpath(self.path)) or self.path

    def describe(self) -> dict:
        return {"index": self.index, "name": self.name, "path": self.path,
                "generations": [g for g, _ in self.generations()], "saved": len(self.saved_names())}

    # -- files ------------------------------------------------------------

    def file_under(self, relative: str) -> str:
        """The file at ``relative`` inside the run folder; NotFound for
        anything else, however it is spelt (.., absolute, symbolic links)."""
        if "\x00" in relative:
            raise NotFound("no such file in the run folder")
        path = os.path.realpath(os.path.join(self.real, relative))
        if os.path.commonpath([path, self.real]) != self.real or not os.path.isfile(path):
            raise NotFound("no such file in the run folder")
        return path

    def metrics_path(self) -> str:
        return os.path.join(self.real, sources.METRICS)

    def metrics(self) -> tuple[list, str]:
        """(records, a tag that changes whenever the file does)."""
        path = self.metrics_path()
        try:
            info = os.stat(path)
        except FileNotFoundError:
            return [], "none"
        tag = f"{info.st_ino}-{info.st_size}-{info.st_mtime_ns}"
        records = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue  # a line being written, or torn by a kill
                if isinstance(record, dict):
                    records.append(record)
        return records, tag

    def generations(self) -> list[tuple[int, str]]:
        found = []
        for name in os.listdir(self.real) if os.path.isdir(self.real) else ():
            match = GENERATION_DIR.match(name)
            if match and os.path.isdir(os.path.join(self.real, name)):
                found.append((int(match.group(1)), os.path.join(self.real, name)))
        return sorted(found)

    def generation_dir(self, generation: int) -> str:
        for g, path in self.generations():
            if g == generation:
                return path
        raise NotFound(f"run {self.name} has no generation {generation}")

    def shards(self, generation: int) -> list[str]:
        data = os.path.join(self.generation_dir(generation), "data")
        return sorted(glob.glob(os.path.join(data, sources.SHARD_PATTERN)))

    def shard(self, generation: int, name: str) -> str:
        for path in self.shards(generation):
            if os.path.basename(path) == name:
                return path
        raise NotFound(f"generation {generation} of run {self.name} has no shard {name!r}")

    # -- saved games ------------------------------------------------------

    def saved_dir(self) -> str:
        return os.path.join(self.real, SAVED_DIR)

    def saved_names(self) -> list[str]:
        folder = self.saved_dir()
        if not os.path.isdir(folder):
            return []
        return sorted(n for n in os.listdir(folder) if SAVED_NAME.match(n))

    def saved_game(self, name: str) -> dict:
        if not SAVED_NAME.match(name) or name not in self.saved_names():
            raise NotFound(f"run {self.name} has no saved game {name!r}")
        try:
            with open(os.path.join(self.saved_dir(), name), encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as error:
            raise RequestError(422, f"saved game {name} is unreadable ({error})") from None
        if not isinstance(data, dict) or data.get("format") != SAVED_FORMAT:
            raise RequestError(422, f"{name} is not a game saved by this view")
        return data


def open_runs(paths) -> list[Run]:
    runs = []
    for index, path in enumerate(paths):
        if not os.path.isdir(path):
            raise FileNotFoundError(f"run folder {path!r} does not exist")
        runs.append(Run(index, path, os.path.realpath(path)))
    return runs


# -- games recorded in shards ---------------------------------------------


class ShardGames:
    """The games of one shard, in the order their records appear: each a
    game number, its history and payoff. Records of one game lie together
    in a shard, in move order; a shard from before game numbers were kept
    holds one run of records with no way to tell its games apart, which
    ``usable_history`` then refuses."""

    def __init__(self, path: str) -> None:
        self.path = path
        arrays = _read_arrays(path, LISTED_ARRAYS)
        movers, tiles = arrays["mover"], arrays["tile"]
        n = len(movers)
        if tiles.shape != (n,):
            raise RequestError(422, f"{os.path.basename(path)}: mover and tile arrays differ in length")
        numbers = arrays.get("game", np.zeros(n, dtype=np.int32))
        moves = arrays.get("move")
        payoffs = dict(zip(arrays.get("game_numbers", np.zeros(0)).tolist(), arrays.get("payoff", np.zeros((0, 4)))))
        starts = [0] + [i for i in range(1, n) if numbers[i] != numbers[i - 1]] + [n]
        self.games = []
        for start, end in zip(starts, starts[1:]):
            number = int(numbers[start])
            self.games.append({
                "number": number, "start": start, "end": end,
                "history": [[int(m), int(t)] for m, t in zip(movers[start:end], tiles[start:end])],
                "ordered": moves is not None and np.array_equal(moves[start:end], np.arange(end - start)),
                "payoff": [float(p) for p in payoffs[number]] if number in payoffs else None,
            })

    def game(self, number: int) -> dict:
        for game in self.games:
            if game["number"] == number:
                return game
        raise NotFound(f"{os.path.basename(self.path)} has no game {number}")

    def policy_rows(self, game: dict) -> np.ndarray:
        return _read_arrays(self.path, ("policy",))["policy"][game["start"]:game["end"]]


def _read_arrays(path: str, names) -> dict:
    """The named arrays of a shard (those present), after the checks the
    training side makes before inflating one."""
    name = os.path.basename(path)
    try:
        with zipfile.ZipFile(path) as archive:
            if sum(info.file_size for info in archive.infolist()) > sources.MAX_SHARD_BYTES:
                raise RequestError(422, f"{name}: shard would inflate too far")
        with np.load(path, allow_pickle=False) as data:
            version = data["format_version"] if "format_version" in data.files else None
            if version is None or int(version) != sources.SHARD_FORMAT_VERSION:
                raise RequestError(422, f"{name}: shard format version {version}, "
                                   f"expected {sources.SHARD_FORMAT_VERSION}")
            return {n: data[n] for n in names if n in data.files}
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile, zlib.error) as error:
        if isinstance(error, RequestError):
            raise
        raise RequestError(422, f"{name}: not a readable shard ({error})") from None


def usable_history(game: dict) -> bool:
    """A history the rules replay to the end of the game: whole, in order."""
    if not game["ordered"] or not game["history"]:
        return False
    try:
        return sources.replay(game["history"]).terminal
    except (TypeError, ValueError):
        return False


class ShardCache:
    """Listed shards by path, dropped when their file changes (a shard is
    written once, but a run folder may be replaced), the newest few kept."""

    def __init__(self, size: int = 64) -> None:
        self.size = size
        self.entries: OrderedDict = OrderedDict()
        self.lock = threading.Lock()

    def get(self, path: str) -> ShardGames:
        info = os.stat(path)
        key = (path, info.st_mtime_ns, info.st_size)
        with self.lock:
            shard = self.entries.get(key)
            if shard is not None:
                self.entries.move_to_end(key)
                return shard
        shard = ShardGames(path)
        for game in shard.games:
            game["usable"] = usable_history(game)
        with self.lock:
            self.entries[key] = shard
            while len(self.entries) > self.size:
                self.entries.popitem(last=False)
        return shard
