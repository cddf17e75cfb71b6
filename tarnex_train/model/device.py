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
    """Whether the device is one to compute in bfloat16 on: a CPU with AMX
    tiles, or a GPU with bfloat16 arithmetic. Elsewhere bfloat16 is emulated
    and slower, or, on a CPU with AVX-512's bfloat16 dot products but no
    AMX, faster (a training step in half the time on 2 cores) but not
    chosen: a loop trained so from scratch was far weaker after 16 minutes
    than one trained in float32 on the same machine."""
    if device.type == "cuda":
        return torch.cuda.is_bf16_supported()
    probe = getattr(torch.cpu, "_is_amx_tile_supported", None)  # not public API: absent means no
    return bool(probe and probe())


def training_dtype(precision: str, device: torch.device) -> torch.dtype:
    """The dtype the training's forward pass computes in ('auto':
    bfloat16 where the device has it built in)."""
    if precision == "bfloat16" or (precision == "auto" and fast_bfloat16(device)):
        return torch.bfloat16
    return torch.float32
