"""Checks a command makes before any work, so a mistake costs one line and
no time."""

from __future__ import annotations

import logging
import os

from ..errors import OptionError
from ..settings import RANDOM

log = logging.getLogger(__name__)


def check_checkpoints(*paths) -> None:
    for path in paths:
        if path is not None and path != RANDOM and not os.path.isfile(path):
            raise OptionError(f"checkpoint {path!r} does not exist")


def check_device(name: str) -> None:
    from ..model.device import pick_device

    pick_device(name)


def _probe(folder: str, name: str) -> None:
    """Makes ``folder`` if missing and writes and removes a file in it;
    OSError where that cannot be done."""
    probe = os.path.join(folder, f".{name}.probe-{os.getpid()}")
    os.makedirs(folder, exist_ok=True)
    with open(probe, "wb"):
        pass
    os.unlink(probe)


def check_writable(path: str) -> None:
    """Fails now, not after all the work, when ``path`` cannot be written."""
    if os.path.isdir(path):
        raise OptionError(f"output {path!r} is a folder")
    try:
        _probe(os.path.dirname(os.path.abspath(path)) or ".", os.path.basename(path))
    except OSError as error:
        raise OptionError(f"output {path!r} cannot be written: {error.strerror or error}") from None


def check_folder_writable(path: str, option: str) -> None:
    """Fails now, not after the first game, when files cannot be written
    into the folder ``path`` (made if missing)."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise OptionError(f"{option} {path!r} is a file, not a folder")
    try:
        _probe(path, "save")
    except OSError as error:
        raise OptionError(f"{option} {path!r}: files cannot be written there ({error.strerror or error})") from None


def warn_idle(options, given: dict) -> None:
    """Says which options given do nothing beside the others (a search
    setting beside a player that does not search)."""
    from ..settings import idle_options

    idle: dict = {}
    for option, needs in idle_options(options, given):
        idle.setdefault(needs, []).append(option)
    for needs, names in idle.items():
        log.warning("%s %s nothing here: %s only with %s", ", ".join(names), "does" if len(names) == 1 else "do",
                    "it acts" if len(names) == 1 else "they act", needs)
