"""Arena: test games of a model (seat 0) against a baseline (seats 1 to 3),
played on the match driver's worker pool as a match with fixed seats; the
main process serves the networks. Reports the model's mean payoff with a 95%
confidence interval, beside what equal players score in seat 0, which
moves first and is worth more than 0.25 by itself (seats are not rotated
here: ``play.match`` rotates them)."""

from __future__ import annotations

import random
import sys
from dataclasses import dataclass, field

from ..pool.api import ServerStats
from ..settings import RANDOM, ArenaOptions
from ..stats import mean_confidence_interval


@dataclass
class ArenaSummary:
    games_requested: int
    model: str = ""
    baseline: str = ""
    payoffs: list = field(default_factory=list)
    failures: list = field(default_factory=list)
    board: str | None = None
    interrupted: bool = False
    server: ServerStats = field(default_factory=ServerStats)
    node_lines: list = field(default_factory=list)  # per cluster node
    # The seat-0 payoffs of the random player against itself, where the
    # baseline's seats play as it does; "self" where these games are that.
    calibration: list | str | None = None

    @property
    def interval(self) -> tuple[float, float, float]:
        return mean_confidence_interval(self.payoffs)

    def reference_line(self) -> str:
        """What the model's payoff is to be read against."""
        if self.calibration == "self":
            return "(these games are the seat-0 calibration: both players random, so equal)"
        if self.calibration:
            mean, low, high = mean_confidence_interval(self.calibration)
            return (f"(the model sits in seat 0 in every game, which moves first: equal players score "
                    f"{mean:.3f} [{low:.3f}, {high:.3f}] there, from {len(self.calibration)} games of the random "
                    "player against itself, not 0.25)")
        return ("(the model sits in seat 0 in every game, which moves first: equal players score more than 0.25 "
                "there; for a comparison of equals, rotate the seats with --seats)")

    def report(self) -> str:
        lines = []
        if self.board:
            lines.append("final board of one game (model is seat 0):")
            lines.append(self.board.rstrip("\n"))
        state = "interrupted: " if self.interrupted else ""
        lines.append(f"model:    {self.model}")
        lines.append(f"baseline: {self.baseline}")
        lines.append(f"{state}{len(self.payoffs)} of {self.games_requested} games played, {len(self.failures)} failed")
        if self.payoffs:
            mean, low, high = self.interval
            wins = sum(1 for p in self.payoffs if p >= 1.0)
            shared = sum(1 for p in self.payoffs if 0.0 < p < 1.0)
            lines.append(f"model's mean payoff {mean:.3f}, 95% confidence interval [{low:.3f}, {high:.3f}]; "
                         f"{wins} won, {shared} shared wins")
            lines.append(self.reference_line())
        s = self.server
        if s.wall:
            lines.append(
                f"{s.evaluations} evaluations in {s.wall:.1f} s: {s.evaluations / s.wall:.0f} evaluations/s, "
                f"mean batch {s.mean_batch:.2f}"
            )
        lines.extend(self.node_lines)
        for worker, game, error in self.failures:
            lines.append(f"failed: game {game} on worker {worker}: {error}")
        return "\n".join(lines)


def arena_players(options: ArenaOptions, model_net=None, baseline_net=None):
    """(the four seats in the match driver's form, their networks, each
    seat's index among them, the model's description, the baseline's).
    Networks given here (in memory) take the place of the checkpoints.
    The model plays its most likely tile; the baseline's seats draw
    uniformly among the legal tiles unless --baseline-temperature draws
    them from its network's policy."""
    from ..model.checkpoints import network_from

    seed = options.seeding.seed
    nets = []

    def player(source, net, seed, temperature: float, baseline: bool):
        if net is None and source == RANDOM:
            return ("random",), None, "uniformly random player"
        if net is None:
            net, description, _ = network_from(source, options.shape, seed)
        else:
            description = "network in memory"
        if baseline and temperature == 0:
            return ("random",), None, description + ", its seats drawing uniformly among the legal tiles"
        if temperature > 0:
            description += f", drawing from its policy at temperature {temperature:g}"
        nets.append(net)
        return ("policy", float(temperature)), len(nets) - 1, description

    model, model_index, model_text = player(options.model, model_net, seed, 0.0, baseline=False)
    baseline, baseline_index, baseline_text = player(
        options.baseline, baseline_net, None if seed is None else seed + 1, options.baseline_temperature, baseline=True)
    return [model] + [baseline] * 3, nets, [model_index] + [baseline_index] * 3, model_text, baseline_text


def run_arena(options: ArenaOptions, stream=None, model_net=None, baseline_net=None, calibrate: bool = False,
              workers=None) -> ArenaSummary:
    """``workers``: worker processes to play on and leave running
    (``pool.local.Workers``).
    ``calibrate``: where the baseline's seats play uniformly (a random
    baseline, or a network's at temperature 0), also play the random
    player against itself (as many games as the loop's calibration, at
    least), for the seat-0 payoff the model's is read against."""
    from .match import play_seats

    summary = ArenaSummary(options.games)
    natives, nets, indices, summary.model, summary.baseline = arena_players(options, model_net, baseline_net)
    seed = options.seeding.seed if options.seeding.seed is not None else random.randrange(2**62)
    # Test games are counted, not kept (--save-games is the matches').
    played = play_seats(options.replace(save_games=None), natives, ["model", "baseline", "baseline", "baseline"],
                        nets, indices, rotate=False, opening_turns=0, seed=seed, stream=stream, workers=workers,
                        label="arena")
    summary.payoffs = [game["payoff"][0] for game in played.games]
    summary.failures, summary.interrupted = played.failures, played.interrupted
    summary.server, summary.node_lines, summary.board = played.server, played.node_lines, played.board
    uniform = options.baseline == RANDOM or options.baseline_temperature == 0
    if calibrate and summary.payoffs and not summary.interrupted and uniform:
        if options.model == RANDOM and options.baseline == RANDOM:
            summary.calibration = "self"
        else:
            from ..settings import LoopSettings

            games = max(options.games, LoopSettings().calibration_games)
            (stream or sys.stderr).write(f"arena: {games} games of the random player against itself, for the "
                                         "seat-0 payoff of equal players\n")
            equal = run_arena(options.replace(games=games, model=RANDOM, baseline=RANDOM, show_board=False),
                              stream=stream, workers=workers)
            summary.calibration = equal.payoffs or None
    return summary
