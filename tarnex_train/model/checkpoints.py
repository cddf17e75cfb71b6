"""Checkpoints: a network with its shape, trained steps and the settings
that made it, written atomically and checked on reading."""

from __future__ import annotations

import os
from dataclasses import asdict

import torch

from ..errors import OptionError
from ..files import atomic_write
from ..settings import NetworkShape
from .network import TarnexNet

CHECKPOINT_FORMAT = "tarnex-train-network"
CHECKPOINT_VERSION = 1


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
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    atomic_write(path, lambda f: torch.save(state, f))


def _load_failure(path: str, error: BaseException) -> str:
    """Why torch could not load a file, in words: for a file that is not a
    torch archive at all (text, say), torch's own message is a bare number."""
    import zipfile

    if not zipfile.is_zipfile(path):
        return "not a checkpoint file (not the archive torch.save writes)"
    reason = (str(error).strip().splitlines() or [""])[0]
    return reason or type(error).__name__


def load_checkpoint(path: str) -> tuple[TarnexNet, int]:
    """(network, trained steps) from a file written by ``save_checkpoint``."""
    if not os.path.isfile(path):
        raise CheckpointError(f"checkpoint {path!r} does not exist")
    if os.path.getsize(path) == 0:
        raise CheckpointError(f"checkpoint {path!r} could not be read: the file is empty")
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:  # torch raises several kinds for bad files
        raise CheckpointError(f"checkpoint {path!r} could not be read: {_load_failure(path, error)}") from None
    if not isinstance(state, dict) or state.get("format") != CHECKPOINT_FORMAT:
        raise CheckpointError(f"{path!r} is not a network checkpoint of these tools")
    if state.get("version") != CHECKPOINT_VERSION:
        raise CheckpointError(f"checkpoint {path!r} has version {state.get('version')}, expected {CHECKPOINT_VERSION}")
    try:
        # Checkpoints from before the pooled value head have the dense one,
        # and those from before the ownership head or the extra inputs none.
        net = TarnexNet(NetworkShape(**{"value_head": "dense", "ownership_head": False, "piece_inputs": False,
                                        "corner_inputs": False, "placement_inputs": False, **state["shape"]}))
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


def load_optimiser_state(path: str, net: TarnexNet) -> dict:
    """An optimiser state saved for ``net``'s parameters, checked: a damaged
    file, or one of a network of another shape, is refused naming the file
    (loading it would fail, or fail at the first step, without a name)."""
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:  # torch raises several kinds for bad files
        reason = (str(error).strip().splitlines() or [type(error).__name__])[0]
        raise CheckpointError(f"optimiser state {path!r} could not be read: {reason}; remove it to train with a "
                              "fresh optimiser") from None
    parameters = list(net.parameters())
    try:
        indices = [index for group in state["param_groups"] for index in group["params"]]
        fits = len(indices) == len(parameters) and all(
            not torch.is_tensor(value) or value.dim() == 0 or value.shape == parameter.shape
            for index, parameter in zip(indices, parameters) for value in state["state"].get(index, {}).values())
    except (KeyError, TypeError, AttributeError):
        fits = False
    if not fits:
        raise CheckpointError(f"optimiser state {path!r} does not fit the network it would train "
                              f"({net.shape.channels} channels, {net.shape.blocks} blocks); remove it to train "
                              "with a fresh optimiser")
    return state
