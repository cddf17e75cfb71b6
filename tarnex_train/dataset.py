"""Training examples from records: the targets the network is fitted to.

Value target: the final payoff (win shares, mover-relative) blended with a
softmax over the seats' final scores. Four-player win shares are a sparse
signal (one seat gets 1, the others 0, whatever the margins); the scores
say how far ahead or behind every seat ended, which a small network learns
from far fewer games. The score of a seat is the number of cells it placed
(every record is one cell), minus the 89 it started with, plus 15 for using
up every piece.
"""

from __future__ import annotations

import numpy as np
import torch
from torch.utils.data import Dataset

from .settings import TrainSettings
from .shards import load_records

SEATS = 4
CELLS_PER_PLAYER = 89
ALL_PLACED_BONUS = 15


def final_scores(game_key: np.ndarray, mover: np.ndarray) -> np.ndarray:
    """(n, 4): for each record, the final score of every seat (absolute
    order) of its game."""
    games, inverse = np.unique(game_key, return_inverse=True)
    cells = np.zeros((len(games), SEATS), dtype=np.int64)
    np.add.at(cells, (inverse, mover.astype(np.int64)), 1)
    scores = cells - CELLS_PER_PLAYER + np.where(cells >= CELLS_PER_PLAYER, ALL_PLACED_BONUS, 0)
    return scores[inverse].astype(np.float32)


def value_targets(records: dict, settings: TrainSettings) -> np.ndarray:
    """(n, 4) mover-relative value targets, rows summing to 1."""
    payoff = records["value"].astype(np.float32)
    weight = settings.value_score_weight
    if weight <= 0:
        return payoff
    scores = final_scores(records["game_key"], records["mover"])
    seats = (records["mover"].astype(np.int64)[:, None] + np.arange(SEATS)[None, :]) % SEATS
    relative = np.take_along_axis(scores, seats, axis=1) / settings.value_temperature
    relative -= relative.max(axis=1, keepdims=True)
    soft = np.exp(relative)
    soft /= soft.sum(axis=1, keepdims=True)
    return ((1.0 - weight) * payoff + weight * soft).astype(np.float32)


class Examples:
    """Planes, policy and value targets as tensors, indexable by batches."""

    def __init__(self, records: dict, settings: TrainSettings) -> None:
        self.planes = torch.from_numpy(np.ascontiguousarray(records["planes"]))
        self.policy = torch.from_numpy(np.ascontiguousarray(records["policy"], dtype=np.float32))
        self.value = torch.from_numpy(value_targets(records, settings))
        completing = records.get("completing")
        weight = np.ones(len(self.planes), np.float32)
        if completing is not None:
            weight[completing > 0] = settings.completion_policy_weight
        self.policy_weight = torch.from_numpy(weight)

    def __len__(self) -> int:
        return len(self.planes)

    def batch(self, indices):
        """(planes, policy target, value target, policy weight) of the examples."""
        return self.planes[indices].float(), self.policy[indices], self.value[indices], self.policy_weight[indices]


class ShardDataset(Dataset):
    """Every record of the given data folders and/or shard files, in memory.

    Item i: (planes float32 (5, 20, 20), policy float32 (400,), value float32 (4,),
    policy weight float32 ()), all in the frame and seat order of the position's mover.
    """

    def __init__(self, sources, settings: TrainSettings | None = None) -> None:
        self.examples = Examples(load_records(sources), settings or TrainSettings())

    def __len__(self) -> int:
        return len(self.examples)

    def __getitem__(self, index):
        return self.examples.batch(index)
