"""The training window: the newest positions of a run, by generation.

Each generation's shards are read once and kept in memory. Every
``holdout_every``-th game (by its number within the self-play run that
played it) is set aside and never trained on; its positions measure the
losses on positions the network has not seen.
"""

from __future__ import annotations

import glob
import os

import numpy as np

from .dataset import add_game_targets, add_placement_planes
from .shards import SHARD_PATTERN, concatenate_shards, read_shard


def _select(records: dict, keep: np.ndarray) -> dict:
    return {name: array[keep] for name, array in records.items()}


class Window:
    """``placements``: the run's network takes placement inputs, read once
    for each position as its generation comes in."""

    def __init__(self, holdout_every: int, placements: bool = False) -> None:
        self.holdout_every = holdout_every
        self.placements = placements
        self._generations: dict[int, tuple[dict, dict]] = {}

    def add(self, generation: int, data_dir: str) -> int:
        """Reads a generation's shards; returns its number of training positions."""
        paths = sorted(glob.glob(os.path.join(data_dir, SHARD_PATTERN)))
        if not paths:
            self._generations[generation] = ({}, {})
            return 0
        records = concatenate_shards([read_shard(path) for path in paths])
        # Game keys tell games apart within a generation; make them unique in the run.
        records["game_key"] = records["game_key"] + (np.int64(generation) << 48)
        # Targets that need whole games, before the window cuts through one.
        add_game_targets(records)
        if self.placements:
            add_placement_planes(records)
        game = (records["game_key"] & 0xFFFFFFFF).astype(np.int64)
        held = (game % self.holdout_every == 0) if self.holdout_every else np.zeros(len(game), bool)
        self._generations[generation] = (_select(records, ~held), _select(records, held))
        return int((~held).sum())

    def positions(self, generation: int) -> int:
        train, _ = self._generations.get(generation, ({}, {}))
        return len(train.get("mover", ()))

    def newest(self, up_to: int, size: int) -> dict:
        """The newest ``size`` training positions of generations ``up_to`` and
        before; a generation that no longer fits whole contributes its
        newest games' positions (shards are in playing order)."""
        parts, left = [], size
        for generation in sorted((g for g in self._generations if g <= up_to), reverse=True):
            train, _ = self._generations[generation]
            n = len(train.get("mover", ()))
            if n == 0:
                continue
            take = min(n, left)
            parts.append(_select(train, np.arange(n - take, n)))
            left -= take
            if left == 0:
                break
        if not parts:
            return {}
        return {name: np.concatenate([p[name] for p in reversed(parts)]) for name in parts[0]}

    def heldout(self, generation: int) -> dict:
        return self._generations.get(generation, ({}, {}))[1]

    def keep_newest(self, size: int) -> None:
        """Frees the generations that can no longer reach a window of ``size``."""
        have = 0
        for g in sorted(self._generations, reverse=True):
            if have >= size:
                del self._generations[g]
            else:
                have += self.positions(g)
