"""The rating ladder of a run: each rated generation's network plays as
``policy`` and as ``search`` against a fixed panel (random, greedy,
lookahead) and an earlier generation, in rotated matches; every game ever
played is kept in ``ladder.jsonl``, and the ratings are fitted over all of
them on one Elo-like scale (Bradley-Terry over the pairwise placings), the
random player fixed at 0."""

from __future__ import annotations

import json
import logging
import os

from ..errors import OptionError
from ..settings import ArenaOptions, SearchPlayers
from ..stats import fit_ratings
from .folder import RUN_FILE, read_settings_file

log = logging.getLogger(__name__)

LADDER_FILE = "ladder.jsonl"
ANCHOR = "random"


def policy_name(generation: int) -> str:
    return f"gen-{generation:04d} policy"


def search_name(generation: int, sims: int) -> str:
    return f"gen-{generation:04d} search{sims}"


class Ladder:
    def __init__(self, folder, pool, device, cluster, display, stream, search=None) -> None:
        self.folder = folder
        self.path = os.path.join(folder.path, LADDER_FILE)
        self.pool, self.device, self.cluster, self.display, self.stream = pool, device, cluster, display, stream
        # The run's search settings: given by the loop, else read from its run file.
        self.search = search_players_of(search) if search is not None else run_search_players(folder)

    def games(self) -> list[dict]:
        if not os.path.exists(self.path):
            return []
        out = []
        with open(self.path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                try:
                    record = json.loads(line)
                    if isinstance(record, dict) and len(record["players"]) == len(record["scores"]):
                        out.append(record)
                except (ValueError, KeyError, TypeError):
                    log.warning("%s: line %d is not a ladder game; left out", self.path, number)
        return out

    def rated(self) -> set[int]:
        return {record["generation"] for record in self.games() if "generation" in record}

    def add(self, generation: int, games: int, sims: int, net=None, seed: int | None = None, workers=None) -> None:
        """Plays the generation's matches and appends their games."""
        from ..play.match import run_match

        network = self.folder.trained_path(generation)
        if not os.path.exists(network):
            raise OptionError(f"{network}: no network for generation {generation}")
        earlier = max((g for g in self.rated() if g < generation), default=None)
        policy, search = f"policy:{network}", f"search:{network}:{sims}"
        names = {policy: policy_name(generation), search: search_name(generation, sims)}
        matches = [[policy, search, "greedy", "lookahead"]]
        if earlier is not None:
            previous = f"policy:{self.folder.trained_path(earlier)}"
            names[previous] = policy_name(earlier)
            matches.append([policy, previous, "random", "greedy"])
        else:
            matches.append([policy, "random", "random", "greedy"])
        for seats in matches:
            options = ArenaOptions.make(games=games, seats=seats, log_dir=self.folder.logs, pool=self.pool,
                                        search=self.search, device=self.device, cluster=self.cluster, seed=seed,
                                        display=self.display.replace(quiet=True))
            summary = run_match(options, stream=self.stream, networks={network: net} if net is not None else None,
                                workers=workers)
            if summary.interrupted:
                raise KeyboardInterrupt
            with open(self.path, "a", encoding="utf-8") as f:
                for game in summary.games:
                    f.write(json.dumps({"generation": generation,
                                        "players": [names.get(p, p) for p in game["seats"]],
                                        "scores": game["scores"]}) + "\n")

    def ratings(self) -> dict:
        games = [list(zip(g["players"], g["scores"])) for g in self.games()]
        if not games:
            return {}
        return fit_ratings(games, ANCHOR)


def run_search_players(folder) -> SearchPlayers:
    """The ladder's search players search as the run's self-play does."""
    return search_players_of(read_settings_file(os.path.join(folder.path, RUN_FILE)).search)


def search_players_of(search) -> SearchPlayers:
    """Search players that search as a run's self-play does (its PUCT
    constants), each crediting the seat that chose a tile: how a player
    should value its own move; their root, as every search player's."""
    return SearchPlayers(c_init=search.c_init, c_base=search.c_base, credit="chooser")


def table(ratings: dict) -> str:
    lines = ["player                  rating  [95% interval]   games"]
    for name, r in sorted(ratings.items(), key=lambda item: -item[1]["rating"]):
        lines.append(f"{name[:22]:22} {r['rating']:7.0f}  [{r['low']:5.0f}, {r['high']:5.0f}]  {r['games']:6}")
    return "\n".join(lines)
