"""The network: a small residual CNN over the 5 planes of the mover's frame,
and (when its shape says so) each seat's remaining pieces and placements.

The planes show where pieces lie, not which ones a seat has left, and the
pieces left decide what a seat can still do. They follow from the planes
(``features.side``), but not in a way a few convolutions find: the
network gets them as 84 flags (21 per seat, seats in plane order), which a
linear layer turns into a bias of every channel of the stem's output.

Where each seat can still put which piece takes a search over every
orientation of every remaining piece (``_rules.placement_planes``): with
placement inputs, the network gets for each seat and cell the largest piece
and the number of placements that cover it, as 8 more planes into the stem.
Trained on the same window, they lifted a fresh network's agreement with its
lookahead teacher from 85.6% to 88.1% of held-out positions.

The second input (``pieces``, the side inputs) is the 84 piece flags,
followed, for a network with placement inputs, by the 3200 raw values of
the placement planes (``features.side.side_inputs``). Where only the flags
are given (the training examples), the network reads the placement planes
off the planes itself; the inference forms always get both, from the
packed request.

Outputs, for each position:
- policy: a distribution over the 400 cells of the mover's frame; the logits
  of cells that are not legal (plane 4 false) are masked out before the
  softmax.
- values: four seat shares relative to the mover (softmax), entry k for seat
  (mover + k) % 4, matching a payoff that sums to 1.
- ownership (training only, when the shape has the head): for every cell,
  logits of its final owner relative to the mover, or nobody (5 classes).

The engine keeps the legal tiles whose policy entry v is positive and weighs
each by e^v. ``predict`` therefore sends log-probabilities shifted to be
positive (``engine_policy``): the engine's priors are then exactly the
network's distribution over the legal tiles. Probabilities themselves would
be squeezed into a factor e of each other.
"""

from __future__ import annotations

import math

import torch
from torch import nn
from torch.nn import functional as F

from ..constants import BOARD_SIDE, CELLS, CORNER_PLANES, LEGAL_PLANE, PIECE_FEATURES, PLACEMENT_PLANES, PLANES, SEATS
from ..features.corners import CornerPlanes
from ..features.side import piece_features, placement_features
from ..settings import NetworkShape

# Width of the hidden layer of the value head.
VALUE_HIDDEN = 64
# Ownership classes: the mover, the three seats after it, nobody.
OWNER_CLASSES = SEATS + 1
# Legal entries sent to the engine lie in [PRIOR_OFFSET, PRIOR_OFFSET + PRIOR_RANGE]:
# positive, so every legal tile is kept, and small enough that the engine's
# sum of e^v over 400 tiles stays far inside the float range. Tiles rated
# below e^-PRIOR_RANGE of the best are raised to that floor.
PRIOR_OFFSET = 0.01
PRIOR_RANGE = 60.0


class ResidualBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return F.relu(x + y)


class OwnedValueInput(nn.Module):
    """The value head's input with value_head 'owned': the tower's channel
    means and, beside them, the share of the board the ownership head expects
    the mover, each other seat and nobody to end with. Those shares are the
    final score's own terms, and one tile moves them through its cell and
    its neighbours', where among the means of 400 cells it is lost."""

    def __init__(self, ownership: nn.Conv2d) -> None:
        super().__init__()
        self.ownership = ownership  # the ownership head's own layer, shared

    def forward(self, x: torch.Tensor, logits: torch.Tensor | None = None) -> torch.Tensor:
        """``logits``: the ownership head's of ``x``, where the caller has them."""
        logits = self.ownership(x) if logits is None else logits
        shares = F.softmax(logits.float(), dim=1).mean(dim=(2, 3))
        return torch.cat([x.float().mean(dim=(2, 3)), shares], 1)


class TarnexNet(nn.Module):
    def __init__(self, shape: NetworkShape = NetworkShape()) -> None:
        super().__init__()
        self.shape = shape
        c = shape.channels
        self.corner_planes = CornerPlanes() if shape.corner_inputs else None
        self.placement_inputs = shape.placement_inputs
        inputs = PLANES + (CORNER_PLANES if shape.corner_inputs else 0)
        inputs += PLACEMENT_PLANES if self.placement_inputs else 0
        self.stem = nn.Sequential(nn.Conv2d(inputs, c, 3, padding=1, bias=False), nn.BatchNorm2d(c), nn.ReLU())
        self.tower = nn.Sequential(*[ResidualBlock(c) for _ in range(shape.blocks)])
        self.policy_head = nn.Sequential(nn.Conv2d(c, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU())
        self.policy_out = nn.Conv2d(2, 1, 1)
        # Registered after the value head, as it always was: an optimiser's
        # saved state follows the order of the parameters.
        ownership = nn.Conv2d(c, OWNER_CLASSES, 1) if shape.ownership_head else None
        if shape.value_head == "owned":
            self.value_head = OwnedValueInput(ownership)
            self.value_out = nn.Sequential(nn.Linear(c + OWNER_CLASSES, VALUE_HIDDEN), nn.ReLU(),
                                           nn.Linear(VALUE_HIDDEN, SEATS))
        elif shape.value_head == "pooled":
            # Channel means of the tower: a few dozen numbers per position,
            # which cannot memorise the outcome of each game the way a dense
            # layer over all 400 cells does after a few dozen games.
            self.value_head = nn.Sequential(nn.AdaptiveAvgPool2d(1))
            self.value_out = nn.Sequential(nn.Linear(c, VALUE_HIDDEN), nn.ReLU(), nn.Linear(VALUE_HIDDEN, SEATS))
        else:
            self.value_head = nn.Sequential(nn.Conv2d(c, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU())
            self.value_out = nn.Sequential(nn.Linear(CELLS, VALUE_HIDDEN), nn.ReLU(), nn.Linear(VALUE_HIDDEN, SEATS))
        self.ownership_out = ownership
        self.piece_input = nn.Linear(PIECE_FEATURES, c) if shape.piece_inputs else None

    def forward(self, planes: torch.Tensor, pieces: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        """planes (B, 5, 20, 20), pieces (B, 84 or 3284) -> (policy log-probabilities
        (B, 400), value logits (B, 4)).

        The policy is a log-softmax over the legal cells (plane 4); cells that
        are not legal get -inf. ``pieces``, the side inputs of the planes
        (``features.side.side_features``), is read only by a network with piece or
        placement inputs, which computes what is not given from the planes.
        """
        return self._heads(self._trunk(planes, pieces), planes)

    def forward_training(self, planes: torch.Tensor, pieces: torch.Tensor | None = None):
        """As ``forward``, plus the ownership logits (B, 5, 400), or None
        without the head."""
        x = self._trunk(planes, pieces)
        ownership = self.ownership_out(x) if self.ownership_out is not None else None
        # The 'owned' value head reads these same logits: computed once.
        log_policy, values = self._heads(x, planes, ownership if self.shape.value_head == "owned" else None)
        return log_policy, values, ownership.flatten(2).float() if ownership is not None else None

    def complete_side(self, planes: torch.Tensor, pieces: torch.Tensor | None) -> torch.Tensor | None:
        """The side inputs this network reads, with what ``pieces`` lacks
        (all of it when None, the placement planes when it has only the
        flags) read off the planes; ``pieces`` as it is where nothing is
        missing. On the device of the planes: the trainer calls it before
        its copy to the GPU."""
        if pieces is None and (self.piece_input is not None or self.placement_inputs):
            pieces = piece_features(planes)
        if not self.placement_inputs or pieces.shape[1] > PIECE_FEATURES:
            return pieces
        if torch.jit.is_tracing():  # a trace would keep the example's planes as constants
            raise ValueError("a traced network with placement inputs takes them in its second input")
        return torch.cat([pieces, placement_features(planes).to(pieces.dtype)], 1)

    def _trunk(self, planes: torch.Tensor, pieces: torch.Tensor | None) -> torch.Tensor:
        pieces = self.complete_side(planes, pieces)
        stem_inputs = [planes]
        if self.corner_planes is not None:
            stem_inputs.append(self.corner_planes(planes))
        if self.placement_inputs:
            stem_inputs.append(placement_input(pieces[:, PIECE_FEATURES:]).to(planes.dtype))
        if self.placement_inputs and torch.onnx.is_in_onnx_export():
            x = self._split_stem(stem_inputs)
        else:
            x = self.stem(torch.cat(stem_inputs, 1) if len(stem_inputs) > 1 else planes)
        if self.piece_input is not None:
            bias = self.piece_input(pieces[:, :PIECE_FEATURES].to(x.dtype))[:, :, None, None]
            if torch.onnx.is_in_onnx_export():
                bias = board_map(bias, self.shape.channels)
            x = x + bias
        return self.tower(x)

    def _split_stem(self, stem_inputs: list[torch.Tensor]) -> torch.Tensor:
        """The stem as the sum of two convolutions of the same weights, one
        over the planes made inside the network and one over the placement
        planes: the same function. ONNX Runtime runs a convolution of an
        input-derived concatenation in a slower memory layout: the exported
        network answered in 311 instead of 267 microseconds a position (batch
        12, one thread)."""
        conv, norm, relu = self.stem
        split = conv.weight.shape[1] - PLACEMENT_PLANES
        inner = F.conv2d(torch.cat(stem_inputs[:-1], 1), conv.weight[:, :split], padding=1)
        placed = F.conv2d(stem_inputs[-1], conv.weight[:, split:], padding=1)
        return relu(norm(inner + placed))

    def _heads(self, x: torch.Tensor, planes: torch.Tensor,
               ownership: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        # float32 from here on, also where the tower ran in bfloat16 (training
        # under autocast): the softmax over 400 cells needs the precision.
        logits = self.policy_out(self.policy_head(x)).flatten(1).float()
        legal = planes[:, LEGAL_PLANE].flatten(1) > 0.5
        logits = logits.masked_fill(~legal, float("-inf"))
        # A position without legal cells (never sent by the engine) would give
        # NaN; fall back to all cells so the output stays finite.
        none_legal = ~legal.any(dim=1, keepdim=True)
        logits = torch.where(none_legal, torch.zeros_like(logits), logits)
        log_policy = F.log_softmax(logits, dim=1)
        head_input = self.value_head(x) if ownership is None else self.value_head(x, ownership)
        values = self.value_out(head_input.flatten(1)).float()
        return log_policy, values

    @torch.inference_mode()
    def predict(self, planes: torch.Tensor, pieces: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        """(policy entries for the engine (B, 400), seat shares (B, 4)).

        The policy entries are ``engine_policy`` of the network's
        log-probabilities: the largest is the preferred tile, non-legal
        cells are 0."""
        return engine_outputs(*self(planes, pieces), planes)


def board_map(bias: torch.Tensor, channels: int) -> torch.Tensor:
    """A per-channel bias (B, C, 1, 1) as the same value on every cell
    (B, C, 20, 20), made by a convolution (depthwise, 1 x 1, unit weights: an
    identity). ONNX Runtime keeps the tower in its blocked memory layout only
    where both terms of a sum come out of a convolution: with the bias
    broadcast, the exported network ran about a fifth slower on the CPU than
    without piece inputs; with the map, a few percent."""
    spread = bias.expand(-1, -1, BOARD_SIDE, BOARD_SIDE)
    return F.conv2d(spread, torch.ones(channels, 1, 1, 1, dtype=bias.dtype, device=bias.device), groups=channels)


def placement_input(raw: torch.Tensor) -> torch.Tensor:
    """The stem's placement planes (B, 8, 20, 20) from their raw values
    (B, 3200): sizes over 5, and counts (up to 255) on a log scale that
    puts 1 at about 50 placements."""
    planes = raw.float().reshape(-1, PLACEMENT_PLANES, BOARD_SIDE, BOARD_SIDE)
    half = PLACEMENT_PLANES // 2
    return torch.cat([planes[:, :half] / 5.0, torch.log1p(planes[:, half:]) / 4.0], 1)


def engine_outputs(log_policy: torch.Tensor, value_logits: torch.Tensor, planes: torch.Tensor):
    """What ``predict`` returns, from the network's outputs: the engine's
    policy entries and the seat shares."""
    return engine_policy(log_policy, planes[:, LEGAL_PLANE].flatten(1) > 0.5), F.softmax(value_logits, dim=1)


def engine_policy(log_policy: torch.Tensor, legal: torch.Tensor) -> torch.Tensor:
    """Log-probabilities shifted so that e^entry is proportional to the
    probability on the legal cells (each entry positive), 0 elsewhere."""
    finite = torch.where(legal, log_policy, torch.full_like(log_policy, -math.inf))
    best = finite.max(dim=1, keepdim=True).values
    worst = torch.where(legal, log_policy, torch.full_like(log_policy, math.inf)).min(dim=1, keepdim=True).values
    floor = torch.maximum(worst, best - PRIOR_RANGE)
    floor = torch.where(torch.isfinite(floor), floor, torch.zeros_like(floor))
    shifted = finite.clamp_min(floor) - floor + PRIOR_OFFSET
    return torch.where(legal, shifted, torch.zeros_like(shifted))


