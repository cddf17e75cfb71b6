"""Who sits at a seat of a match on the play page: ``person``, or a player
written as on the command line (``random``, ``greedy``, ``lookahead``,
``policy:CKPT[:T]``, ``search:CKPT:N``), which the match driver moves with
the settings ``tarnex-train arena`` gives it.

A checkpoint must be a ``.pt`` file inside one of the view's run folders:
a page may only name what the view already shows.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from . import sources
from .errors import BadRequest

PERSON = "person"


@dataclass
class Player:
    label: str
    engine_seat: tuple = ()  # the match driver's form; empty for a person
    network: object = None  # the evaluator of a policy or search seat

    @property
    def person(self) -> bool:
        return not self.engine_seat

    def choose(self, history, tie_break: int) -> tuple[int, list]:
        """(tile, visit shares) for the mover; runs the network in this
        thread. ``tie_break``: how a reference player picks among equals."""
        if self.engine_seat[0] == "reference":
            return sources.reference_tile(history, self.engine_seat[1], tie_break), []
        return sources.choose_tile(history, self.engine_seat, self.network)


def parse_player(text, runs) -> Player:
    """A player from its string; BadRequest naming what is wrong. Loads the
    network of a policy or search seat (seconds: call it off the event loop)."""
    if text == PERSON:
        return Player(text)
    try:
        spec = sources.parse_player(text)
    except sources.OptionError as error:
        raise BadRequest(str(error)) from None
    player = Player(text, spec.native())
    if spec.checkpoint is not None:
        try:
            player.network = sources.NetworkPlayer(_checkpoint(spec.checkpoint, runs))
        except sources.OptionError as error:  # a file that is not a checkpoint
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
    offered = [PERSON, "random", "greedy", "lookahead"]
    for run in runs:
        best = os.path.join(run.path, "best.pt")
        if os.path.isfile(best):
            offered += [f"policy:{best}", f"search:{best}:64"]
    return offered
