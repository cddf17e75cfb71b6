"""Who sits at a seat of a match on the play page: ``person``, or a player
written as on the command line (``random``, ``greedy``, ``lookahead``,
``policy:CKPT[:T]``, ``search:CKPT:N``), which the match driver moves with
the settings ``tarnex-train arena`` gives it.

A checkpoint is named relative to a run folder (``best.pt``,
``gen-0003/model.pt``; ``RUN-NAME/best.pt`` when the view shows several
runs) or by a path, and must resolve to a ``.pt`` file inside one of the
view's run folders: a page may only name what the view already shows.
Seats are labelled by that name, never by where the view's folders lie.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from . import sources
from .errors import BadRequest

PERSON = "person"
FALLBACK_OPPONENT = "greedy"  # for a view whose runs hold no network yet
SUGGESTED_SIMS = 64


@dataclass
class Player:
    label: str
    engine_seat: tuple = ()  # the match driver's form; empty for a person
    network: object = None  # the evaluator of a policy or search seat, once loaded
    checkpoint: str | None = None  # the resolved file of that network

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
    """A player from its string, its network not yet loaded (``load``);
    BadRequest naming what is wrong."""
    if text == PERSON:
        return Player(text)
    try:
        spec = sources.parse_player(text)
    except sources.OptionError as error:
        raise BadRequest(str(error)) from None
    if spec.checkpoint is None:
        return Player(text, spec.native())
    path, name = checkpoint(spec.checkpoint, runs)
    kind, _, rest = text.partition(":")
    return Player(f"{kind}:{name}{rest[len(spec.checkpoint):]}", spec.native(), checkpoint=path)


def load(player: Player) -> Player:
    """Loads a policy or search seat's network (seconds: call it off the
    event loop); BadRequest for a file that is not a checkpoint."""
    if player.checkpoint is not None and player.network is None:
        try:
            player.network = sources.NetworkPlayer(player.checkpoint)
        except sources.OptionError as error:
            raise BadRequest(str(error)) from None
    return player


def checkpoint(text: str, runs) -> tuple[str, str]:
    """(resolved path, name) of a checkpoint given by its name in a run
    folder or by a path; BadRequest for anything resolving outside the
    view's run folders, however it is spelt (.., links, absolute)."""
    if "\x00" in text:
        raise BadRequest("a checkpoint name holds no NUL character")
    head, _, tail = text.partition("/")
    named = [run for run in runs if run.name == head and tail]
    candidates = [os.path.join(run.real, tail) for run in named[:1]]
    candidates += [os.path.join(run.real, text) for run in runs] + [text]
    for candidate in candidates:
        real = os.path.realpath(candidate)
        run = next((run for run in runs if run.inside(real) is not None), None)
        if run is not None and real.endswith(".pt") and os.path.isfile(real):
            return real, _name(real, run, runs)
    raise BadRequest(f"checkpoint {text!r} is not a .pt file in one of the view's run folders")


def _name(real: str, run, runs) -> str:
    """How a seat names a checkpoint: inside its run folder, led by the
    run's name when the view has several and the name picks this one."""
    inside = os.path.relpath(real, run.real)
    if len(runs) == 1:
        return inside
    if next(r for r in runs if r.name == run.name) is run and "/" not in run.name and run.name not in (".", ".."):
        return f"{run.name}/{inside}"
    return real


def suggested_players(runs) -> list[str]:
    """The players offered on the play page: each run's newest network
    without and with search, then the built-in ones."""
    offered = []
    for run in runs:
        if os.path.isfile(os.path.join(run.real, "best.pt")):
            name = _name(os.path.join(run.real, "best.pt"), run, runs)
            offered += [f"policy:{name}", f"search:{name}:{SUGGESTED_SIMS}"]
    return offered + [PERSON, "random", "greedy", "lookahead"]


def default_opponent(runs, preferred: int = 0) -> str:
    """The newest network of the page's run (else of the first run that
    has one) as a policy player, or the fallback for runs without one."""
    ordered = sorted(runs, key=lambda run: run.index != preferred)
    for run in ordered:
        if os.path.isfile(os.path.join(run.real, "best.pt")):
            return f"policy:{_name(os.path.join(run.real, 'best.pt'), run, runs)}"
    return FALLBACK_OPPONENT
