"""Whole games saved one file each (JSON), as the browser view's games page
replays them: its own games played by a person, and match games that
``arena --save-games`` keeps."""

from __future__ import annotations

import os
import time

from ..files import write_json

SAVED_FORMAT = "tarnex-view-game"


def save_game(folder: str, name: str, seats, history, scores, payoff, shares=None) -> str:
    """Writes one game as ``folder/name`` (atomically); returns its path.
    ``shares``: per move the (tile, share) pairs a searching seat saw, or None."""
    os.makedirs(folder, exist_ok=True)
    record = {"format": SAVED_FORMAT, "version": 1, "saved": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
              "seats": list(seats), "history": [list(move) for move in history], "shares": shares,
              "scores": list(scores), "payoff": list(payoff)}
    path = os.path.join(folder, name)
    write_json(path, record)
    return path
