"""Settings as TOML: a config file read (``read_toml``), and settings
written as one that reads back to the same settings (``to_toml``), each
setting under its help as a comment."""

from __future__ import annotations

import dataclasses
import json
import textwrap

from ..errors import OptionError
from .fields import group_class

WIDTH = 100


def read_toml(path: str) -> dict:
    try:
        import tomllib
    except ImportError:  # Python before 3.11 has it as the tomli package
        try:
            import tomli as tomllib
        except ImportError:
            raise OptionError(f"{path}: reading TOML needs Python 3.11 or the tomli package (pip install tomli); "
                              "or give the settings as JSON") from None
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except (OSError, ValueError) as error:
        raise OptionError(f"{path}: unreadable settings ({error})") from None


def to_toml(instance, header: str = "") -> str:
    """``instance`` as a TOML table (a group as a [section]) whose every
    setting is preceded by its help; settings without a value (None) are
    left as comments, since TOML has no empty value."""
    lines = [_comment(text) for text in header.splitlines()] + [""] if header else []
    _table(instance, (), lines)
    return "\n".join(lines).rstrip("\n") + "\n"


def _table(instance, path: tuple, lines: list) -> None:
    fields = dataclasses.fields(instance)
    groups = [f for f in fields if group_class(f) is not None]
    if path:
        title = getattr(type(instance), "TITLE", "")
        lines += ["", f"[{'.'.join(path)}]" + (f"  # {title}" if title else "")]
    for f in fields:
        if f in groups or "help" not in f.metadata:
            continue
        only = f.metadata.get("only")
        lines.append(_comment(f.metadata["help"] + (f" (acts only with {only[0]} = {only[1]})" if only else "")))
        value = getattr(instance, f.name)
        lines.append(f"# {f.name}: not set" if value is None else f"{f.name} = {_value(value)}")
    for f in groups:
        _table(getattr(instance, f.name), path + (f.name,), lines)


def _comment(text: str) -> str:
    return "\n".join(textwrap.wrap(text, WIDTH, initial_indent="# ", subsequent_indent="# ",
                                   break_on_hyphens=False)) or "#"


def _value(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value)  # its escapes are TOML's
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_value(item) for item in value) + "]"
    raise TypeError(f"no TOML form for {type(value).__name__}")
