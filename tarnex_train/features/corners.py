"""Each seat's corner and closed cells, as planes the network adds to its
stem."""

from __future__ import annotations

import torch
from torch import nn
from torch.nn import functional as F

from ..constants import BOARD_SIDE, SEATS


class CornerPlanes(nn.Module):
    """Each seat's corner cells and closed cells, as planes (B, 8, 20, 20):
    a corner cell is open, touches the seat's cells only diagonally and is
    where its next piece can start; a closed cell is open and shares an edge
    with the seat's cells, so the seat can never take it. The greedy player's
    whole measure is made of these counts. A tower of two blocks would have
    to spend most of its few layers finding them; fixed convolutions give
    them exactly, for any input (a seat's partial piece counts as its cells).
    The kernels are not weights: checkpoints do not store them."""

    def __init__(self) -> None:
        super().__init__()
        kernels = torch.zeros(2, 1, 3, 3)
        kernels[0, 0, 0, 1] = kernels[0, 0, 1, 0] = kernels[0, 0, 1, 2] = kernels[0, 0, 2, 1] = 1  # edges
        kernels[1, 0, 0, 0] = kernels[1, 0, 0, 2] = kernels[1, 0, 2, 0] = kernels[1, 0, 2, 2] = 1  # diagonals
        self.register_buffer("kernels", kernels, persistent=False)

    def forward(self, planes: torch.Tensor) -> torch.Tensor:
        seats = planes[:, :SEATS]
        batch = seats.shape[0]
        # Float arithmetic only (no comparisons): the same graph runs in
        # half precision and exports to ONNX as plain convolutions. Both
        # bounds of each clamp: TorchScript's inference optimiser fails on a
        # one-sided clamp after a convolution.
        touching = F.conv2d(seats.reshape(batch * SEATS, 1, BOARD_SIDE, BOARD_SIDE), self.kernels.to(seats.dtype),
                            padding=1).clamp(0.0, 1.0).reshape(batch, SEATS, 2, BOARD_SIDE, BOARD_SIDE)
        edge, diagonal = touching[:, :, 0], touching[:, :, 1]
        open_cells = 1 - seats.sum(1, keepdim=True).clamp(0.0, 1.0)
        return torch.cat([open_cells * (1 - edge) * diagonal, open_cells * edge], 1)
