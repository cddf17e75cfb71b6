"""The board's one symmetry that keeps a position's meaning: the reflection
across the diagonal through the mover's corner (in the mover's frame,
cell (r, c) goes to (c, r)). The rules are the same on a reflected board
and the piece set holds every piece's mirror image, so a reflected
position has the same legal tiles reflected, the same value and the same
best move reflected: training may take either (``--train-mirror``; an
hour with it learnt no faster, so it is off by default). The neighbouring
seats' starting corners swap under it, which matters only for a seat yet
to place its first piece: the side inputs are reflected as given, not
derived again from the reflected board (which would start such a seat at
its usual corner)."""

from __future__ import annotations

import torch

from ..constants import BOARD_SIDE, CELLS, PIECE_FEATURES


def _cells(values: torch.Tensor) -> torch.Tensor:
    """(B, k·400) values of cells, each 400 a board in row order, reflected."""
    batch = values.shape[0]
    boards = values.reshape(batch, -1, BOARD_SIDE, BOARD_SIDE).transpose(2, 3)
    return boards.reshape(batch, -1)


def reflect(mask: torch.Tensor, planes: torch.Tensor, side: torch.Tensor | None, policy: torch.Tensor,
            ownership: torch.Tensor | None):
    """The batch with the positions where ``mask`` (B,) is true reflected:
    planes (B, C, 20, 20), side inputs (B, 84 piece flags, which need no
    change, then any placement planes as 400s), policy targets (B, 400)
    and ownership targets (B, 400). Values and weights do not change."""
    if not bool(mask.any()):
        return planes, side, policy, ownership
    rows = mask.nonzero().squeeze(1)
    planes = planes.clone()
    planes[rows] = planes[rows].transpose(2, 3)
    policy = policy.clone()
    policy[rows] = _cells(policy[rows])
    if ownership is not None:
        ownership = ownership.clone()
        ownership[rows] = _cells(ownership[rows])
    if side is not None and side.shape[1] > PIECE_FEATURES:
        assert (side.shape[1] - PIECE_FEATURES) % CELLS == 0, side.shape
        side = side.clone()
        side[rows, PIECE_FEATURES:] = _cells(side[rows, PIECE_FEATURES:])
    return planes, side, policy, ownership
