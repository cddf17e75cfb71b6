"""The network: a small residual CNN over the 5 planes of the mover's frame.

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

import copy
import io
import math
import os
import warnings
from dataclasses import asdict

import torch
from torch import nn
from torch.nn import functional as F

from .errors import OptionError
from .settings import NetworkShape

CHECKPOINT_FORMAT = "tarnex-train-network"
CHECKPOINT_VERSION = 1
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


class TarnexNet(nn.Module):
    def __init__(self, shape: NetworkShape = NetworkShape()) -> None:
        super().__init__()
        self.shape = shape
        c = shape.channels
        self.stem = nn.Sequential(nn.Conv2d(5, c, 3, padding=1, bias=False), nn.BatchNorm2d(c), nn.ReLU())
        self.tower = nn.Sequential(*[ResidualBlock(c) for _ in range(shape.blocks)])
        self.policy_head = nn.Sequential(nn.Conv2d(c, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU())
        self.policy_out = nn.Conv2d(2, 1, 1)
        if shape.value_head == "pooled":
            # Channel means of the tower: a few dozen numbers per position,
            # which cannot memorise the outcome of each game the way a dense
            # layer over all 400 cells does after a few dozen games.
            self.value_head = nn.Sequential(nn.AdaptiveAvgPool2d(1))
            self.value_out = nn.Sequential(nn.Linear(c, 64), nn.ReLU(), nn.Linear(64, 4))
        else:
            self.value_head = nn.Sequential(nn.Conv2d(c, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU())
            self.value_out = nn.Sequential(nn.Linear(400, 64), nn.ReLU(), nn.Linear(64, 4))
        self.ownership_out = nn.Conv2d(c, 5, 1) if shape.ownership_head else None

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """planes (B, 5, 20, 20) -> (policy log-probabilities (B, 400), value logits (B, 4)).

        The policy is a log-softmax over the legal cells (plane 4); cells that
        are not legal get -inf.
        """
        return self._heads(self.tower(self.stem(planes)), planes)

    def forward_training(self, planes: torch.Tensor):
        """As ``forward``, plus the ownership logits (B, 5, 400), or None
        without the head."""
        x = self.tower(self.stem(planes))
        log_policy, values = self._heads(x, planes)
        ownership = self.ownership_out(x).flatten(2) if self.ownership_out is not None else None
        return log_policy, values, ownership

    def _heads(self, x: torch.Tensor, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
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
        """(policy entries for the engine (B, 400), seat shares (B, 4)).

        The policy entries are ``engine_policy`` of the network's
        log-probabilities: the largest is the preferred tile, non-legal
        cells are 0."""
        return engine_outputs(*self(planes), planes)


class _Predictor(nn.Module):
    """``TarnexNet.predict`` as a module of its own, for export."""

    def __init__(self, net: TarnexNet) -> None:
        super().__init__()
        self.net = net

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        return engine_outputs(*self.net(planes), planes)


class InferenceNet:
    """The network as the inference server runs it, with the outputs of
    ``TarnexNet.predict`` within float rounding:
    - on the CPU, exported to ONNX Runtime (BatchNorm folded, the engine's
      policy form in the graph): 1.3 to 1.7 times as fast as TorchScript at
      the batches the server runs, on one or two threads;
    - otherwise (CUDA, or ONNX Runtime not installed), traced by TorchScript,
      frozen and optimised for inference; on CUDA in half precision (the
      planes are 0/1, the outputs go back as float32);
    - where neither works, the training form as it is.
    ``backend`` names the one in use. The CPU forms use the threads torch is
    set to when it is made."""

    def __init__(self, net: TarnexNet, device) -> None:
        device = torch.device(device)
        self.dtype = torch.float16 if device.type == "cuda" else torch.float32
        self.net = net.to(device).eval()
        self.shape = getattr(net, "shape", None)
        self.device = device
        self.compiled = None
        self.session = None
        if self.dtype != torch.float32:
            self.net = copy.deepcopy(self.net).to(self.dtype)
        example = torch.zeros(2, 5, 20, 20, device=device, dtype=self.dtype)
        example[:, 4, 0, 0] = 1
        if device.type == "cpu":
            self.session = _onnx_session(self.net, example)
        if self.session is None:
            self.compiled = _torchscript(self.net, example)
        self.backend = "onnxruntime" if self.session else "torchscript" if self.compiled else "eager"

    @torch.inference_mode()
    def predict(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        if self.session is not None:
            policy, values = self.session.run(None, {"planes": planes.float().contiguous().numpy()})
            return torch.from_numpy(policy), torch.from_numpy(values)
        planes = planes.to(self.dtype)
        if self.compiled is None:
            policy, values = self.net.predict(planes)
            return policy.float(), values.float()
        log_policy, values = self.compiled(planes)
        return engine_outputs(log_policy.float(), values.float(), planes)


def _onnx_session(net: TarnexNet, example: torch.Tensor):
    """An ONNX Runtime session running ``net.predict``, or None where ONNX
    Runtime is not installed or the network does not export."""
    try:
        import onnxruntime
    except ImportError:
        return None
    buffer = io.BytesIO()
    predictor = _Predictor(net).eval()  # export puts back the mode it found, for every submodule
    try:
        with torch.no_grad(), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the exporter's deprecation notices
            torch.onnx.export(predictor, example, buffer, input_names=["planes"], output_names=["policy", "values"],
                              dynamic_axes={"planes": {0: "batch"}, "policy": {0: "batch"}, "values": {0: "batch"}},
                              opset_version=17, dynamo=False)
        options = onnxruntime.SessionOptions()
        options.intra_op_num_threads = torch.get_num_threads()
        options.inter_op_num_threads = 1
        options.log_severity_level = 3  # errors only
        # Idle threads sleep instead of spinning: the workers need those cores.
        options.add_session_config_entry("session.intra_op.allow_spinning", "0")
        session = onnxruntime.InferenceSession(buffer.getvalue(), options, providers=["CPUExecutionProvider"])
        session.run(None, {"planes": example.numpy()})
    except Exception:  # no onnx package, or an operator it lacks: TorchScript will do
        return None
    return session


def _torchscript(net: TarnexNet, example: torch.Tensor):
    try:
        with torch.inference_mode(), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # TorchScript's deprecation notices
            traced = torch.jit.trace(net, example, check_trace=False)
            compiled = torch.jit.optimize_for_inference(torch.jit.freeze(traced))
            compiled(example)
    except Exception:  # an unusual module or backend: run it as it is
        return None
    return compiled


def engine_outputs(log_policy: torch.Tensor, value_logits: torch.Tensor, planes: torch.Tensor):
    """What ``predict`` returns, from the network's outputs: the engine's
    policy entries and the seat shares."""
    return engine_policy(log_policy, planes[:, 4].flatten(1) > 0.5), F.softmax(value_logits, dim=1)


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


def losses(net: TarnexNet, planes, policy_target, value_target, policy_weight=None, ownership_target=None):
    """(policy, value, ownership) losses: cross-entropies of the policy (mean
    weighted by ``policy_weight``), of the value shares (batch mean) and of
    each cell's final owner (mean over cells and batch; 0 without the head
    or a target)."""
    log_policy, value_logits, ownership_logits = net.forward_training(planes)
    # Targets are zero off the legal cells, where log_policy is -inf.
    policy_each = -(policy_target * log_policy.clamp_min(-1e4)).sum(dim=1)
    if policy_weight is None:
        policy_loss = policy_each.mean()
    else:
        policy_loss = (policy_each * policy_weight).sum() / policy_weight.sum().clamp_min(1.0)
    value_loss = -(value_target * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    if ownership_logits is None or ownership_target is None:
        ownership_loss = torch.zeros((), device=planes.device)
    else:
        ownership_loss = F.cross_entropy(ownership_logits, ownership_target)
    return policy_loss, value_loss, ownership_loss


class CheckpointError(OptionError):
    pass


def _non_finite(state_dict) -> str | None:
    for name, tensor in state_dict.items():
        if torch.is_tensor(tensor) and tensor.is_floating_point() and not torch.isfinite(tensor).all():
            return name
    return None


def save_checkpoint(net: TarnexNet, path: str, trained_steps: int = 0, settings: dict | None = None) -> None:
    """Writes the network atomically (temporary file, then rename), with the
    settings that made it. A network with a NaN or infinite weight is never
    written: it would poison every game played with it."""
    bad = _non_finite(net.state_dict())
    if bad is not None:
        raise CheckpointError(f"not writing {path!r}: weight {bad} is not finite (the training diverged)")
    state = {
        "format": CHECKPOINT_FORMAT,
        "version": CHECKPOINT_VERSION,
        "shape": asdict(net.shape),
        "trained_steps": int(trained_steps),
        "settings": settings or {},
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
        # Checkpoints from before the pooled value head have the dense one,
        # and those from before the ownership head none.
        net = TarnexNet(NetworkShape(**{"value_head": "dense", "ownership_head": False, **state["shape"]}))
        net.load_state_dict(state["state_dict"])
    except (KeyError, TypeError, ValueError, RuntimeError, OptionError) as error:
        raise CheckpointError(f"checkpoint {path!r} does not fit the network: {error}") from None
    steps = state.get("trained_steps", 0)
    if isinstance(steps, bool) or not isinstance(steps, int) or steps < 0:
        raise CheckpointError(f"checkpoint {path!r}: trained_steps {steps!r} is not a count")
    bad = _non_finite(state["state_dict"])
    if bad is not None:
        raise CheckpointError(f"checkpoint {path!r}: weight {bad} is not finite")
    return net, steps


def checkpoint_settings(path: str) -> dict:
    """The settings recorded in a checkpoint (empty for older files)."""
    state = torch.load(path, map_location="cpu", weights_only=True)
    settings = state.get("settings") if isinstance(state, dict) else None
    return settings if isinstance(settings, dict) else {}


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
