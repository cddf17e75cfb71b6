"""Arena: test games of a model (seat 0) against a baseline (seats 1 to 3),
played by the engine's ``play_test_game`` in worker processes; the main
process serves both networks. Reports the model's mean payoff with a 95%
confidence interval, beside what equal players score in seat 0, which
moves first and is worth more than 0.25 by itself (seats are not rotated
here: ``play.match`` rotates them)."""

from __future__ import annotations

import math
import statistics
import sys
from dataclasses import dataclass, field

from ..inference.description import EvaluatorSpec, PlayerSpec
from ..pool.api import ServerStats, WorkerEvent
from ..pool.factory import make_pool
from ..pool.protocol import Message
from ..progress import Progress
from ..settings import RANDOM, ArenaOptions
from ..stats import mean_confidence_interval
from . import roles

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


def _board_of(output: str) -> str | None:
    marker = "Finished Game"
    at = output.rfind(marker)
    return output[at + len(marker):].lstrip("\n") if at >= 0 else None


def arena_spec(options: ArenaOptions, model_net=None, baseline_net=None) -> tuple[EvaluatorSpec, str, str]:
    """(evaluator description, model description, baseline description).
    Networks given here (in memory) take the place of the checkpoints."""
    from ..model.checkpoints import network_from

    seed = options.seeding.seed

    def player(source, net, seed, baseline: bool):
        if net is None and source == RANDOM:
            return PlayerSpec(None, "uniform"), "uniformly random player"
        if net is None:
            net, description, _ = network_from(source, options.shape, seed)
        else:
            description = "network in memory"
        if baseline and options.baseline_temperature > 0:
            description += f", drawing from its policy at temperature {options.baseline_temperature:g}"
            return PlayerSpec(net, "sample", options.baseline_temperature), description
        return PlayerSpec(net), description

    model, model_text = player(options.model, model_net, seed, baseline=False)
    baseline, baseline_text = player(options.baseline, baseline_net, None if seed is None else seed + 1, True)
    return EvaluatorSpec([model, baseline], cache_mb=options.pool.cache_mb, seed=seed,
                         precision=options.pool.inference_precision), model_text, baseline_text


def run_arena(options: ArenaOptions, evaluator=None, stream=None, model_net=None, baseline_net=None,
              calibrate: bool = False, workers=None) -> ArenaSummary:
    """``workers``: worker processes to play on and leave running
    (``pool.local.Workers``).
    ``calibrate``: where the baseline's seats play uniformly (a random
    baseline, or a network's at temperature 0), also play the random
    player against itself (as many games as the loop's calibration, at
    least), for the seat-0 payoff the model's is read against."""
    stream = stream if stream is not None else sys.stderr
    summary = ArenaSummary(options.games)
    if evaluator is None:
        spec, summary.model, summary.baseline = arena_spec(options, model_net, baseline_net)
        evaluator = spec if options.cluster.ray else spec.build(options.device)
    else:
        summary.model = summary.baseline = f"given evaluator {type(evaluator).__name__}"

    progress = Progress("arena", options.games, "games", stream, enabled=not options.display.quiet)
    pool = make_pool(roles.arena, options, options.games, {"log_level": options.display.log_level}, options.log_dir,
                     workers)

    def handle(event: WorkerEvent) -> None:
        if event.kind == Message.DONE:
            summary.payoffs.append(event.payload["payoff"])
            if summary.board is None and options.show_board:
                summary.board = _board_of(event.payload["board"])
        elif event.kind == Message.FAILED:
            summary.failures.append((event.worker, event.game, event.payload))
            progress.message(f"game {event.game} failed on worker {event.worker}, skipped: {event.payload}")

    def tick() -> None:
        mean = statistics.fmean(summary.payoffs) if summary.payoffs else math.nan
        progress.update(len(summary.payoffs) + len(summary.failures), f"mean payoff {mean:.3f}")

    summary.interrupted = pool.run(
        evaluator, handle, tick, options.pool.batch_size, options.pool.batch_wait_ms / 1000.0, progress,
        "stopping the workers"
    )
    for worker, error in pool.fatal:
        if not any(f[0] == worker for f in summary.failures):
            progress.message(f"worker {worker} stopped: {error}")
    progress.close(len(summary.payoffs) + len(summary.failures))
    summary.server = pool.stats
    if options.cluster.ray:
        summary.node_lines = pool.node_lines()
    uniform = options.baseline == RANDOM or options.baseline_temperature == 0
    if calibrate and summary.payoffs and not summary.interrupted and uniform:
        if options.model == RANDOM and options.baseline == RANDOM:
            summary.calibration = "self"
        else:
            from ..settings import LoopSettings

            games = max(options.games, LoopSettings().calibration_games)
            progress.message(f"arena: {games} games of the random player against itself, for the seat-0 payoff "
                             "of equal players")
            equal = run_arena(options.replace(games=games, model=RANDOM, baseline=RANDOM, show_board=False),
                              stream=stream, workers=workers)
            summary.calibration = equal.payoffs or None
    return summary
