"""The network: a small residual CNN over the 5 planes of the mover's frame.

Outputs, for each position:
- policy: probabilities over the 400 cells of the mover's frame. The logits
  of cells that are not legal (plane 4 false) are masked out before the
  softmax, and the legal cells get a floor of ``POLICY_FLOOR``, so every legal
  tile has a positive entry (the engine drops tiles whose entry is not > 0).
- values: four seat shares relative to the mover (softmax), entry k for seat
  (mover + k) % 4, matching a payoff that sums to 1.
"""

from __future__ import annotations

import os
from dataclasses import asdict, dataclass

import torch
from torch import nn
from torch.nn import functional as F

from .errors import OptionError

CHECKPOINT_FORMAT = "tarnex-train-network"
CHECKPOINT_VERSION = 1
POLICY_FLOOR = 1e-6


@dataclass(frozen=True)
class NetworkShape:
    channels: int = 32
    blocks: int = 2

    def __post_init__(self) -> None:
        if not (isinstance(self.channels, int) and 1 <= self.channels <= 1024):
            raise OptionError("channels must be an integer in 1..1024")
        if not (isinstance(self.blocks, int) and 0 <= self.blocks <= 64):
            raise OptionError("blocks must be an integer in 0..64")


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


class TarnexNet(nn.Module):
    def __init__(self, shape: NetworkShape = NetworkShape()) -> None:
        super().__init__()
        self.shape = shape
        c = shape.channels
        self.stem = nn.Sequential(nn.Conv2d(5, c, 3, padding=1, bias=False), nn.BatchNorm2d(c), nn.ReLU())
        self.tower = nn.Sequential(*[ResidualBlock(c) for _ in range(shape.blocks)])
        self.policy_head = nn.Sequential(nn.Conv2d(c, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU())
        self.policy_out = nn.Conv2d(2, 1, 1)
        self.value_head = nn.Sequential(nn.Conv2d(c, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU())
        self.value_out = nn.Sequential(nn.Linear(400, 64), nn.ReLU(), nn.Linear(64, 4))

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """planes (B, 5, 20, 20) -> (policy log-probabilities (B, 400), value logits (B, 4)).

        The policy is a log-softmax over the legal cells (plane 4); cells that
        are not legal get -inf.
        """
        x = self.tower(self.stem(planes))
        logits = self.policy_out(self.policy_head(x)).flatten(1)
        legal = planes[:, 4].flatten(1) > 0.5
        logits = logits.masked_fill(~legal, float("-inf"))
        # A position without legal cells (never sent by the engine) would give
        # NaN; fall back to all cells so the output stays finite.
        none_legal = ~legal.any(dim=1, keepdim=True)
        logits = torch.where(none_legal, torch.zeros_like(logits), logits)
        log_policy = F.log_softmax(logits, dim=1)
        values = self.value_out(self.value_head(x).flatten(1))
        return log_policy, values

    @torch.inference_mode()
    def predict(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """(policy probabilities (B, 400), seat shares (B, 4)) for evaluation."""
        log_policy, values = self(planes)
        policy = log_policy.exp()
        legal = planes[:, 4].flatten(1) > 0.5
        policy = torch.where(legal, policy.clamp_min(POLICY_FLOOR), policy)
        return policy, F.softmax(values, dim=1)


def losses(net: TarnexNet, planes, policy_target, value_target) -> tuple[torch.Tensor, torch.Tensor]:
    """Cross-entropies of the policy and of the value shares (batch means)."""
    log_policy, value_logits = net(planes)
    # Targets are zero off the legal cells, where log_policy is -inf.
    policy_loss = -(policy_target * log_policy.clamp_min(-1e4)).sum(dim=1).mean()
    value_loss = -(value_target * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    return policy_loss, value_loss


def save_checkpoint(net: TarnexNet, path: str, trained_steps: int = 0) -> None:
    """Writes the network atomically (temporary file, then rename)."""
    state = {
        "format": CHECKPOINT_FORMAT,
        "version": CHECKPOINT_VERSION,
        "shape": asdict(net.shape),
        "trained_steps": int(trained_steps),
        "state_dict": {k: v.detach().cpu() for k, v in net.state_dict().items()},
    }
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, f".{os.path.basename(path)}.tmp-{os.getpid()}")
    try:
        torch.save(state, temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


class CheckpointError(OptionError):
    pass


def load_checkpoint(path: str) -> tuple[TarnexNet, int]:
    """(network, trained steps) from a file written by ``save_checkpoint``."""
    if not os.path.isfile(path):
        raise CheckpointError(f"checkpoint {path!r} does not exist")
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:  # torch raises several kinds for bad files
        raise CheckpointError(f"checkpoint {path!r} could not be read: {error}") from None
    if not isinstance(state, dict) or state.get("format") != CHECKPOINT_FORMAT:
        raise CheckpointError(f"{path!r} is not a network checkpoint of these tools")
    if state.get("version") != CHECKPOINT_VERSION:
        raise CheckpointError(f"checkpoint {path!r} has version {state.get('version')}, expected {CHECKPOINT_VERSION}")
    try:
        net = TarnexNet(NetworkShape(**state["shape"]))
        net.load_state_dict(state["state_dict"])
    except (KeyError, TypeError, ValueError, RuntimeError) as error:
        raise CheckpointError(f"checkpoint {path!r} does not fit the network: {error}") from None
    return net, int(state.get("trained_steps", 0))


def network_from(checkpoint: str | None, shape: NetworkShape, seed: int | None = None) -> tuple[TarnexNet, str, int]:
    """The network of ``checkpoint``, or a freshly initialised one of ``shape``
    (seeded with ``seed`` when given); with a short description of where it
    came from and its trained steps."""
    if checkpoint:
        net, steps = load_checkpoint(checkpoint)
        shape = net.shape
        return net, f"{checkpoint} ({shape.channels} channels, {shape.blocks} blocks, {steps} steps)", steps
    if seed is not None:
        torch.manual_seed(seed)
    return TarnexNet(shape), f"fresh network ({shape.channels} channels, {shape.blocks} blocks)", 0


def pick_device(name: str) -> torch.device:
    """'cpu', 'cuda' or 'cuda:N'; CUDA only when asked for and available."""
    if name == "cpu":
        return torch.device("cpu")
    if name.startswith("cuda"):
        if not torch.cuda.is_available():
            raise OptionError(f"device {name!r} was asked for but CUDA is not available here")
        device = torch.device(name)
        if device.index is not None and device.index >= torch.cuda.device_count():
            raise OptionError(f"device {name!r}: only {torch.cuda.device_count()} CUDA device(s)")
        return device
    raise OptionError(f"unknown device {name!r} (use cpu, cuda or cuda:N)")
