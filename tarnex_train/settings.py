"""The six search settings read by ``play_training_game``, with defaults."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

from .errors import OptionError


@dataclass(frozen=True)
class SearchConfig:
    """Settings of the engine's tree search, read by attribute by the module.

    The defaults follow AlphaZero (c_base, c_init, exploration fraction), with
    fewer simulations (a move here is one tile, and the tools run on a CPU)
    and a Dirichlet alpha for the 15 to 100 legal tiles a position has.
    """

    sims_per_move: int = 100
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25

    def __post_init__(self) -> None:
        problems = []
        if not isinstance(self.sims_per_move, int) or self.sims_per_move < 1:
            problems.append("sims_per_move must be an integer >= 1")
        if not isinstance(self.sample_moves, int) or self.sample_moves < 0:
            problems.append("sample_moves must be an integer >= 0")
        for name in ("c_base", "c_init", "dirichlet_alpha"):
            value = getattr(self, name)
            if not isinstance(value, (int, float)) or not value > 0 or value == float("inf"):
                problems.append(f"{name} must be a finite number > 0")
        fraction = self.exploration_fraction
        if not isinstance(fraction, (int, float)) or not 0.0 <= fraction <= 1.0:
            problems.append("exploration_fraction must lie in [0, 1]")
        if problems:
            raise OptionError("; ".join(problems))

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


HELP = {
    "sims_per_move": "simulations of the tree search for every tile chosen",
    "sample_moves": "the first N-1 tiles of a game (all seats together) are sampled in "
    "proportion to the visit counts, later ones are the most visited tile",
    "c_base": "base constant of the PUCT exploration term",
    "c_init": "initial constant of the PUCT exploration term",
    "dirichlet_alpha": "concentration of the Dirichlet noise mixed into the root priors",
    "exploration_fraction": "weight of that noise in the root priors (0 = no noise)",
}
