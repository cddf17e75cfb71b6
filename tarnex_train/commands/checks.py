"""Checks a command makes before any work, so a mistake costs one line and
no time."""

from __future__ import annotations

import os

from ..errors import OptionError
from ..settings import RANDOM


def check_checkpoints(*paths) -> None:
    for path in paths:
        if path is not None and path != RANDOM and not os.path.isfile(path):
            raise OptionError(f"checkpoint {path!r} does not exist")


def check_device(name: str) -> None:
    from ..model.device import pick_device

    pick_device(name)


def check_writable(path: str) -> None:
    """Fails now, not after all the work, when ``path`` cannot be written."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if os.path.isdir(path):
        raise OptionError(f"output {path!r} is a folder")
    probe = os.path.join(folder, f".{os.path.basename(path)}.probe-{os.getpid()}")
    try:
        os.makedirs(folder, exist_ok=True)
        with open(probe, "wb"):
            pass
        os.unlink(probe)
    except OSError as error:
        raise OptionError(f"output {path!r} cannot be written: {error.strerror or error}") from None
