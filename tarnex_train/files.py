"""Files written so that a kill at any moment leaves either the old or the
new content, never a torn one, and no temporary file behind."""

from __future__ import annotations

import glob
import json
import os

from .errors import OptionError

TEMPORARY_SUFFIX = ".tmp"


def _temporary_of(path: str, pid: int) -> str:
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, f".{name}.{pid}{TEMPORARY_SUFFIX}")


def atomic_write(path: str, write, binary: bool = True) -> None:
    """Calls ``write(file)`` on a hidden temporary file beside ``path``,
    flushes it to disk and renames it into place. The temporary file is
    removed whatever happens; a failure (a full disk) names ``path``, not
    the temporary file, which no longer exists."""
    temporary = _temporary_of(path, os.getpid())
    try:
        with open(temporary, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8"})) as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except OSError as error:
        if error.errno is None:
            raise
        raise OSError(error.errno, error.strerror or str(error), path) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def describe_os_error(error: OSError) -> str:
    """'FILE: reason' when the error names its file, else its text."""
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def remove_stale_temporaries(folder: str) -> list[str]:
    """Removes the temporary files ``atomic_write`` left in ``folder`` when
    its process was killed (those of living processes stay); returns them."""
    removed = []
    for path in glob.glob(os.path.join(glob.escape(folder), f".*.*{TEMPORARY_SUFFIX}")):
        pid = os.path.basename(path)[:-len(TEMPORARY_SUFFIX)].rsplit(".", 1)[-1]
        if not pid.isdigit() or _alive(int(pid)):
            continue
        try:
            os.unlink(path)
            removed.append(path)
        except FileNotFoundError:
            pass
    return removed


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass
    return True


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
