"""The run folders the view was given: their metrics, generations, the
games recorded in their shards and the games saved from the play page.

Nothing here joins a name from a request onto a path unchecked: a
generation is a number, a shard a file name found by listing its folder,
a saved game a name matching SAVED_NAME, and ``record_file`` serves only
the run's records (RECORD_FILES). Every path is resolved and refused when
it leads out of the run folder (a symbolic link, however it is spelt).

Files are read as the loop reads its own: a damaged metrics line, saved
game or shard is left out, and said, while the rest is shown.
"""

from __future__ import annotations

import glob
import json
import logging
import math
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

log = logging.getLogger(__name__)

GENERATION_DIR = re.compile(r"^gen-(\d{4,})$")
# The run's own records, the files a person may fetch from it: not its
# networks, optimiser state, logs or lock.
RECORD_FILES = re.compile(r"^(progress\.png|metrics\.jsonl|run\.json|gen-\d{4,}/[a-z_]{1,40}\.json)$")
MAX_SAVED_BYTES = 8 * 2**20  # a saved game is some 20 kB
SAVED_DIR = "games"
SAVED_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]{0,120}\.json$")
# The arrays a shard's listing reads, once: not the planes, by far the
# largest member, nor the policy rows, which only a game's page reads.
LISTED_ARRAYS = ("mover", "tile", "game", "move", "game_numbers", "payoff", "game_seats", "target", "target_kinds")
UNRECORDED = "not recorded"  # the seats of a shard from before they were kept


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

    def inside(self, path: str) -> str | None:
        """``path`` resolved, or None when it leads out of the run folder."""
        real = os.path.realpath(path)
        return real if os.path.commonpath([real, self.real]) == self.real else None

    def file_under(self, relative: str) -> str:
        """The file at ``relative`` inside the run folder; NotFound for
        anything else, however it is spelt (.., absolute, symbolic links)."""
        if "\x00" in relative:
            raise NotFound("no such file in the run folder")
        path = self.inside(os.path.join(self.real, relative))
        if path is None or not os.path.isfile(path):
            raise NotFound("no such file in the run folder")
        return path

    def record_file(self, relative: str) -> str:
        """One of the run's records (RECORD_FILES) by its path in the run
        folder; NotFound for any other file."""
        if not RECORD_FILES.match(relative):
            raise NotFound(f"{relative[:80]!r} is not one of the run's records the view serves")
        return self.file_under(relative)

    def metrics_path(self) -> str:
        return os.path.join(self.real, sources.METRICS)

    def metrics(self) -> tuple[list, str, list]:
        """(records, a tag that changes whenever the file does, one note per
        line left out). A line being written, or torn by a kill, is left out
        without a note."""
        path = self.metrics_path()
        try:
            info = os.stat(path)
        except FileNotFoundError:
            return [], "none", []
        tag = f"{info.st_ino}-{info.st_size}-{info.st_mtime_ns}"
        try:
            if self.inside(path) is None:
                raise OSError("it leads out of the run folder")
            with open(path, "rb") as f:
                data = f.read()
        except OSError as error:
            note = f"{sources.METRICS} could not be read: {error.strerror or error}"
            log.warning("view: %s: %s", self.path, note)
            return [], tag, [note]
        records, notes = [], []
        lines = data.split(b"\n")
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            try:
                record = strict_json(line.decode("utf-8"))
                if not isinstance(record, dict):
                    raise ValueError("not a record")
            except (ValueError, RecursionError) as error:
                if number < len(lines):  # not the last line, which may be half written
                    notes.append(f"{sources.METRICS} line {number} left out: {_reason(error)}")
                continue
            records.append(record)
        if notes:
            log.warning("view: %s: %d damaged line(s) of %s left out, the first: %s", self.path, len(notes),
                        sources.METRICS, notes[0])
        return records, tag, notes

    def generations(self) -> list[tuple[int, str]]:
        found = []
        for name in os.listdir(self.real) if os.path.isdir(self.real) else ():
            match = GENERATION_DIR.match(name)
            path = os.path.join(self.real, name)
            if match and os.path.isdir(path) and self.inside(path) is not None:
                found.append((int(match.group(1)), path))
        return sorted(found)

    def generation_dir(self, generation: int) -> str:
        for g, path in self.generations():
            if g == generation:
                return path
        raise NotFound(f"run {self.name} has no generation {generation}")

    def shards(self, generation: int) -> list[str]:
        data = os.path.join(self.generation_dir(generation), "data")
        paths = glob.glob(os.path.join(glob.escape(data), sources.SHARD_PATTERN))
        return sorted(path for path in paths if self.inside(path) is not None)

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
        """A saved game, checked (``check_saved_game``); 422 saying why it
        cannot be shown."""
        if not SAVED_NAME.match(name) or name not in self.saved_names():
            raise NotFound(f"run {self.name} has no saved game {name!r}")
        path = self.inside(os.path.join(self.saved_dir(), name))
        if path is None:
            raise RequestError(422, f"saved game {name} leads out of the run folder")
        try:
            if os.path.getsize(path) > MAX_SAVED_BYTES:
                raise ValueError(f"larger than {MAX_SAVED_BYTES} bytes")
            with open(path, "rb") as f:
                data = strict_json(f.read().decode("utf-8"))
        except (OSError, ValueError, RecursionError) as error:
            raise RequestError(422, f"saved game {name} is unreadable ({_reason(error)})") from None
        if not isinstance(data, dict) or data.get("format") != SAVED_FORMAT:
            raise RequestError(422, f"{name} is not a game saved by this view")
        problem = check_saved_game(data)
        if problem:
            raise RequestError(422, f"saved game {name}: {problem}")
        return data


def strict_json(text: str):
    """JSON as the loop writes it: no NaN or infinity (which no JSON reply
    could carry on), no nesting so deep that reading it overflows."""
    def constant(name):
        raise ValueError(f"{name} is not a number")

    def number(text):
        value = float(text)
        if not math.isfinite(value):
            raise ValueError(f"{text[:20]} is out of range")
        return value

    return json.loads(text, parse_constant=constant, parse_float=number)


def _reason(error: BaseException) -> str:
    if isinstance(error, RecursionError):
        return "nested too deeply"
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8 text"
    return " ".join(str(getattr(error, "strerror", None) or error).split())[:200]


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def check_saved_game(data: dict) -> str | None:
    """What is wrong with a saved game's fields, or None: four seat names,
    a history of [seat, tile] pairs, four scores and payoffs, per seat what
    its shares are (where given), and per move its [tile, share] pairs or
    null."""
    seats, history, shares = data.get("seats"), data.get("history"), data.get("shares")
    if not isinstance(seats, list) or len(seats) != 4 or not all(isinstance(s, str) and len(s) <= 400 for s in seats):
        return "seats must be four names"
    if not isinstance(history, list) or len(history) > 4 * 400 or not all(
            isinstance(m, list) and len(m) == 2 and all(isinstance(v, int) and not isinstance(v, bool) for v in m)
            and 0 <= m[0] < 4 and 0 <= m[1] < 400 for m in history):
        return "history must be a list of [seat, tile] pairs"
    for key in ("scores", "payoff"):
        value = data.get(key)
        if not isinstance(value, list) or len(value) != 4 or not all(_is_number(v) for v in value):
            return f"{key} must be four numbers"
    kinds = data.get("share_kinds")
    if kinds is not None and (not isinstance(kinds, list) or len(kinds) != 4
                              or not all(k is None or k in sources.SHARE_KINDS.values() for k in kinds)):
        return "share_kinds must be four entries, each what a seat's shares are or null"
    if shares is not None and (not isinstance(shares, list) or not all(
            row is None or (isinstance(row, list) and all(
                isinstance(pair, list) and len(pair) == 2 and isinstance(pair[0], int) and 0 <= pair[0] < 400
                and _is_number(pair[1]) for pair in row)) for row in shares)):
        return "shares must be a list of [tile, share] pairs per move"
    return None


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
        if "mover" not in arrays or "tile" not in arrays:
            raise RequestError(422, f"{os.path.basename(path)}: shard lacks its movers or tiles")
        movers, tiles = arrays["mover"], arrays["tile"]
        n = len(movers)
        policy = _member_shape(path, "policy")
        if policy != (n, sources.CELLS):  # read only from its header: a listing needs no policy rows
            raise RequestError(422, f"{os.path.basename(path)}: policy has shape {policy}, expected {(n, sources.CELLS)}")
        numbers = arrays.get("game", np.zeros(n, dtype=np.int32))
        moves = arrays.get("move")
        payoffs = dict(zip(arrays.get("game_numbers", np.zeros(0)).tolist(), arrays.get("payoff", np.zeros((0, 4)))))
        starts = [0] + [i for i in range(1, n) if numbers[i] != numbers[i - 1]] + [n]
        self._seats = _recorded_seats(arrays)
        self._targets = _recorded_targets(arrays, n)
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
        arrays = _read_arrays(self.path, ("mover", "policy"))
        if "policy" not in arrays:
            raise RequestError(422, f"{os.path.basename(self.path)}: shard lacks its policy rows")
        return arrays["policy"][game["start"]:game["end"]]

    def seats(self, game: dict) -> list:
        """Who sat in each seat, as the shard records it (a shard from
        before says nothing)."""
        return self._seats.get(game["number"], [UNRECORDED] * 4)

    def targets(self, game: dict) -> list | None:
        """What each policy row of the game is ("visits", "teacher:lookahead"
        ...; see the shard format), or None for a shard from before."""
        if self._targets is None:
            return None
        codes, kinds = self._targets
        return [kinds[c] for c in codes[game["start"]:game["end"]].tolist()]


def _recorded_seats(arrays: dict) -> dict:
    """Game number -> who sat in each seat, for a shard that records it."""
    seats, numbers = arrays.get("game_seats"), arrays.get("game_numbers")
    if seats is None or numbers is None or seats.shape != (len(numbers), 4):
        return {}
    recorded = {}
    for number, row in zip(numbers.tolist(), seats):
        recorded.setdefault(number, [str(s) for s in row])  # the first record of a number, as before
    return recorded


def _recorded_targets(arrays: dict, records: int) -> tuple | None:
    """(each policy row's code, the codes' names), for a shard that records
    what its rows are (None else)."""
    codes, kinds = arrays.get("target"), arrays.get("target_kinds")
    if codes is None or kinds is None or codes.ndim != 1 or len(codes) < records \
            or (codes.size and codes.max() >= len(kinds)):
        return None
    return codes, [str(k) for k in kinds]


def _member_shape(path: str, name: str) -> tuple | None:
    """The shape of one array of a shard, from its header alone (None when
    the shard lacks it)."""
    try:
        with zipfile.ZipFile(path) as archive, archive.open(f"{name}.npy") as f:
            version = np.lib.format.read_magic(f)
            read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
            return tuple(read(f)[0])
    except KeyError:
        return None
    except (OSError, ValueError, zipfile.BadZipFile, zlib.error) as error:
        raise RequestError(422, f"{os.path.basename(path)}: not a readable shard ({error})") from None


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
            arrays = {n: data[n] for n in names if n in data.files}
        sources.check_arrays(name, arrays)
        return arrays
    except sources.DataFolderError as error:
        raise RequestError(422, str(error)) from None
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
    written once, but a run folder may be replaced), the newest few kept.
    Viewers asking for one shard at once wait for one reading of it."""

    def __init__(self, size: int = 64) -> None:
        self.size = size
        self.entries: OrderedDict = OrderedDict()
        self.lock = threading.Lock()
        self.reading: dict = {}  # key -> the lock its one reader holds

    def get(self, path: str) -> ShardGames:
        try:
            info = os.stat(path)
        except OSError as error:
            raise RequestError(422, f"{os.path.basename(path)}: {error.strerror or error}") from None
        key = (path, info.st_mtime_ns, info.st_size)
        while True:
            with self.lock:
                shard = self.entries.get(key)
                if shard is not None:
                    self.entries.move_to_end(key)
                    return shard
                reader = self.reading.get(key)
                if reader is None:
                    reader = self.reading[key] = threading.Lock()
                    reader.acquire()
                    break
            with reader:  # another viewer reads it: wait, then look again (if it failed, read it here)
                pass
        try:
            shard = ShardGames(path)
            for game in shard.games:
                game["usable"] = usable_history(game)
            with self.lock:
                self.entries[key] = shard
                while len(self.entries) > self.size:
                    self.entries.popitem(last=False)
            return shard
        finally:
            with self.lock:
                self.reading.pop(key, None)
            reader.release()
