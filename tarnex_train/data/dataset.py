"""Training examples from records: the targets the network is fitted to.

Value target: the final payoff (win shares, mover-relative) blended with a
softmax over the seats' final scores. Four-player win shares are a sparse
signal (one seat gets 1, the others 0, whatever the margins); the scores
say how far ahead or behind every seat ended, which a small network learns
from far fewer games. The scores come from the rules library, which plays
each game's history (every record is one tile: its mover and tile, in
order) to its end.

Side inputs: each seat's remaining pieces, read from the planes once when
the examples are made (``features.side.piece_flags``), and for a network
with placement inputs its placement planes (``placement_values``), read
once where a position enters the loop's window (``PLACEMENTS``), not again
for every batch it is drawn into.

Ownership target: who owns each cell when the game ends (the mover, the
next seats in turn order, or nobody), in the mover's frame. Every position
gets 400 labels instead of one outcome, so the tower learns what makes
territory from a few dozen games; the value head reads the same features.
"""

from __future__ import annotations

import numpy as np
import torch
from torch.utils.data import Dataset

from .. import _rules
from ..constants import CELLS, PIECE_FEATURES, PLACEMENT_FEATURES, SEATS
from ..features.side import piece_flags, placement_values
from ..settings import TrainSettings
from .positions import FRAMES
from .shards import load_records

EMPTY = SEATS  # ownership label of a cell nobody placed on
# Positions whose planes go to the rules library at a time: a bounded copy.
FEATURE_CHUNK = 65536
# The records' (n, 3200) uint8 placement planes, where they were read once.
PLACEMENTS = "placement_planes"

# FROM_FRAME[m][f]: the board tile at cell f of mover m's frame.
FROM_FRAME = np.argsort(FRAMES, axis=1)


def final_scores(game_key: np.ndarray, mover: np.ndarray, tile: np.ndarray) -> np.ndarray:
    """(n, 4): for each record, the final score of every seat (absolute
    order) of its game, as the rules library counts it. Needs every record
    of each game, in playing order."""
    games, inverse = np.unique(game_key, return_inverse=True)
    order = np.argsort(inverse, kind="stable")
    bounds = np.searchsorted(inverse[order], np.arange(len(games) + 1))
    movers, tiles = mover.astype(np.int64), tile.astype(np.int64)
    scores = np.zeros((len(games), SEATS), dtype=np.float32)
    for k in range(len(games)):
        rows = order[bounds[k]:bounds[k + 1]]
        scores[k] = _rules.scores(list(zip(movers[rows].tolist(), tiles[rows].tolist())))
    return scores[inverse]


def final_ownership(game_key: np.ndarray, mover: np.ndarray, tile: np.ndarray) -> np.ndarray:
    """(n, 400) int8: for each record, the final owner of every cell of its
    mover's frame relative to the mover (0 the mover, k the k-th seat after
    it), or EMPTY. Needs every record of each game."""
    games, inverse = np.unique(game_key, return_inverse=True)
    owner = np.full((len(games), CELLS), -1, dtype=np.int8)
    owner[inverse, tile.astype(np.int64)] = mover.astype(np.int8)
    movers = mover.astype(np.int64)
    by_board_tile = owner[inverse]  # (n, 400), board frame, absolute seats
    in_frame = np.take_along_axis(by_board_tile, FROM_FRAME[movers], axis=1)
    relative = (in_frame.astype(np.int64) - movers[:, None]) % SEATS
    return np.where(in_frame < 0, EMPTY, relative).astype(np.int8)


def add_game_targets(records: dict) -> dict:
    """Adds the targets that need whole games (``final_scores``,
    ``ownership``) unless present; call before taking parts of games."""
    if records and "final_scores" not in records:
        records["final_scores"] = final_scores(records["game_key"], records["mover"], records["tile"])
    if records and "ownership" not in records:
        records["ownership"] = final_ownership(records["game_key"], records["mover"], records["tile"])
    return records


def _per_position(planes: np.ndarray, width: int, derive) -> np.ndarray:
    out = np.empty((len(planes), width), dtype=np.uint8)
    for start in range(0, len(planes), FEATURE_CHUNK):
        chunk = np.ascontiguousarray(planes[start:start + FEATURE_CHUNK], dtype=np.uint8)
        out[start:start + len(chunk)] = derive(chunk.tobytes())
    return out


def piece_features(planes: np.ndarray) -> np.ndarray:
    """(n, 84) uint8 remaining-piece flags of (n, 5, 20, 20) 0/1 planes."""
    return _per_position(planes, PIECE_FEATURES, piece_flags)


def add_placement_planes(records: dict) -> None:
    """Reads the placement planes of the records' positions once, into
    ``records[PLACEMENTS]``, for the examples of a network with placement
    inputs (which would otherwise derive them for every batch)."""
    if records and PLACEMENTS not in records:
        records[PLACEMENTS] = _per_position(records["planes"], PLACEMENT_FEATURES, placement_values)


def value_targets(records: dict, settings: TrainSettings) -> np.ndarray:
    """(n, 4) mover-relative value targets, rows summing to 1."""
    payoff = records["value"].astype(np.float32)
    weight = settings.value_score_weight
    if weight <= 0:
        return payoff
    scores = records["final_scores"] if "final_scores" in records else \
        final_scores(records["game_key"], records["mover"], records["tile"])
    seats = (records["mover"].astype(np.int64)[:, None] + np.arange(SEATS)[None, :]) % SEATS
    relative = np.take_along_axis(scores, seats, axis=1) / settings.value_temperature
    relative -= relative.max(axis=1, keepdims=True)
    soft = np.exp(relative)
    soft /= soft.sum(axis=1, keepdims=True)
    return ((1.0 - weight) * payoff + weight * soft).astype(np.float32)


def game_quarters(game_key: np.ndarray) -> np.ndarray:
    """Per position, the quarter of its game it lies in (0 to 3), by its
    place among the game's positions in record order."""
    _, inverse, counts = np.unique(game_key, return_inverse=True, return_counts=True)
    order = np.argsort(inverse, kind="stable")
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    rank = np.empty(len(game_key), np.int64)
    rank[order] = np.arange(len(game_key)) - np.repeat(starts, counts)
    return np.minimum(rank * 4 // counts[inverse], 3).astype(np.int64)


class Examples:
    """Planes, piece features, policy and value targets as tensors,
    indexable by batches; ``quarter``: the quarter of its game each
    position lies in; ``mover`` and ``game_key``: whose move it is, and
    which game it is of."""

    def __init__(self, records: dict, settings: TrainSettings) -> None:
        add_game_targets(records)
        self.planes = torch.from_numpy(np.ascontiguousarray(records["planes"]))
        pieces = piece_features(records["planes"])
        if PLACEMENTS in records:  # the network's whole side input, as it takes it
            pieces = np.concatenate([pieces, records[PLACEMENTS]], axis=1)
        self.pieces = torch.from_numpy(pieces)
        self.policy = torch.from_numpy(np.ascontiguousarray(records["policy"], dtype=np.float32))
        self.value = torch.from_numpy(value_targets(records, settings))
        completing = records.get("completing")
        weight = np.ones(len(self.planes), np.float32)
        if completing is not None:
            weight[completing > 0] = settings.completion_policy_weight
        # Tiles moved on by a quick search have no policy target.
        weight[records["policy"].sum(axis=1) == 0] = 0.0
        self.policy_weight = torch.from_numpy(weight)
        self.ownership = torch.from_numpy(np.ascontiguousarray(records["ownership"]))
        self.quarter = torch.from_numpy(game_quarters(records["game_key"]))
        self.mover = torch.from_numpy(records["mover"].astype(np.int64))
        self.game_key = torch.from_numpy(np.asarray(records["game_key"], dtype=np.int64))

    def __len__(self) -> int:
        return len(self.planes)

    def batch(self, indices):
        """(planes, side inputs (the piece flags, and the placement planes
        where the records carry them), policy target, value target, policy
        weight, ownership target) of the examples."""
        return (self.planes[indices].float(), self.pieces[indices].float(), self.policy[indices], self.value[indices],
                self.policy_weight[indices], self.ownership[indices].long())


class ShardDataset(Dataset):
    """Every record of the given data folders and/or shard files, in memory.

    Item i: (planes float32 (5, 20, 20), piece features float32 (84,), policy
    float32 (400,), value float32 (4,), policy weight float32 (), ownership
    int64 (400,)), all in the frame and seat order of the position's mover.
    """

    def __init__(self, sources, settings: TrainSettings | None = None) -> None:
        self.examples = Examples(load_records(sources), settings or TrainSettings())

    def __len__(self) -> int:
        return len(self.examples)

    def __getitem__(self, index):
        return self.examples.batch(index)
