"""The network's inference forms: what the server runs, with the outputs
of ``TarnexNet.predict`` within float rounding. A network with piece or
placement inputs takes its side inputs (``side_inputs``) as a second input in
every form."""

from __future__ import annotations

import copy
import io
import logging
import warnings

import torch
from torch import nn

from ..constants import LEGAL_PLANE, PLANES_SHAPE
from ..features.side import side_features
from ..model.network import TarnexNet, engine_outputs

log = logging.getLogger(__name__)


class _Predictor(nn.Module):
    """``TarnexNet.predict`` as a module of its own, for export."""

    def __init__(self, net: TarnexNet) -> None:
        super().__init__()
        self.net = net

    def forward(self, planes: torch.Tensor, pieces: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        return engine_outputs(*self.net(planes, pieces), planes)


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
    set to when it is made.

    On the CPU, ``precision`` (a value of the setting ``inference_precision``)
    may put a bfloat16 or int8 form in place of float32 where it agrees with
    it (``precision.faster_form``); ``precision`` then names the arithmetic
    in use."""

    def __init__(self, net: TarnexNet, device, precision: str = "float32") -> None:
        device = torch.device(device)
        self.dtype = torch.float16 if device.type == "cuda" else torch.float32
        self.net = net.to(device).eval()
        self.shape = getattr(net, "shape", None)
        # Whether the forms take a second input (a network without a shape,
        # as tests build, takes none).
        self.takes_side_inputs = self.shape is not None and (self.shape.piece_inputs or self.shape.placement_inputs)
        self.device = device
        self.compiled = None
        self.session = None
        self.faster = None  # a bfloat16 or int8 form answering in place of float32
        self.precision = "float16" if self.dtype == torch.float16 else "float32"
        onnx_model = None
        if self.dtype != torch.float32:
            self.net = copy.deepcopy(self.net).to(self.dtype)
        planes = torch.zeros(2, *PLANES_SHAPE, device=device, dtype=self.dtype)
        planes[:, LEGAL_PLANE, 0, 0] = 1
        example = (planes, side_features(planes, self.shape).to(self.dtype)) if self.takes_side_inputs else (planes,)
        if device.type == "cpu":
            onnx_model = _onnx_model(self.net, example)
            self.session = onnx_session(onnx_model, example) if onnx_model is not None else None
        if self.session is None:
            self.compiled = _torchscript(self.net, example)
        self.backend = "onnxruntime" if self.session else "torchscript" if self.compiled else "eager"
        self.onnx_model = onnx_model  # the float32 graph, None where there is none
        if device.type == "cpu" and precision != "float32":
            from .precision import faster_form

            chosen = faster_form(self.net, precision, self.predict, onnx_model, onnx_session)
            if chosen is not None:
                self.precision, self.faster = chosen
                self.backend = "onnxruntime" if self.precision == "int8" else "torchscript"

    @torch.inference_mode()
    def predict(self, planes: torch.Tensor, pieces: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        """As ``TarnexNet.predict``: ``pieces`` (the planes' side inputs,
        all of them) is read only with side inputs, and computed when not
        given."""
        inputs = (planes,)
        if self.takes_side_inputs:
            inputs += (side_features(planes, self.shape) if pieces is None else pieces,)
        if self.faster is not None and len(planes) >= FASTER_FROM:
            return self.faster(*inputs)
        if self.session is not None:
            feed = {name: tensor.float().contiguous().numpy() for name, tensor in zip(INPUT_NAMES, inputs)}
            policy, values = self.session.run(None, feed)
            return torch.from_numpy(policy), torch.from_numpy(values)
        inputs = tuple(tensor.to(self.dtype) for tensor in inputs)
        if self.compiled is None:
            policy, values = self.net.predict(*inputs)
            return policy.float(), values.float()
        log_policy, values = self.compiled(*inputs)
        return engine_outputs(log_policy.float(), values.float(), inputs[0])


# The smallest batch the bfloat16 or int8 form answers: below it, its fixed
# cost a call outweighs what it saves (the default network, one thread: 640
# against 347 microseconds for one position, 271 against 304 for five).
FASTER_FROM = 8

# The forms' inputs by position; a network without side inputs takes the first.
INPUT_NAMES = ("planes", "pieces")


def _onnx_model(net: TarnexNet, example: tuple) -> bytes | None:
    """``net.predict`` on the ``example`` inputs as an ONNX graph, or None
    where ONNX Runtime is not installed or the network does not export."""
    try:
        import onnxruntime  # noqa: F401  (without it, no graph is of use)
    except ImportError:
        log.info("ONNX Runtime is not installed: the network runs in TorchScript")
        return None
    buffer = io.BytesIO()
    predictor = _Predictor(net).eval()  # export puts back the mode it found, for every submodule
    names = list(INPUT_NAMES[:len(example)])
    try:
        with torch.no_grad(), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the exporter's deprecation notices
            torch.onnx.export(predictor, example, buffer, input_names=names, output_names=["policy", "values"],
                              dynamic_axes={name: {0: "batch"} for name in names + ["policy", "values"]},
                              opset_version=17, dynamo=False)
    except Exception as error:  # no onnx package, or an operator it lacks: TorchScript will do
        log.warning("the network does not export to ONNX (%s: %s); TorchScript instead", type(error).__name__, error)
        return None
    return buffer.getvalue()


def onnx_session(model: bytes, example: tuple | None = None):
    """An ONNX Runtime session of the graph ``model``, tried on the
    ``example`` inputs when given; None where it does not run (then with a
    warning) and an example is given, else the error."""
    import onnxruntime

    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = torch.get_num_threads()
    options.inter_op_num_threads = 1
    options.log_severity_level = 3  # errors only
    # Idle threads sleep instead of spinning: the workers need those cores.
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    try:
        session = onnxruntime.InferenceSession(model, options, providers=["CPUExecutionProvider"])
        if example is not None:
            session.run(None, {name: tensor.numpy() for name, tensor in zip(INPUT_NAMES, example)})
    except Exception as error:  # an operator this ONNX Runtime lacks: TorchScript will do
        if example is None:
            raise
        log.warning("the network does not run in ONNX Runtime (%s: %s); TorchScript instead",
                    type(error).__name__, error)
        return None
    return session


def _torchscript(net: TarnexNet, example: tuple):
    try:
        with torch.inference_mode(), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # TorchScript's deprecation notices
            traced = torch.jit.trace(net, example, check_trace=False)
            compiled = torch.jit.optimize_for_inference(torch.jit.freeze(traced))
            compiled(*example)
    except Exception as error:  # an unusual module or backend: run it as it is
        log.warning("the network does not trace in TorchScript (%s: %s); it runs as it is",
                    type(error).__name__, error)
        return None
    return compiled
