"""How a setting is declared: one dataclass field made by ``setting()``,
holding its default, help text and bounds. From it come the command-line
option (``cli``), the validation (each settings class checks itself when
made, whether from the command line, a run file or code) and the record
written with every output (``as_dict``). Groups of settings nest: a field
made by ``group()`` holds another settings class."""

from __future__ import annotations

import dataclasses
import math
import struct
from dataclasses import field

from ..errors import OptionError

# The engine reads its float settings as 32-bit floats and its counts as
# 64-bit integers; a value it cannot represent is refused here, not by every
# game failing later.
FLOAT32_MAX = struct.unpack("f", struct.pack("I", 0x7F7FFFFF))[0]
FLOAT32_TINY = struct.unpack("f", struct.pack("I", 0x00800000))[0]


def setting(default, help: str, *, low=None, high=None, low_open: bool = False, choices=None,
            kind=None, float32: bool = False, metavar: str | None = None, option: bool = True,
            nargs=None, required: bool = False, aliases: tuple = ()):
    """A dataclass field with its help and bounds. ``kind`` defaults to the
    type of ``default``; a default of None means "optional" (kind required).
    ``float32``: the engine reads it as a 32-bit float. ``option``: whether
    the command line offers it; ``nargs``: it takes several values (a list
    of ``kind``)."""
    kind = kind if kind is not None else type(default)
    meta = dict(help=help, low=low, high=high, low_open=low_open, choices=choices, kind=kind,
                float32=float32, optional=default is None, metavar=metavar, option=option, nargs=nargs,
                required=required, aliases=aliases)
    if isinstance(default, (list, dict)):
        return field(default_factory=lambda: type(default)(default), metadata=meta)
    return field(default=default, metadata=meta)


def group(cls, prefix: str = ""):
    """A nested group of settings (its class's defaults), whose options may
    carry a ``prefix`` where two groups of one command share a name."""
    return field(default_factory=cls, metadata={"group": cls, "prefix": prefix})


def group_class(f):
    return f.metadata.get("group")


def _check_one(name: str, value, meta) -> str | None:
    kind = meta["kind"]
    if kind is bool:
        return None if isinstance(value, bool) else f"{name} must be true or false"
    if kind is int:
        if isinstance(value, bool) or not isinstance(value, int):
            return f"{name} must be an integer"
    elif kind is float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return f"{name} must be a number"
        if value != value:
            return "NaN is not allowed"
        if not math.isfinite(value):
            return f"{name} must be a finite number"
        if meta["float32"] and value != 0 and not FLOAT32_TINY <= abs(value) <= FLOAT32_MAX:
            return f"{name} must lie within the range of a 32-bit float ({FLOAT32_TINY:.3g} to {FLOAT32_MAX:.3g})"
    elif kind is str:
        if not isinstance(value, str):
            return f"{name} must be a text"
    if meta["choices"] is not None and value not in meta["choices"]:
        return f"{name} must be one of {', '.join(map(str, meta['choices']))}"
    low, high = meta["low"], meta["high"]
    if low is not None and (value <= low if meta["low_open"] else value < low):
        return f"{name} must be {'>' if meta['low_open'] else '>='} {low:g}"
    if high is not None and value > high:
        return f"{name} must be <= {high:g}"
    return None


def check_value(name: str, value, meta) -> str | None:
    """Why ``value`` is not acceptable for the setting, or None."""
    if value is None:
        return None if meta["optional"] else f"{name} must be given"
    if meta.get("nargs") is not None:
        if not isinstance(value, (list, tuple)):
            return f"{name} must be a list"
        for item in value:
            problem = _check_one(name, item, meta)
            if problem:
                return problem
        return None
    return _check_one(name, value, meta)


def check_settings(instance) -> None:
    """Validates every declared field of a settings dataclass (nested
    settings validate themselves when made)."""
    problems = []
    for f in dataclasses.fields(instance):
        if "help" not in f.metadata:
            continue
        problem = check_value(f.name, getattr(instance, f.name), f.metadata)
        if problem:
            problems.append(problem)
    if problems:
        raise OptionError("; ".join(problems))


def as_dict(instance) -> dict:
    return dataclasses.asdict(instance)


def from_dict(cls, data, where: str = "settings"):
    """A settings dataclass from a plain dict (as read from a run file);
    nested groups are built from nested dicts. Unknown keys are refused so
    that a misspelt setting cannot pass unnoticed."""
    if not isinstance(data, dict):
        raise OptionError(f"{where}: expected a table of settings, got {type(data).__name__}")
    known = {f.name: f for f in dataclasses.fields(cls)}
    unknown = sorted(set(data) - set(known))
    if unknown:
        raise OptionError(f"{where}: unknown setting(s) {', '.join(unknown)}")
    values = {}
    for name, value in data.items():
        nested = group_class(known[name])
        if nested is not None:
            value = from_dict(nested, value, f"{where}.{name}")
        elif known[name].metadata.get("kind") is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        values[name] = value
    try:
        return cls(**values)
    except TypeError as error:
        raise OptionError(f"{where}: {error}") from None


def leaf_paths(cls, path: tuple = ()) -> dict:
    """{leaf setting name: its path of field names} over ``cls`` and its
    groups (leaf names are unique within a command's options)."""
    out = {}
    for f in dataclasses.fields(cls):
        nested = group_class(f)
        if nested is not None:
            out.update(leaf_paths(nested, path + (f.name,)))
        else:
            out[f.name] = path + (f.name,)
    return out


class Settings:
    """Base of the settings dataclasses: validation on creation."""

    def __post_init__(self) -> None:
        check_settings(self)

    def to_dict(self) -> dict:
        return as_dict(self)

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    @classmethod
    def make(cls, **values):
        """The settings with the given values, each named by its own field
        name wherever it nests (as on the command line: ``games=4,
        workers=1, quiet=True``) or by a group's name (a whole group)."""
        paths = leaf_paths(cls)
        top = {f.name for f in dataclasses.fields(cls)}
        nested: dict = {}
        for name, value in values.items():
            if name in top:
                nested.setdefault(name, value)
                continue
            if name not in paths:
                raise OptionError(f"{cls.__name__} has no setting {name!r}")
            tree = nested
            for key in paths[name][:-1]:
                branch = tree.setdefault(key, {})
                if not isinstance(branch, dict):  # a whole group given as well: open it up
                    branch = tree[key] = {f.name: getattr(branch, f.name) for f in dataclasses.fields(branch)}
                tree = branch
            tree[paths[name][-1]] = value
        return _build(cls, nested)


def _build(cls, tree: dict):
    values = {}
    for f in dataclasses.fields(cls):
        if f.name not in tree:
            continue
        value = tree[f.name]
        nested = group_class(f)
        if nested is not None and isinstance(value, dict):
            value = _build(nested, value)
        values[f.name] = value
    return cls(**values)
