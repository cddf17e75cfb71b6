"""The torch device a network runs on, checked before any work is done."""

from __future__ import annotations

import torch

from ..errors import OptionError


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


def fast_bfloat16(device: torch.device) -> bool:
    """Whether the device computes in bfloat16 faster than in float32: a CPU
    with AMX tiles or with AVX-512's bfloat16 dot products, or a GPU with
    bfloat16 arithmetic. Elsewhere bfloat16 is emulated, and slower. (On a
    2-core CPU with the dot products and no AMX, a training step of the
    default network at batch 256 took half the time it took in float32.)"""
    if device.type == "cuda":
        return torch.cuda.is_bf16_supported()
    return _cpu_has("_is_amx_tile_supported") or _cpu_has("_is_avx512_bf16_supported")


def _cpu_has(probe: str) -> bool:
    found = getattr(torch.cpu, probe, None)  # not public API: absent means no
    return bool(found and found())


def training_dtype(precision: str, device: torch.device) -> torch.dtype:
    """The dtype the training's forward pass computes in ('auto':
    bfloat16 where the device has it built in)."""
    if precision == "bfloat16" or (precision == "auto" and fast_bfloat16(device)):
        return torch.bfloat16
    return torch.float32
