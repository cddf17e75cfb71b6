"""Whole games saved one file each (JSON), as the browser view's games page
replays them: its own games played by a person, and match games that
``arena --save-games`` keeps."""

from __future__ import annotations

import os
import time

from ..files import write_json

SAVED_FORMAT = "tarnex-view-game"


# What a seat's shares are, by the kind of player: a search's root visit
# shares, or the probabilities of the network's policy.
SHARE_KINDS = {"search": "visits", "policy": "policy"}


def share_kind(player: str) -> str | None:
    """The kind of shares a seat's player (as the command line writes it)
    shows; None for players that show none (a person, reference players)."""
    return SHARE_KINDS.get(str(player).partition(":")[0])


def save_game(folder: str, name: str, seats, history, scores, payoff, shares=None, share_kinds=None) -> str:
    """Writes one game as ``folder/name`` (atomically); returns its path.
    ``seats``: each seat's player, as the command line writes it, or
    "person". ``shares``: per move the (tile, share) pairs a computer seat
    saw, or None. ``share_kinds``: per seat what its shares are ("visits",
    "policy" or None; by default read off ``seats``)."""
    os.makedirs(folder, exist_ok=True)
    kinds = list(share_kinds) if share_kinds is not None else [share_kind(seat) for seat in seats]
    record = {"format": SAVED_FORMAT, "version": 1, "saved": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
              "seats": list(seats), "share_kinds": kinds, "history": [list(move) for move in history],
              "shares": shares, "scores": list(scores), "payoff": list(payoff)}
    path = os.path.join(folder, name)
    write_json(path, record)
    return path
