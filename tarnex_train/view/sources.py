"""Everything the view takes from the rest of tarnex_train, in one place:
the rules binding, the shard format, the loop's file names, networks and
the players of a match. The rest of the view imports nothing else of the
package, so moving those modules means changing the imports here only.

Torch loads lazily: the run and games pages work without it.
"""

from __future__ import annotations

import numpy as np

from .. import _rules
from ..constants import CELLS
from ..data.games import SAVED_FORMAT, SHARE_KINDS, save_game, share_kind  # noqa: F401 - the view's saved games
from ..data.positions import FRAMES, replay
from ..data.shards import FORMAT_VERSION as SHARD_FORMAT_VERSION
from ..data.shards import MAX_SHARD_BYTES, SHARD_PATTERN, DataFolderError, check_arrays
from ..errors import OptionError
from ..files import write_json
from ..loop.metrics import METRICS
from ..players.notation import parse_player

__all__ = ["FRAMES", "METRICS", "MAX_SHARD_BYTES", "SHARD_FORMAT_VERSION", "SHARD_PATTERN", "OptionError",
           "CELLS", "DataFolderError", "check_arrays",
           "parse_player", "write_json", "replay", "position", "tile_marks", "COMPLETING", "placements", "pieces",
           "remaining", "scores", "reference_tile", "choose_tile", "NetworkPlayer"]


def position(history):
    """(mover, legal board tiles, payoff by seat, terminal) after ``history``;
    ValueError or TypeError for a history the rules refuse."""
    _, mover, legal, payoff, terminal = _rules.position(history)
    return int(mover), np.flatnonzero(np.frombuffer(legal, dtype=np.uint8)).tolist(), list(payoff), bool(terminal)


COMPLETING = 2  # a tile mark: legal, and it completes the mover's piece


def tile_marks(history) -> np.ndarray:
    """Per board tile after ``history``: 0 not legal, 1 legal, COMPLETING."""
    return np.frombuffer(_rules.position(history)[2], dtype=np.uint8)


def placements(history) -> list:
    """The mover's playable placements: (catalogue index, ascending board tiles)."""
    return [(int(piece), [int(t) for t in cells]) for piece, cells in _rules.placements(history)]


def pieces() -> list:
    """The 21 base shapes as lists of [row, column]."""
    return [[[int(r), int(c)] for r, c in shape] for shape in _rules.pieces()]


def remaining(history) -> list:
    """Each seat's remaining catalogue indices."""
    return [[int(p) for p in seat] for seat in _rules.remaining(history)]


def scores(history) -> list:
    return [int(s) for s in _rules.scores(history)]


def reference_tile(history, kind: str, tie_break: int) -> int:
    """The reference player's tile; ``tie_break`` picks among equally good
    placements (keep it for every tile of a turn)."""
    return int(_rules.reference_tile(history, kind, tie_break))


def choose_tile(history, seat: tuple, evaluator) -> tuple[int, list]:
    """(tile, visit shares as [tile, share] pairs over board tiles) of a
    computer seat; ``evaluator`` answers the network's requests (None for
    seats without a network)."""
    from .. import _match

    tile, shares = _match.choose_tile(history, seat, evaluator, evaluator)
    return int(tile), _share_pairs(shares)


def _share_pairs(shares) -> list:
    """Visit shares as [tile, share] pairs, whether they come as pairs or as
    one entry per board tile."""
    if not shares:
        return []
    items = list(shares)
    if len(items) == 400 and not isinstance(items[0], (tuple, list)):
        return [[t, float(s)] for t, s in enumerate(items) if s > 0]
    return [[int(t), float(s)] for t, s in items]


class NetworkPlayer:
    """A checkpoint's network as the in-process evaluator of a policy or
    search seat: ``put`` runs the network on the request at once, ``recv``
    returns its reply, so one object plays both the queue and the pipe."""

    def __init__(self, checkpoint: str) -> None:
        import torch

        from ..inference.evaluators import NetworkEvaluator
        from ..model.checkpoints import load_checkpoint

        net, _ = load_checkpoint(checkpoint)
        self._evaluator = NetworkEvaluator([net], torch.device("cpu"), cache_mb=32)
        self._reply = None

    def put(self, game_id: int, planes: bytes) -> None:
        self._reply = self._evaluator([(game_id, planes)])[0]

    def recv(self) -> bytes:
        reply, self._reply = self._reply, None
        if reply is None:
            raise EOFError("no request is waiting for a reply")
        return reply

