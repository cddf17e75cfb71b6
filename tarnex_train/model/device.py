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
