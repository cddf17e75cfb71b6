"""Files written so that a kill at any moment leaves either the old or the
new content, never a torn one, and no temporary file behind."""

from __future__ import annotations

import json
import os

from .errors import OptionError


def atomic_write(path: str, write, binary: bool = True) -> None:
    """Calls ``write(file)`` on a hidden temporary file beside ``path``,
    flushes it to disk and renames it into place. The temporary file is
    removed whatever happens."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    try:
        with open(temporary, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8"})) as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def write_json(path: str, data) -> None:
    text = json.dumps(data, indent=1) + "\n"
    atomic_write(path, lambda f: f.write(text), binary=False)


def read_json(path: str, what: str) -> dict:
    """A JSON object from ``path``; a one-line OptionError naming the file
    when it is unreadable, not JSON or not an object."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as error:
        raise OptionError(f"{path}: unreadable {what} ({error})") from None
    if not isinstance(data, dict):
        raise OptionError(f"{path}: {what} is not a JSON object")
    return data
