"""Positions of recorded games, rebuilt with the rules library, and the
training records made from them.

Frames: the network sees every position in the mover's frame (the board
turned a quarter turn counter-clockwise once per seat number of the mover).
``FRAMES[mover][t]`` is where board tile ``t`` lies in that frame; the engine
turns the network's policy back with the inverse map, so a search policy over
board tiles goes into the network's frame as ``target[FRAMES[mover][t]]``.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

from .. import _rules
from ..constants import BOARD_SIDE, CELLS, PLANES, SEATS

FRAMES = np.array([_rules.frame(m) for m in range(SEATS)], dtype=np.int64)
FRAMES.setflags(write=False)


@dataclass
class Replay:
    """Every position of a game, one per history entry (before its move)."""

    planes: np.ndarray  # (n, 5, 20, 20) uint8, mover's frame
    movers: np.ndarray  # (n,) uint8
    legal: np.ndarray  # (n, 400) bool, board frame
    completing: np.ndarray  # (n, 400) bool: legal, and choosing it completes the mover's piece
    payoff: np.ndarray  # (4,) float32 by seat, of the position after the last entry
    terminal: bool

    def __len__(self) -> int:
        return len(self.movers)


def replay(history: Sequence[Sequence[int]]) -> Replay:
    """Plays ``history`` ((seat, tile) pairs) and returns its positions.

    Raises TypeError or ValueError naming the first entry that is not a pair
    of integers, whose seat is not the mover's or whose tile is not legal.
    """
    planes, movers, legal, payoff, terminal = _rules.replay(history)
    n = len(movers)
    marks = np.frombuffer(legal, dtype=np.uint8).reshape(n, CELLS)
    return Replay(
        planes=np.frombuffer(planes, dtype=np.uint8).reshape(n, PLANES, BOARD_SIDE, BOARD_SIDE),
        movers=np.frombuffer(movers, dtype=np.uint8),
        legal=marks.astype(bool),
        completing=marks == 2,
        payoff=np.asarray(payoff, dtype=np.float32),
        terminal=bool(terminal),
    )


def placement_policies(history, positions: Replay | None = None) -> list:
    """Policy targets for a game of players that choose whole placements:
    at each tile, an equal share on every cell of the placement not yet
    chosen (the cells of a piece may be chosen in any order). ``positions``:
    the game's replay, where the caller has it."""
    positions = replay(history) if positions is None else positions
    ends = positions.completing[np.arange(len(history)), [t for _, t in history]]
    policies, start = [], 0
    for i, end in enumerate(ends):
        if end:
            cells = [t for _, t in history[start:i + 1]]
            policies += [[(c, 1.0) for c in cells[k:]] for k in range(len(cells))]
            start = i + 1
    if start != len(history):
        raise RecordError("the history ends inside a turn")
    return policies


def mover_relative(payoff_by_seat: np.ndarray, movers: np.ndarray) -> np.ndarray:
    """(n, 4): entry k of row i is the payoff of seat (movers[i] + k) % 4."""
    seats = (movers.astype(np.int64)[:, None] + np.arange(SEATS)[None, :]) % SEATS
    return np.asarray(payoff_by_seat, dtype=np.float32)[seats]


class RecordError(ValueError):
    """A game result whose history, policies and payoff do not fit together."""


def training_records(history, policies, payoff, quick_searches: bool = False, target: str = "visits") -> dict:
    """Turns one result of ``play_training_game`` into training records.

    Returns arrays with one row per move: ``planes`` (n, 5, 20, 20) uint8,
    ``policy`` (n, 400) float32 (the search's visit shares in the mover's
    frame, normalised to sum 1; all 0 for a tile chosen by a quick search,
    whose policy is empty and no target), ``value`` (n, 4) float32 (the final payoff in
    mover-relative order), ``mover`` (n,) uint8, ``tile`` (n,) int16 (the
    board tile played) and ``completing`` (n,) int16 (how many legal tiles
    would complete the mover's piece) and ``target`` (n,) str (what the
    policy row is: ``target``, or "none" where it is empty). ``policies``
    None: those of ``placement_policies``, from the same replay. Raises
    RecordError when the parts do not agree; an empty policy too, unless
    ``quick_searches`` (games played with playout-cap randomisation).
    """
    if policies is not None and len(history) != len(policies):
        raise RecordError(f"{len(history)} history entries but {len(policies)} search policies")
    payoff = np.asarray(payoff, dtype=np.float32)
    if payoff.shape != (SEATS,):
        raise RecordError(f"payoff must have 4 entries, got {payoff.shape}")
    positions = replay(history)
    if not positions.terminal:
        raise RecordError("the history does not reach the end of the game")
    if policies is None:
        policies = placement_policies(history, positions)
    if not np.allclose(positions.payoff, payoff, atol=1e-6):
        raise RecordError(f"payoff {payoff.tolist()} differs from the replayed {positions.payoff.tolist()}")
    n = len(positions)
    policy = np.zeros((n, CELLS), dtype=np.float32)
    for i, entries in enumerate(policies):
        if not entries:
            if quick_searches:
                continue
            raise RecordError(f"move {i}: empty search policy")
        tiles = np.fromiter((t for t, _ in entries), dtype=np.int64, count=len(entries))
        shares = np.fromiter((s for _, s in entries), dtype=np.float64, count=len(entries))
        if tiles.min() < 0 or tiles.max() >= CELLS or not positions.legal[i, tiles].all():
            raise RecordError(f"move {i}: search policy names a tile that is not legal")
        total = shares.sum()
        if not np.isfinite(total) or total <= 0 or (shares < 0).any():
            raise RecordError(f"move {i}: search policy shares do not form a distribution")
        policy[i, FRAMES[positions.movers[i], tiles]] = shares / total
    return {
        "planes": positions.planes,
        "policy": policy,
        "value": mover_relative(payoff, positions.movers),
        "mover": positions.movers,
        "tile": np.fromiter((t for _, t in history), dtype=np.int16, count=n),
        "completing": positions.completing.sum(axis=1).astype(np.int16),
        "target": np.array([target if entries else "none" for entries in policies]),
    }
