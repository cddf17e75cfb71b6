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
            nargs=None, required: bool = False, aliases: tuple = (), deprecated: tuple = (),
            only: tuple | None = None, flag: bool = False):
    """A dataclass field with its help and bounds. ``kind`` defaults to the
    type of ``default``; a default of None means "optional" (kind required).
    ``float32``: the engine reads it as a 32-bit float. ``option``: whether
    the command line offers it; ``nargs``: it takes several values (a list
    of ``kind``). ``deprecated``: former spellings of its option, still
    taken with a warning. ``only``: (another setting of the group, its
    value) where this one acts at all; given on the command line elsewhere,
    it is warned about. ``flag``: a switch that asks for something (no --no- form)."""
    kind = kind if kind is not None else type(default)
    meta = dict(help=help, low=low, high=high, low_open=low_open, choices=choices, kind=kind,
                float32=float32, optional=default is None, metavar=metavar, option=option, nargs=nargs,
                required=required, aliases=aliases, deprecated=deprecated, only=only, flag=flag)
    return _field(default, meta)


def _field(default, meta):
    if isinstance(default, (list, dict)):
        return field(default_factory=lambda: type(default)(default), metadata=meta)
    return field(default=default, metadata=meta)


def same_as(cls, name: str, **changes):
    """The setting ``name`` of ``cls`` declared once more where another
    group needs it too, with its help and bounds (``changes``: the
    default, help or other parts that differ here)."""
    declared = next(f for f in dataclasses.fields(cls) if f.name == name)
    meta = {**declared.metadata, "only": None}
    default = changes.pop("default", declared.default)
    unknown = set(changes) - set(meta)
    if unknown:
        raise TypeError(f"same_as: no such part of a setting: {', '.join(sorted(unknown))}")
    return _field(default, {**meta, **changes})


def group(cls, prefix: str = "", old_prefix: str | None = None):
    """A nested group of settings (its class's defaults), whose options may
    carry a ``prefix`` where two groups of one command share a name.
    ``old_prefix``: the prefix its options had before, still taken (with a
    warning) so that scripts written for it keep working."""
    return field(default_factory=cls, metadata={"group": cls, "prefix": prefix, "old_prefix": old_prefix})


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


def from_dict(cls, data, where: str = "settings", root=None, section: tuple = ()):
    """A settings dataclass from a plain dict (as read from a run file or a
    config file); nested groups are built from nested dicts, and a setting
    of a group may also stand at the top, by its option's name (``c_init``
    for ``[search] c_init``). Unknown keys are refused, with a hint, so that
    a misspelt setting cannot pass unnoticed."""
    if not isinstance(data, dict):
        raise OptionError(f"{where}: expected a table of settings, got {type(data).__name__}")
    root = root or cls
    data = _nest_flat(cls, data, where)
    known = {f.name: f for f in dataclasses.fields(cls)}
    unknown = sorted(set(data) - set(known))
    if unknown:
        hints = (_hint(cls, root, section, key) for key in unknown)
        raise OptionError(f"{where}: unknown setting(s) {', '.join(hints)}")
    values = {}
    for name, value in data.items():
        nested = group_class(known[name])
        if nested is not None:
            value = from_dict(nested, value, f"{where}.{name}", root, section + (name,))
        elif known[name].metadata.get("kind") is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        values[name] = value
    try:
        return cls(**values)
    except TypeError as error:
        raise OptionError(f"{where}: {error}") from None


def _nest_flat(cls, data: dict, where: str) -> dict:
    """``data`` with each top-level key that names a setting of a group
    moved into that group's table."""
    top = {f.name for f in dataclasses.fields(cls)}
    paths = leaf_paths(cls)
    out = {key: value for key, value in data.items() if key in top or key not in paths}
    for key, value in data.items():
        if key in top or key not in paths:
            continue
        *groups, leaf = paths[key]
        tree = out
        for part in groups:
            branch = tree.get(part, {})
            if not isinstance(branch, dict):
                raise OptionError(f"{where}: {part} must be a table of settings")
            tree[part] = tree = dict(branch)
        if leaf in tree and tree[leaf] != value:
            raise OptionError(f"{where}: {key} is given twice, at the top and in [{'.'.join(groups)}], with "
                              "different values")
        tree[leaf] = value
    return out


def _hint(cls, root, section: tuple, key: str) -> str:
    """``key`` (unknown in the table ``section`` of ``root``'s settings)
    with where it belongs, or the closest known name."""
    import difflib

    homes = [path for path in all_leaf_paths(root) if path[-1] == key]
    if homes:
        return f"{key} (it belongs {' or '.join(_place(path) for path in homes)})"
    here = {f.name: (f.name,) for f in dataclasses.fields(cls)} | leaf_paths(cls)
    close = difflib.get_close_matches(key, sorted(here), n=1)
    if close:
        place = here[close[0]]
        inside = f", in [{'.'.join(section + place[:-1])}]" if len(section + place) > 1 else ""
        return f"{key} (did you mean {close[0]}{inside}?)"
    return key


def _place(path: tuple) -> str:
    return "at the top" if len(path) == 1 else f"in [{'.'.join(path[:-1])}]"


def option_key(prefix: str, name: str) -> str:
    """A setting's option name as a key: ``train_batch_size`` for ``--train-batch-size``."""
    return (prefix + name).replace("-", "_")


def all_leaf_paths(cls, path: tuple = ()) -> list:
    """The path of field names of every setting of ``cls`` and its groups."""
    out = []
    for f in dataclasses.fields(cls):
        nested = group_class(f)
        out.extend(all_leaf_paths(nested, path + (f.name,)) if nested is not None else [path + (f.name,)])
    return out


def leaf_paths(cls) -> dict:
    """{name: path of field names} for every setting of ``cls`` and its
    groups, named by its option's name (a group's prefix included) and, where
    no other setting has it, by its own name."""
    by_option, by_name = {}, {}

    def walk(cls, path, prefix):
        for f in dataclasses.fields(cls):
            nested = group_class(f)
            if nested is not None:
                walk(nested, path + (f.name,), prefix + f.metadata["prefix"])
            else:
                by_option[option_key(prefix, f.name)] = path + (f.name,)
                by_name.setdefault(f.name, []).append(path + (f.name,))

    walk(cls, (), "")
    out = {name: paths[0] for name, paths in by_name.items() if len(paths) == 1}
    out.update(by_option)
    return out


def idle_options(instance, given: dict) -> list:
    """[(option, what it needs)] for the given settings (dotted field names)
    that do nothing beside the other settings of ``instance``: a setting
    declared ``only`` for a value another one does not have."""
    out = []
    for dotted in given:
        *groups, name = dotted.split(".")
        container, prefix = instance, ""
        for part in groups:
            prefix += _field_of(container, part).metadata["prefix"]
            container = getattr(container, part)
        only = _field_of(container, name).metadata.get("only")
        if only is not None and getattr(container, only[0]) != only[1]:
            out.append((_flag(prefix, name), f"{_flag(prefix, only[0])} {only[1]}"))
    return out


def _flag(prefix: str, name: str) -> str:
    return "--" + (prefix + name).replace("_", "-")


def _field_of(instance, name: str):
    return next(f for f in dataclasses.fields(instance) if f.name == name)


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
