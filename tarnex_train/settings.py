"""Every setting of the tools, declared once.

A setting is a dataclass field made by ``setting()``: its default, its help
text and its bounds live in one place, and from there come the command-line
option (``options.add_options``), the validation (each settings class checks
itself when it is made, whether from the command line, a run file or code)
and the record written with every output (``as_dict``).
"""

from __future__ import annotations

import dataclasses
import math
import os
import struct
from dataclasses import dataclass, field

from .errors import OptionError

# The engine reads its float settings as 32-bit floats and its counts as
# 64-bit integers; a value it cannot represent is refused here, not by every
# game failing later.
FLOAT32_MAX = struct.unpack("f", struct.pack("I", 0x7F7FFFFF))[0]
FLOAT32_TINY = struct.unpack("f", struct.pack("I", 0x00800000))[0]


def setting(default, help: str, *, low=None, high=None, low_open: bool = False, choices=None,
            kind=None, float32: bool = False, metavar: str | None = None, option: bool = True):
    """A dataclass field with its help and bounds. ``kind`` defaults to the
    type of ``default``; a default of None means "optional" (kind required).
    ``float32``: the engine reads it as a 32-bit float. ``option``: whether
    the command line offers it."""
    kind = kind if kind is not None else type(default)
    meta = dict(help=help, low=low, high=high, low_open=low_open, choices=choices, kind=kind,
                float32=float32, optional=default is None, metavar=metavar, option=option)
    if isinstance(default, (list, dict)):
        return field(default_factory=lambda: type(default)(default), metadata=meta)
    return field(default=default, metadata=meta)


def check_value(name: str, value, meta) -> str | None:
    """Why ``value`` is not acceptable for the setting, or None."""
    kind = meta["kind"]
    if value is None:
        return None if meta["optional"] else f"{name} must be given"
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
    nested settings classes are built from nested dicts. Unknown keys are
    refused so that a misspelt setting cannot pass unnoticed."""
    if not isinstance(data, dict):
        raise OptionError(f"{where}: expected a table of settings, got {type(data).__name__}")
    known = {f.name: f for f in dataclasses.fields(cls)}
    unknown = sorted(set(data) - set(known))
    if unknown:
        raise OptionError(f"{where}: unknown setting(s) {', '.join(unknown)}")
    values = {}
    for name, value in data.items():
        nested = _nested_class(known[name])
        if nested is not None:
            value = from_dict(nested, value, f"{where}.{name}")
        elif known[name].metadata.get("kind") is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        values[name] = value
    try:
        return cls(**values)
    except TypeError as error:
        raise OptionError(f"{where}: {error}") from None


def _nested_class(f):
    factory = f.default_factory if f.default_factory is not dataclasses.MISSING else None
    if factory is not None and "help" not in f.metadata:
        made = factory()
        if dataclasses.is_dataclass(made):
            return type(made)
    return None


class Settings:
    """Base of the settings dataclasses: validation on creation."""

    def __post_init__(self) -> None:
        check_settings(self)

    def to_dict(self) -> dict:
        return as_dict(self)

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)


@dataclass(frozen=True)
class SearchConfig(Settings):
    """Settings of the engine's tree search, read by attribute by the module.

    The defaults follow AlphaZero (c_base, c_init, exploration fraction), with
    fewer simulations (a move here is one tile, and the tools run on a CPU)
    and a Dirichlet alpha for the 15 to 100 legal tiles a position has.
    """

    sims_per_move: int = setting(100, "simulations of the tree search for every tile chosen", low=1, high=1_000_000)
    sample_moves: int = setting(
        30, "the first N-1 tiles of a game (all seats together) are sampled in proportion to the visit counts, "
        "later ones are the most visited tile", low=0, high=2**63)
    c_base: float = setting(19652.0, "base constant of the PUCT exploration term", low=0.0, low_open=True,
                            float32=True)
    c_init: float = setting(1.25, "initial constant of the PUCT exploration term", low=0.0, low_open=True,
                            float32=True)
    dirichlet_alpha: float = setting(0.3, "concentration of the Dirichlet noise mixed into the root priors",
                                     low=0.0, low_open=True, float32=True)
    exploration_fraction: float = setting(0.25, "weight of that noise in the root priors (0 = no noise)",
                                          low=0.0, high=1.0, float32=True)


@dataclass(frozen=True)
class NetworkShape(Settings):
    """Size of a freshly initialised network."""

    channels: int = setting(32, "channels of the residual tower", low=1, high=1024)
    blocks: int = setting(2, "residual blocks", low=0, high=64)
    value_head: str = setting("pooled", "value head over the channel means of the tower ('pooled') or a dense "
                              "layer over all cells ('dense', overfits small data)", choices=("pooled", "dense"))
    ownership_head: bool = setting(True, "a head that predicts who owns each cell at the end of the game, "
                                   "trained alongside (it teaches the tower territory from few games)")


MAX_AUTO_GAMES_PER_WORKER = 32


@dataclass(frozen=True)
class PoolSettings(Settings):
    """Worker processes and the inference server that answers them."""

    workers: int = setting(0, "worker processes playing games (0: one per core)", low=0, high=1024)
    games_per_worker: int = setting(
        0, "games each worker process plays at once; their requests go to the network together (0: enough "
        "for the batch size, at most 32 and at most the worker's share of the games)", low=0, high=1024)
    batch_size: int = setting(64, "most requests evaluated in one network run", low=1, high=65536)
    batch_wait_ms: float = setting(1.0, "how long requests for the network wait for more to join them while "
                                   "other games still run", low=0.0, high=1000.0)
    device: str = setting("cpu", "torch device for the network: cpu, or cuda / cuda:N when available")
    torch_threads: int = setting(0, "CPU threads for the network (0: one per core; the workers mostly wait "
                                 "for it, and its threads do not spin while idle)", low=0, high=1024)
    cache_mb: float = setting(256.0, "memory for the evaluation cache, which answers a position seen before "
                              "without the network (0 = no cache)", low=0.0, high=1e6)
    stall_seconds: float = setting(300.0, "a worker silent this long while it has games open is reported and "
                                   "ended, and its games skipped", low=0.0, high=1e6, low_open=True)

    def processes(self, cpus: int | None = None) -> int:
        """Worker processes on a machine with ``cpus`` cores (default this one)."""
        return self.workers or cpus or os.cpu_count() or 1

    def network_threads(self, cpus: int | None = None) -> int:
        """CPU threads for the network on a machine with ``cpus`` cores."""
        return self.torch_threads or cpus or os.cpu_count() or 1

    def games_at_once(self, processes: int | None = None, games: int | None = None) -> int:
        """Games per worker process, for ``processes`` of them (default
        ``processes()``) and, when given, a run of ``games`` games (no more
        than each worker's share, so every worker gets some)."""
        if self.games_per_worker:
            return self.games_per_worker
        processes = processes or self.processes()
        wanted = min(MAX_AUTO_GAMES_PER_WORKER, -(-self.batch_size // processes))
        if games is not None:
            wanted = min(wanted, -(-games // processes))
        return max(1, wanted)


@dataclass(frozen=True)
class ClusterSettings(Settings):
    """Where the games are played: this machine, or the nodes of a Ray
    cluster (one actor per node running the local pipeline there: its
    worker processes and its own inference server on the node's device)."""

    ray: str = setting(None, "play on the Ray cluster at this address ('auto', HOST:PORT or ray://HOST:PORT) "
                       "instead of this machine alone; --workers then counts per node", kind=str)
    node_share: float = setting(1.0, "on Ray: share of each node's CPUs its worker processes use (with --workers "
                                "0)", low=0.0, high=1.0, low_open=True)
    games_per_chunk: int = setting(0, "on Ray: games handed to a node at a time, so faster nodes play more (0: as "
                                   "many as the node plays at once, at most half a node's share of the games)", low=0, high=10**6)


@dataclass(frozen=True)
class TrainSettings(Settings):
    """How the network is fitted to the records."""

    batch_size: int = setting(256, "positions per step", low=1, high=65536)
    lr: float = setting(1e-3, "learning rate (AdamW)", low=0.0, high=10.0, low_open=True)
    weight_decay: float = setting(1e-4, "weight decay (AdamW)", low=0.0, high=10.0)
    value_score_weight: float = setting(
        0.0, "share of the value target taken from the final scores (a softmax over the seats' placed cells) "
        "instead of the win shares; scores say more than the winner alone", low=0.0, high=1.0)
    value_temperature: float = setting(3.0, "temperature of that softmax, in cells", low=0.0, high=1000.0,
                                       low_open=True)
    value_loss_weight: float = setting(1.0, "weight of the value loss against the policy loss", low=0.0, high=100.0)
    ownership_loss_weight: float = setting(
        1.0, "weight of the ownership loss (cross-entropy per cell, averaged over the board) against the policy "
        "loss; used when the network has an ownership head", low=0.0, high=100.0)
    completion_policy_weight: float = setting(
        1.0, "weight of the policy loss at positions where some legal tile completes the mover's piece: the "
        "search values such a tile for the next seat, not the mover, so its visit counts there mislead",
        low=0.0, high=1.0)


@dataclass(frozen=True)
class LoopSettings(Settings):
    """A learning run: generations of self-play, training on a sliding window
    of the newest positions, and strength tests. The defaults are chosen to
    learn on a 2-core laptop within an hour."""

    games_per_generation: int = setting(64, "self-play games per generation", low=1, high=10**7)
    games_per_shard: int = setting(16, "games written together in one shard", low=1, high=10**6)
    window_positions: int = setting(150_000, "training draws from the newest this many positions; older ones "
                                    "age out", low=1, high=10**9)
    reuse: float = setting(2.0, "how many times each position is trained on, on average, over its time in the "
                           "window (sets the training steps of a generation)", low=0.0, high=1000.0, low_open=True)
    holdout_every: int = setting(20, "every N-th game is never trained on, to measure losses on unseen "
                                 "positions (0 = none)", low=0, high=10**6)
    strength_games: int = setting(100, "test games of each new network (seat 0, its most likely tile) against "
                                  "three uniformly random seats", low=1, high=10**6)
    previous_games: int = setting(40, "test games of each new network against the previous generation", low=0,
                                  high=10**6)
    previous_temperature: float = setting(0.5, "the previous generation's seats draw from its policy sharpened "
                                          "by this temperature", low=0.0, high=100.0, low_open=True)
    calibration_games: int = setting(400, "test games of the random player against itself, once per run: the "
                                     "seat-0 payoff of two equal players", low=1, high=10**6)
    seed: int = setting(None, "seed of the first network's weights; random when omitted", kind=int, low=0,
                        high=2**63 - 1)
    # Values are seat shares (range 1, not AlphaZero's 2) and a move is one
    # tile: a smaller exploration constant lets the values steer the visits.
    search: SearchConfig = field(default_factory=lambda: SearchConfig(sims_per_move=16, sample_moves=30,
                                                                      c_init=0.75))
    shape: NetworkShape = field(default_factory=lambda: NetworkShape(channels=32, blocks=2))
    pool: PoolSettings = field(default_factory=lambda: PoolSettings(cache_mb=512.0))
    train: TrainSettings = field(default_factory=lambda: TrainSettings(
        batch_size=256, lr=2e-3, weight_decay=3e-4, value_score_weight=0.7, value_temperature=8.0,
        value_loss_weight=0.25, completion_policy_weight=0.0))
