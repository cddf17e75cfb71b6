"""A game as the games page replays it: its tiles, where its pieces end,
each seat's remaining pieces and score after every piece, and the shares
over the legal tiles of every position, with what they are (a search's
visits, a teacher's target, the network's policy ...)."""

from __future__ import annotations

import numpy as np

from . import sources


def replay_view(history, share_rows=None, recorded_shares=None, targets=None, seat_kinds=None) -> dict:
    """``history``: (seat, tile) pairs the rules accept. Shares come either
    as ``share_rows`` (a shard's policy rows, one per move, in the mover's
    frame; ``targets``: per move what the row is, as the shard records it,
    None for a shard from before) or ``recorded_shares`` (per move [tile,
    share] pairs over board tiles, or None where the seat showed none;
    ``seat_kinds``: per seat what its shares are). ``kinds`` tells, per
    move, what its shares are (None where unknown or there are none)."""
    history = [(int(s), int(t)) for s, t in history]
    positions = sources.replay(history)
    moves, shares, kinds = [], [], []
    for i, (seat, tile) in enumerate(history):
        legal = np.flatnonzero(positions.legal[i])
        moves.append([seat, tile, bool(positions.completing[i, tile])])
        kind = None
        if share_rows is not None:
            kind = targets[i] if targets is not None else None
            row = share_rows[i, sources.FRAMES[seat, legal]]
            shares.append(None if kind == "none" else [[int(t), round(float(s), 4)] for t, s in zip(legal, row)])
        elif recorded_shares is not None and i < len(recorded_shares) and recorded_shares[i]:
            kind = seat_kinds[seat] if seat_kinds is not None and seat < len(seat_kinds) else None
            shares.append([[int(t), round(float(s), 4)] for t, s in recorded_shares[i]])
        else:
            shares.append(None)
        kinds.append(kind if shares[-1] is not None else None)
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
    return {"moves": moves, "shares": shares, "kinds": kinds, "states": states, "terminal": positions.terminal,
            "payoff": [float(p) for p in positions.payoff], "scores": states[-1]["scores"]}


def _state(history, moves: int) -> dict:
    prefix = history[:moves]
    return {"moves": moves, "remaining": sources.remaining(prefix), "scores": sources.scores(prefix)}
