"""Player descriptions as the command line writes them, and their native
form for the match driver (``tarnex_train._match``).

    random                uniformly drawn legal tiles
    greedy                the largest piece that fits, placed where it most increases the mover's corner
                          cells (opened minus closed) minus the opponents' corner cells it covers
    lookahead             the largest piece that fits, placed where it leaves the mover the most legal
                          placements for its next turn minus the placements it takes from the opponents
    centre                greedy's rule with every corner cell weighted by how near the board's centre it lies
    blocker               the largest piece that fits, placed where it takes the most placements from the
                          opponents (greedy's measure breaking ties)
    policy:CKPT[:T]       the network's most likely legal tile (T > 0: drawn at temperature T)
    search:CKPT:N         search with N simulations per tile, no root noise: a sequential halving over
                          the 16 root children of highest prior (--considered) picks the tile, PUCT below
                          the root (--considered 0: PUCT at the root too, the most visited tile); branching
                          on tiles or, with --branching placement, on whole placements
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from ..constants import MAX_SIMS, MAX_TEMPERATURE
from ..errors import OptionError
from ..settings import SearchPlayers

# The reference players self-play seats and teaches with, and those it never
# does: the held-out ones test whether the network's strength is its own or
# its training opponents' habits learnt.
REFERENCES = ("greedy", "lookahead")
HELD_OUT = ("centre", "blocker")
EXPECTED = f"random, {', '.join(REFERENCES + HELD_OUT)}, policy:CKPT[:T] or search:CKPT:N"
CREDITS = ("chooser", "next")
# A search seat given no constants searches as a match's search players do by
# default: the settings are the one home of those values.
_SEARCH_DEFAULTS = SearchPlayers()


@dataclass(frozen=True)
class Player:
    kind: str  # "random", "reference", "policy" or "search"
    name: str = ""  # the reference rule
    checkpoint: str | None = None
    temperature: float = 0.0
    sims: int = 0

    @property
    def uses_network(self) -> bool:
        return self.kind in ("policy", "search")

    def native(self, search: SearchPlayers = _SEARCH_DEFAULTS) -> tuple:
        """The seat as the match driver takes it, a search seat searching
        by ``search``."""
        if self.kind == "random":
            return ("random",)
        if self.kind == "reference":
            return ("reference", self.name)
        if self.kind == "policy":
            return ("policy", float(self.temperature))
        return ("search", int(self.sims), float(search.c_init), float(search.c_base), search.credit,
                search.branching, int(search.considered))


def parse_player(text: str) -> Player:
    """A player from its command-line form; OptionError saying what is
    accepted otherwise."""
    if not isinstance(text, str) or not text:
        raise OptionError(f"player {text!r}: expected {EXPECTED}")
    if text == "random":
        return Player("random")
    if text in REFERENCES or text in HELD_OUT:
        return Player("reference", name=text)
    kind, _, rest = text.partition(":")
    if kind == "policy" and rest:
        checkpoint, temperature = _split_last_number(rest, float)
        # A NaN passes every comparison but "is finite": it is refused here,
        # not by every game failing later.
        if temperature is not None and not (math.isfinite(temperature) and 0 <= temperature <= MAX_TEMPERATURE):
            raise OptionError(f"player {text!r}: the temperature must be a number from 0 to {MAX_TEMPERATURE:g}")
        return Player("policy", checkpoint=checkpoint, temperature=temperature or 0.0)
    if kind == "search" and rest:
        checkpoint, sims = _split_last_number(rest, int)
        if sims is None or not 1 <= sims <= MAX_SIMS:
            raise OptionError(f"player {text!r}: search:CKPT:N needs N simulations per tile, 1 to {MAX_SIMS}")
        return Player("search", checkpoint=checkpoint, sims=sims)
    raise OptionError(f"player {text!r}: expected {EXPECTED}")


def _split_last_number(text: str, kind):
    """("path", number) from "path:number", ("path", None) without a number
    (a checkpoint path may itself hold colons)."""
    head, sep, tail = text.rpartition(":")
    if sep:
        try:
            return head, kind(tail)
        except ValueError:
            pass
    return text, None
