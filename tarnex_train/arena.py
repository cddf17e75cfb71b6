"""Arena: test games of a model (seat 0) against a baseline (seats 1 to 3),
played by the engine's ``play_test_game`` in worker processes; the main
process serves both networks. Reports the model's mean payoff with a 95%
confidence interval (an equally strong model expects 0.25)."""

from __future__ import annotations

import math
import statistics
import sys
from dataclasses import dataclass, field

from .progress import Progress
from .server import ServerStats, WorkerEvent, make_pool
from .settings import ClusterSettings, NetworkShape, PoolSettings, setting

# Two-sided 95% quantiles of Student's t for 1..30 degrees of freedom.
_T975 = (
    12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
    2.201, 2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
    2.080, 2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042,
)


def t_quantile_975(df: int) -> float:
    """Student's t 97.5% quantile: the table up to 30 degrees of freedom,
    beyond that the Cornish-Fisher expansion around the normal quantile
    (within 1e-3)."""
    if df <= len(_T975):
        return _T975[df - 1]
    z = 1.959964
    return z + (z**3 + z) / (4 * df) + (5 * z**5 + 16 * z**3 + 3 * z) / (96 * df**2)


def mean_confidence_interval(values) -> tuple[float, float, float]:
    """(mean, low, high): the 95% interval of the mean (Student's t),
    clipped to [0, 1]."""
    values = list(values)
    if not values:
        return math.nan, math.nan, math.nan
    mean = statistics.fmean(values)
    if len(values) < 2:
        return mean, 0.0, 1.0
    half = t_quantile_975(len(values) - 1) * statistics.stdev(values) / math.sqrt(len(values))
    return mean, max(0.0, mean - half), min(1.0, mean + half)


RANDOM = "random"


@dataclass(frozen=True)
class ArenaOptions(PoolSettings):
    games: int = setting(20, "games to play", low=1, high=10**9)
    model: str = setting(None, "checkpoint of the model, or 'random' for the uniformly random player "
                         "(default: a fresh network)", kind=str)
    baseline: str = setting(None, "checkpoint of the baseline, or 'random' (default: a fresh network, "
                            "seeded with --seed + 1)", kind=str)
    baseline_temperature: float = setting(
        0.0, "0: a baseline network's seats draw uniformly among the legal tiles, as the engine does; above 0 "
        "they draw from the network's policy sharpened by this temperature", low=0.0, high=100.0)
    seed: int = setting(None, "seed for fresh network weights; random when omitted", kind=int, low=0, high=2**63 - 1)
    show_board: bool = setting(False, "print the final board of one game")
    progress: bool = setting(True, "progress bar on standard error", option=False)
    log_dir: str = setting(None, "folder that keeps the worker logs (default: a temporary one)", kind=str,
                           option=False)
    shape: NetworkShape = field(default_factory=NetworkShape)
    cluster: ClusterSettings = field(default_factory=ClusterSettings)

    def check(self) -> None:
        """Validation happens when the options are made; kept for callers."""


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

    @property
    def interval(self) -> tuple[float, float, float]:
        return mean_confidence_interval(self.payoffs)

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
            lines.append(
                f"model's mean payoff {mean:.3f}, 95% confidence interval [{low:.3f}, {high:.3f}] "
                f"(0.25 = as strong as the baseline); {wins} won, {shared} shared wins"
            )
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


def make_arena_evaluator(options: ArenaOptions, model_net=None, baseline_net=None):
    """(evaluator, model description, baseline description). Networks given
    here take the place of the options' checkpoints."""
    import torch

    from .evaluators import NetworkEvaluator, Player
    from .network import network_from, pick_device

    torch.set_num_threads(options.network_threads())
    device = pick_device(options.device)
    seed = options.seed

    def player(source, net, seed, baseline: bool):
        if net is None and source == RANDOM:
            return Player(None, "uniform"), "uniformly random player"
        if net is None:
            net, description, _ = network_from(source, options.shape, seed)
        else:
            description = "given network"
        if baseline and options.baseline_temperature > 0:
            description += f", drawing from its policy at temperature {options.baseline_temperature:g}"
            return Player(net, "sample", options.baseline_temperature), description
        return Player(net), description

    model, model_text = player(options.model, model_net, seed, baseline=False)
    baseline, baseline_text = player(options.baseline, baseline_net, None if seed is None else seed + 1, True)
    evaluator = NetworkEvaluator([model, baseline], device, cache_mb=options.cache_mb, seed=seed)
    return evaluator, model_text, baseline_text


def run_arena(options: ArenaOptions, evaluator=None, stream=None) -> ArenaSummary:
    stream = stream if stream is not None else sys.stderr
    summary = ArenaSummary(options.games)
    if evaluator is None:
        evaluator, summary.model, summary.baseline = make_arena_evaluator(options)
    else:
        summary.model = summary.baseline = f"given evaluator {type(evaluator).__name__}"

    progress = Progress("arena", options.games, "games", stream, enabled=options.progress)
    pool = make_pool("arena", options, options.games, {}, options.log_dir)

    def handle(event: WorkerEvent) -> None:
        if event.kind == "done":
            summary.payoffs.append(event.payload["payoff"])
            if summary.board is None and options.show_board:
                summary.board = _board_of(event.payload["board"])
        elif event.kind == "failed":
            summary.failures.append((event.worker, event.game, event.payload))
            progress.message(f"game {event.game} failed on worker {event.worker}, skipped: {event.payload}")

    def tick() -> None:
        mean = statistics.fmean(summary.payoffs) if summary.payoffs else math.nan
        progress.update(len(summary.payoffs) + len(summary.failures), f"mean payoff {mean:.3f}")

    summary.interrupted = pool.run(
        evaluator, handle, tick, options.batch_size, options.batch_wait_ms / 1000.0, progress, "stopping the workers"
    )
    for worker, error in pool.fatal:
        if not any(f[0] == worker for f in summary.failures):
            progress.message(f"worker {worker} stopped: {error}")
    progress.close(len(summary.payoffs) + len(summary.failures))
    summary.server = pool.stats
    if options.cluster.ray:
        summary.node_lines = pool.node_lines()
    return summary
