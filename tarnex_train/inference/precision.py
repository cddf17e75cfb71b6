"""The network's faster CPU forms, in bfloat16 or int8, and the check that
lets one answer in place of float32.

A form here is a callable ``(planes, side inputs) -> (policy entries,
seat shares)`` as ``TarnexNet.predict`` answers, in float32 tensors.
- bfloat16: the network traced by TorchScript with its convolutions in
  bfloat16 on channels-last tensors (what the CPU's AMX tiles take), each
  BatchNorm folded into its convolution in float32 before rounding, and the
  heads in float32. The default network answered 1.7 times as fast as in
  float32 on ONNX Runtime at batch 16, 2.1 to 2.4 times at batch 64, on
  one thread (benchmarks/precision_bench.py).
- int8: the float32 ONNX graph with the tower's convolutions quantized
  (weights per channel, activations calibrated on positions), for CPUs with
  VNNI but no AMX. On one with AMX it is slower than bfloat16, and its
  answers agreed less well.

A form answers in place of float32 only where ``agreement`` says it keeps
to it: the same best legal tile at ``MIN_SAME_TILE`` of the positions and
seat shares within ``MAX_VALUE_GAP``, on positions of games of reference
players (``check_positions``: a tiny or fresh network has no opinion to keep,
and random boards are unlike any game).
"""

from __future__ import annotations

import copy
import functools
import logging
import os
import tempfile
import warnings
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn
from torch.nn.utils.fusion import fuse_conv_bn_eval

from ..constants import CELLS, LEGAL_PLANE, PLANES_SHAPE
from ..features.side import side_inputs
from ..model.device import fast_bfloat16
from ..model.network import ResidualBlock, TarnexNet, engine_outputs

log = logging.getLogger(__name__)

MIN_SAME_TILE = 0.99
MAX_VALUE_GAP = 0.01
# Positions of the check: enough for a 1% share to mean something, few
# enough that each network's check takes a fraction of a second.
CHECK_POSITIONS = 384
# The check's games: reference players after random openings of a few turns
# (each a second or less), their ties broken alike every time.
CHECK_GAMES = (("greedy", 4), ("lookahead", 6), ("greedy", 10))


@dataclass(frozen=True)
class Agreement:
    """How a form's answers compare with float32's on the check positions."""

    same_tile: float  # share of positions where its best legal tile is one of float32's best
    value_gap: float  # largest difference of a seat share, over all positions and seats
    positions: int

    @property
    def passed(self) -> bool:
        return self.same_tile >= MIN_SAME_TILE and self.value_gap <= MAX_VALUE_GAP

    def __str__(self) -> str:
        return (f"best tile the same at {100 * self.same_tile:.1f}% of {self.positions} positions, "
                f"seat shares within {self.value_gap:.4f}")


def agreement(form, reference, planes: np.ndarray, shape) -> Agreement:
    """``form`` against ``reference`` (both as ``TarnexNet.predict``) on
    ``planes`` (B, 5, 20, 20) uint8. Where float32 rates tiles exactly
    equal, any of them is its best."""
    inputs = _inputs(planes, shape)
    policy, values = (np.asarray(out, dtype=np.float64) for out in form(*inputs))
    ref_policy, ref_values = (np.asarray(out, dtype=np.float64) for out in reference(*inputs))
    legal = planes[:, LEGAL_PLANE].reshape(len(planes), CELLS) > 0
    rated = np.where(legal, ref_policy, -np.inf)
    picked = np.where(legal, policy, -np.inf).argmax(1)
    same = rated[np.arange(len(planes)), picked] >= rated.max(1)
    gap = float(np.abs(values - ref_values).max()) if len(planes) else 0.0
    return Agreement(float(same.mean()) if len(planes) else 0.0, gap, len(planes))


def _inputs(planes: np.ndarray, shape) -> tuple:
    tensors = (torch.from_numpy(planes.astype(np.float32)),)
    side = side_inputs(np.ascontiguousarray(planes).tobytes(), shape) if shape is not None else None
    return tensors + ((torch.from_numpy(side),) if side is not None else ())


@functools.lru_cache(maxsize=1)
def check_positions() -> np.ndarray:
    """(n, 5, 20, 20) uint8: ``CHECK_POSITIONS`` positions of the check's
    games with more than one legal tile (where any form agrees), the same on
    every call and in every process: a network near the bar must not pass
    in one run and fail in the next."""
    from .. import _match, _rules
    from ..data.positions import replay

    boards = []
    for game, (player, turns) in enumerate(CHECK_GAMES):
        history = list(_match.random_opening(turns, 7919 * (game + 1)))
        while True:
            _, mover, _, _, terminal = _rules.position(history)
            if terminal:
                break
            history.append((mover, _rules.reference_tile(history, player, 104729 * (game + 1))))
        positions = replay(history)
        boards.append(positions.planes[positions.legal.sum(1) > 1])
    planes = np.concatenate(boards)
    spread = np.linspace(0, len(planes) - 1, min(CHECK_POSITIONS, len(planes))).astype(np.int64)
    return np.ascontiguousarray(planes[spread])


def candidates(precision: str) -> list[str]:
    """The precisions to try for a setting, fastest first: what the setting
    names, or for 'auto' those the CPU computes faster than float32."""
    if precision != "auto":
        return [] if precision == "float32" else [precision]
    # Where AMX makes bfloat16 fast, it is faster than int8 and rounds less:
    # a network bfloat16 moves too far, int8 moves further. On more than one
    # thread torch's threads wait for each other at every operator, and where
    # the workers held the other core, a batch took ten to a hundred times as
    # long as in float32 on ONNX Runtime: then float32.
    # On one thread bfloat16 answers a batch of 16 or more about twice as
    # fast, but in a match (mean batch about 5) requests per second came out
    # 4 to 25% lower than in float32: until the pipeline's batches gain
    # from it, 'auto' keeps to float32 there too. With AMX, in a match of
    # batches of about 30, int8 answered 1.4 times float32's requests a
    # second where bfloat16 answered 0.9 times, but a trained network's best
    # tile moved at 1.6% of the check positions and its seat shares by 0.03:
    # beyond the check, so not chosen.
    # On a CPU with AVX-512's bfloat16 and VNNI instructions and no AMX, the
    # same match answered 1.03 times float32's requests a second in bfloat16
    # on one thread and 1.07 times in int8, whose answers again failed the
    # check (the best tile moved at 1.3% of the positions, shares by 0.015,
    # with every calibration tried and even with half the tower in float32):
    # float32 there too.
    if fast_bfloat16(torch.device("cpu")):
        log.info("the network keeps to float32: bfloat16 %s", "ran slower in the match pipeline"
                 if torch.get_num_threads() == 1 else "runs on one thread only (--torch-threads 1)")
    return []


def faster_form(net: TarnexNet, precision: str, reference, onnx_model: bytes | None = None, open_session=None):
    """(precision, form) for a network whose float32 form is ``reference``
    (its ONNX graph ``onnx_model``, None where it has none, and
    ``open_session`` making an ONNX Runtime session of a graph): the first of
    ``candidates(precision)`` that builds and agrees with float32, or None
    (float32 then). Each outcome is logged. A precision named by the
    setting is used whatever the check says, with a warning."""
    names = candidates(precision)
    if not names:
        return None
    weights = _digest(net)
    for name in names:
        try:
            form = BUILDERS[name](net, onnx_model, open_session)
            if (weights, name) in _PASSED:  # checked when this network was made a form before
                return name, form
            measured = agreement(form, reference, check_positions(), getattr(net, "shape", None))
        except Exception as error:  # an unusual network, an ONNX Runtime without quantization
            log.warning("the network does not run in %s (%s: %s)", name, type(error).__name__, error)
            continue
        if measured.passed:
            log.info("the network runs in %s: %s", name, measured)
            _PASSED.add((weights, name))
            return name, form
        if precision != "auto":
            log.warning("the network runs in %s as asked, though its answers differ from float32's: %s",
                        name, measured)
            return name, form
        log.info("the network keeps to float32: in %s %s (needs %.0f%% and %.2f)", name, measured,
                 100 * MIN_SAME_TILE, MAX_VALUE_GAP)
    return None


# (weights digest, precision) of the networks whose form passed the check in
# this process: the loop makes an evaluator of one network several times.
_PASSED: set = set()


def _digest(net: nn.Module) -> str:
    import hashlib

    digest = hashlib.sha256(repr(getattr(net, "shape", None)).encode())
    for name, tensor in net.state_dict().items():
        digest.update(name.encode())
        digest.update(tensor.detach().cpu().contiguous().numpy().tobytes())
    return digest.hexdigest()


class _ToFloat(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.float()  # in the layout it has: the float32 sums run channels-last too


class _ToBFloat16(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.to(torch.bfloat16).contiguous(memory_format=torch.channels_last)


def _folded(conv: nn.Conv2d, norm: nn.Module) -> nn.Conv2d:
    return fuse_conv_bn_eval(conv, norm) if isinstance(norm, nn.BatchNorm2d) else conv


def _bfloat16(conv: nn.Conv2d) -> nn.Conv2d:
    return conv.to(torch.bfloat16).to(memory_format=torch.channels_last)


def bfloat16_form(net: TarnexNet, onnx_model: bytes | None = None, open_session=None):
    """The network with its convolutions in bfloat16 (see the module's
    note), traced; ``TarnexNet.forward`` itself runs, on modules put in
    place of the float32 ones. The sum that carries each block's input on
    stays in float32: rounding it at every block moved the best tile at
    twice as many positions."""
    net = copy.deepcopy(net).float().eval()
    conv, norm, relu = net.stem
    net.stem = nn.Sequential(_ToBFloat16(), _bfloat16(_folded(conv, norm)), relu, _ToFloat())
    for block in net.tower:
        assert isinstance(block, ResidualBlock)
        block.conv1 = nn.Sequential(_ToBFloat16(), _bfloat16(_folded(block.conv1, block.bn1)))
        block.conv2, block.bn1, block.bn2 = _bfloat16(_folded(block.conv2, block.bn2)), nn.Identity(), nn.Identity()
    net.policy_head = nn.Sequential(_ToFloat(), *net.policy_head)
    net.value_head = nn.Sequential(_ToFloat(), net.value_head)
    net.ownership_out = None  # not an answer: the trace need not keep it
    shape = getattr(net, "shape", None)
    planes = torch.zeros(2, *PLANES_SHAPE)
    planes[:, LEGAL_PLANE, 0, 0] = 1
    example = _inputs(planes.to(torch.uint8).numpy(), shape)
    with torch.inference_mode(), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # TorchScript's deprecation notices
        traced = torch.jit.freeze(torch.jit.trace(net, example, check_trace=False))
        traced(*example)

    @torch.inference_mode()
    def predict(planes: torch.Tensor, pieces: torch.Tensor | None = None):
        log_policy, values = traced(*((planes,) if pieces is None else (planes, pieces)))
        return engine_outputs(log_policy, values, planes)

    return predict


def int8_form(net: TarnexNet, onnx_model: bytes | None, open_session=None):
    """The float32 ONNX graph with the tower's convolutions in int8,
    calibrated on the check positions, in ONNX Runtime."""
    if onnx_model is None or open_session is None:
        raise ValueError("no ONNX graph to quantize")
    import onnx
    from onnxruntime.quantization import CalibrationDataReader, QuantFormat, QuantType, quantize_static
    from onnxruntime.quantization.shape_inference import quant_pre_process

    graph = onnx.load_from_string(onnx_model)
    tower = [node.name for node in graph.graph.node if node.op_type == "Conv" and "/tower/" in node.name]
    if not tower:
        raise ValueError("no convolutions in the tower to quantize")
    names = [entry.name for entry in graph.graph.input]
    planes = check_positions()
    batches = [_inputs(planes[start:start + 64], getattr(net, "shape", None)) for start in range(0, len(planes), 64)]

    class Calibration(CalibrationDataReader):
        def __init__(self) -> None:
            self.feeds = iter([{name: t.numpy() for name, t in zip(names, batch)} for batch in batches])

        def get_next(self):
            return next(self.feeds, None)

    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "float32.onnx"), os.path.join(folder, "int8.onnx")
        with open(source, "wb") as f:
            f.write(onnx_model)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            quant_pre_process(source, source)  # shapes and folded nodes, which quantization reads
            # Unsigned activations: ONNX Runtime's VNNI kernels take uint8 x int8.
            quantize_static(source, target, Calibration(), quant_format=QuantFormat.QDQ, per_channel=True,
                            activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8,
                            op_types_to_quantize=["Conv"], nodes_to_quantize=tower)
        with open(target, "rb") as f:
            session = open_session(f.read())

    def predict(planes: torch.Tensor, pieces: torch.Tensor | None = None):
        inputs = (planes,) if pieces is None else (planes, pieces)
        policy, values = session.run(None, {n: t.float().contiguous().numpy() for n, t in zip(names, inputs)})
        return torch.from_numpy(policy), torch.from_numpy(values)

    return predict


BUILDERS = {"bfloat16": bfloat16_form, "int8": int8_form}
