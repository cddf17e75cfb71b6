"""Who sits at a seat of a match on the play page, written as on the
command line: ``person``, ``random``, ``greedy``, ``lookahead``,
``policy:CKPT`` (the network's most likely tile) or ``search:CKPT:N``
(a tree search of N simulations per tile with the network).

A checkpoint must be a ``.pt`` file inside one of the view's run folders:
a page may only name what the view already shows.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from . import sources
from .errors import BadRequest

PERSON = "person"
REFERENCE = ("greedy", "lookahead")
MAX_SIMULATIONS = 100_000


@dataclass
class Player:
    label: str
    kind: str  # person, random, greedy, lookahead, policy, search
    checkpoint: str | None = None
    simulations: int = 0
    network: object = None  # the evaluator of a policy or search seat
    engine_seat: tuple = ()

    @property
    def person(self) -> bool:
        return self.kind == PERSON

    def choose(self, history, tie_break: int) -> tuple[int, list]:
        """(tile, visit shares) for the mover; runs the network in this
        thread. ``tie_break``: how a reference player picks among equals."""
        if self.kind in REFERENCE:
            return sources.reference_tile(history, self.kind, tie_break), []
        return sources.choose_tile(history, self.engine_seat, self.network)


def parse_player(text, runs) -> Player:
    """A player from its string; BadRequest naming what is wrong. Loads the
    network of a policy or search seat (seconds: call it off the event loop)."""
    if not isinstance(text, str):
        raise BadRequest(f"a player is a string, not {type(text).__name__}")
    kind, _, rest = text.partition(":")
    if kind in (PERSON, "random", *REFERENCE) and not rest:
        engine = ("random",) if kind == "random" else ("reference", kind) if kind in REFERENCE else ()
        return Player(text, kind, engine_seat=engine)
    if kind == "policy" and rest:
        player = Player(text, kind, _checkpoint(rest, runs), engine_seat=("policy", 0.0))
    elif kind == "search" and rest.rpartition(":")[0]:
        path, _, count = rest.rpartition(":")
        if not count.isdigit() or not 1 <= int(count) <= MAX_SIMULATIONS:
            raise BadRequest(f"{text!r}: simulations must be a whole number from 1 to {MAX_SIMULATIONS}")
        player = Player(text, kind, _checkpoint(path, runs), int(count))
        c_init, c_base = sources.search_constants(player.checkpoint)
        player.engine_seat = ("search", player.simulations, c_init, c_base, "next")
    else:
        raise BadRequest(f"unknown player {text!r} (person, random, greedy, lookahead, policy:CKPT, search:CKPT:N)")
    try:
        player.network = sources.NetworkPlayer(player.checkpoint)
    except ValueError as error:  # the checkpoint's own complaint
        raise BadRequest(str(error)) from None
    return player


def _checkpoint(path: str, runs) -> str:
    real = os.path.realpath(path)
    inside = any(os.path.commonpath([real, run.real]) == run.real for run in runs)
    if not inside or not real.endswith(".pt") or not os.path.isfile(real):
        raise BadRequest(f"checkpoint {path!r} is not a .pt file in one of the view's run folders")
    return real


def suggested_players(runs) -> list[str]:
    """The players offered on the play page: the built-in ones and, for
    each run, its newest network with and without search."""
    offered = [PERSON, "random", *REFERENCE]
    for run in runs:
        best = os.path.join(run.path, "best.pt")
        if os.path.isfile(best):
            offered += [f"policy:{best}", f"search:{best}:64"]
    return offered
