"""The side inputs of positions, from their planes packed one byte per
cell (the form requests travel in): each seat's remaining pieces as 84
flags (21 per seat, seats in plane order), and, for a network with
placement inputs, its placement planes (each seat's largest piece, then
its number of placements, covering each cell: 3200 values). The rules
library derives both natively; the torch forms take planes (B, 5, 20, 20)
and answer on their device."""

from __future__ import annotations

import numpy as np
import torch

from .. import _rules
from ..constants import PIECE_FEATURES, PLACEMENT_FEATURES
from ..settings import NetworkShape


def piece_flags(packed: bytes) -> np.ndarray:
    """(B, 84) uint8: each seat's remaining pieces (21 flags per seat, seats
    in plane order) of B positions' planes packed one byte per cell."""
    return np.frombuffer(_rules.piece_features(packed), dtype=np.uint8).reshape(-1, PIECE_FEATURES)


def placement_values(packed: bytes) -> np.ndarray:
    """(B, 3200) uint8: each seat's largest piece, then its number of
    placements, covering each cell, of B positions' packed planes."""
    return np.frombuffer(_rules.placement_planes(packed), dtype=np.uint8).reshape(-1, PLACEMENT_FEATURES)


def side_inputs(packed: bytes, shape: NetworkShape) -> np.ndarray | None:
    """(B, 84 or 3284) float32: the second input of a network of ``shape``
    for B positions' packed planes; None where it takes none."""
    if not (shape.piece_inputs or shape.placement_inputs):
        return None
    flags = piece_flags(packed)
    if not shape.placement_inputs:
        return flags.astype(np.float32)
    return np.concatenate([flags, placement_values(packed)], axis=1, dtype=np.float32)


def _packed(planes: torch.Tensor) -> bytes:
    return (planes > 0.5).to("cpu", torch.uint8).contiguous().numpy().tobytes()


def side_features(planes: torch.Tensor, shape: NetworkShape) -> torch.Tensor | None:
    """``side_inputs`` of planes (B, 5, 20, 20), on their device."""
    side = side_inputs(_packed(planes), shape)
    return None if side is None else torch.from_numpy(side).to(planes.device)


def piece_features(planes: torch.Tensor) -> torch.Tensor:
    """(B, 84) float32 ``piece_flags`` of planes (B, 5, 20, 20), on their device."""
    return torch.from_numpy(piece_flags(_packed(planes)).astype(np.float32)).to(planes.device)


def placement_features(planes: torch.Tensor) -> torch.Tensor:
    """(B, 3200) float32 placement planes of planes (B, 5, 20, 20), on their device."""
    return torch.from_numpy(placement_values(_packed(planes)).astype(np.float32)).to(planes.device)
