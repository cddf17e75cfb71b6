"""A game as the games page replays it: its tiles, where its pieces end,
each seat's remaining pieces and score after every piece, and the search's
visit shares over the legal tiles of every position."""

from __future__ import annotations

import numpy as np

from . import sources


def replay_view(history, share_rows=None, recorded_shares=None) -> dict:
    """``history``: (seat, tile) pairs the rules accept. Shares come either
    as ``share_rows`` (a shard's policy rows, one per move, in the mover's
    frame) or ``recorded_shares`` (per move [tile, share] pairs over board
    tiles, or None where the seat did not search)."""
    history = [(int(s), int(t)) for s, t in history]
    positions = sources.replay(history)
    moves, shares = [], []
    for i, (seat, tile) in enumerate(history):
        legal = np.flatnonzero(positions.legal[i])
        moves.append([seat, tile, bool(positions.completing[i, tile])])
        if share_rows is not None:
            row = share_rows[i, sources.FRAMES[seat, legal]]
            shares.append([[int(t), round(float(s), 4)] for t, s in zip(legal, row)])
        elif recorded_shares is not None and i < len(recorded_shares) and recorded_shares[i]:
            shares.append([[int(t), round(float(s), 4)] for t, s in recorded_shares[i]])
        else:
            shares.append(None)
    # Remaining pieces and scores change when a piece is complete: kept once
    # per piece, the page shows the newest at or before the move it is at.
    states = [_state(history, 0)]
    for i, (seat, _, completes) in enumerate(moves):
        if completes:
            state = _state(history, i + 1)
            placed = set(states[-1]["remaining"][seat]) - set(state["remaining"][seat])
            state.update(seat=seat, piece=placed.pop() if len(placed) == 1 else None)
            states.append(state)
    if states[-1]["moves"] != len(history):
        states.append(_state(history, len(history)))
    return {"moves": moves, "shares": shares, "states": states, "terminal": positions.terminal,
            "payoff": [float(p) for p in positions.payoff], "scores": states[-1]["scores"]}


def _state(history, moves: int) -> dict:
    prefix = history[:moves]
    return {"moves": moves, "remaining": sources.remaining(prefix), "scores": sources.scores(prefix)}
