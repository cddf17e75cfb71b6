"""How far the value tells sibling moves apart. At positions of recorded
games, every legal tile's position is valued for the seat that chose it:
the search ranks a position's tiles by exactly these values (credited to
the chooser) against the priors' exploration term, so where they differ by
less than the value's own noise (its steps within a turn, which should be
near 0), the search can do little but follow the priors."""

from __future__ import annotations

import math

import numpy as np

from ..constants import PLANES_SHAPE, SEATS

# Positions measured per call: a few thousand child positions, about a
# second of the network on a CPU.
ROOTS = 48


def sibling_spread(net, records: dict, device="cpu", roots: int = ROOTS) -> dict:
    """``sibling_spread``: the median, over up to ``roots`` positions of
    ``records`` with two legal tiles or more (spread evenly over them),
    of the standard deviation of the chooser's values of the positions its
    legal tiles lead to; ``sibling_range``: the median of their range;
    ``sibling_roots``: the positions measured. Empty where the records do
    not say their games' tiles."""
    import torch

    from .. import _rules

    if "tile" not in records or not len(records.get("mover", ())):
        return {}
    n = len(records["mover"])
    picks = np.unique(np.linspace(0, n - 1, min(roots * 4, n)).round().astype(int))
    spreads, ranges = [], []
    net.eval()
    for history in _histories(records, picks):
        _, mover, legal, _, terminal = _rules.position(history)
        tiles = [tile for tile in range(len(legal)) if legal[tile]]
        if terminal or len(tiles) < 2:
            continue
        values = _chooser_values(net, history, mover, tiles, device, torch, _rules)
        spreads.append(float(np.std(values)))
        ranges.append(float(np.ptp(values)))
        if len(spreads) == roots:
            break
    if not spreads:
        return {"sibling_spread": math.nan, "sibling_range": math.nan, "sibling_roots": 0}
    return {"sibling_spread": float(np.median(spreads)), "sibling_range": float(np.median(ranges)),
            "sibling_roots": len(spreads)}


def _histories(records: dict, indices=None) -> list:
    """The history of each position of ``indices`` (default all), from its
    game's earlier (mover, tile) pairs (a game's positions lie together, in
    order); only those are copied out."""
    keys, movers, tiles = records["game_key"], records["mover"], records["tile"]
    wanted = set(range(len(keys)) if indices is None else (int(i) for i in indices))
    histories, played, previous = [], [], None
    for index, (key, mover, tile) in enumerate(zip(keys, movers, tiles)):
        if key != previous:
            played, previous = [], key
        if index in wanted:
            histories.append(list(played))
        played.append((int(mover), int(tile)))
    return histories


def _chooser_values(net, history, mover, tiles, device, torch, rules) -> np.ndarray:
    """The chooser's value share of each tile's position: a finished game
    by its payoff, the others by the network (values relative to the
    child's mover)."""
    planes, offsets, values = [], [], np.zeros(len(tiles))
    waiting = []
    for k, tile in enumerate(tiles):
        child_planes, child_mover, _, payoff, terminal = rules.position(history + [(mover, tile)])
        if terminal:
            values[k] = payoff[mover]
            continue
        planes.append(child_planes)
        offsets.append((mover - child_mover) % SEATS)
        waiting.append(k)
    if waiting:
        batch = np.frombuffer(b"".join(planes), dtype=np.uint8).reshape(len(planes), *PLANES_SHAPE)
        with torch.inference_mode():
            _, logits = net(torch.from_numpy(batch.astype(np.float32)).to(device))
        shares = logits.float().softmax(dim=1).cpu().numpy()
        values[waiting] = shares[np.arange(len(waiting)), offsets]
    return values
