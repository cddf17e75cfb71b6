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

from ..constants import BOARD_SIDE, PIECE_FEATURES


def _reflected(values: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
    """``values`` (B, ...), each row whole boards of cells in row order
    (planes (B, C, 20, 20) or flat (B, k·400)), reflected where ``mask``."""
    boards = values.reshape(values.shape[0], -1, BOARD_SIDE, BOARD_SIDE)
    return torch.where(mask.view(-1, 1, 1, 1), boards.transpose(2, 3), boards).reshape(values.shape)


def reflect(mask: torch.Tensor, planes: torch.Tensor, side: torch.Tensor | None, policy: torch.Tensor,
            ownership: torch.Tensor | None):
    """The batch with the positions where ``mask`` (B,) is true reflected:
    planes (B, C, 20, 20), side inputs (B, 84 piece flags, which need no
    change, then any placement planes as 400s), policy targets (B, 400)
    and ownership targets (B, 400). Values and weights do not change."""
    if ownership is not None:
        ownership = _reflected(ownership, mask)
    if side is not None and side.shape[1] > PIECE_FEATURES:
        side = torch.cat([side[:, :PIECE_FEATURES], _reflected(side[:, PIECE_FEATURES:], mask)], 1)
    return _reflected(planes, mask), side, _reflected(policy, mask), ownership
