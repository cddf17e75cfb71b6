"""Self-play: W worker processes play training games with the engine, the
main process serves their evaluations in batches and writes the records."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field

import logging

from ..data.shards import ShardWriter
from ..files import describe_os_error
from ..inference.description import EvaluatorSpec
from ..pool.api import ServerStats, WorkerEvent
from ..pool.factory import make_pool
from ..pool.protocol import Message
from ..progress import Progress
from ..settings import SelfPlayOptions, as_dict
from . import roles

log = logging.getLogger(__name__)


@dataclass
class Failure:
    worker: int
    game: int
    error: str


@dataclass
class WorkerTotals:
    seconds: float = 0.0  # inside play_training_game
    put_seconds: float = 0.0
    recv_seconds: float = 0.0
    records_seconds: float = 0.0
    evaluations: int = 0

    def add(self, stats: dict) -> None:
        self.seconds += stats.get("seconds", 0.0)
        self.put_seconds += stats.get("put_seconds", 0.0)
        self.recv_seconds += stats.get("recv_seconds", 0.0)
        self.records_seconds += stats.get("records_seconds", 0.0)
        self.evaluations += stats.get("evaluations", 0)


@dataclass
class SelfPlaySummary:
    games_requested: int
    workers: int
    output: str
    evaluator: str
    games_per_worker: int = 1
    games_done: int = 0
    positions: int = 0
    shards: list = field(default_factory=list)
    failures: list = field(default_factory=list)
    interrupted: bool = False
    server: ServerStats = field(default_factory=ServerStats)
    evaluator_seconds: dict = field(default_factory=dict)
    worker_totals: WorkerTotals = field(default_factory=WorkerTotals)
    cache_hits: int = 0
    network_positions: int = 0
    write_error: str | None = None
    games_unwritten: int = 0
    node_lines: list = field(default_factory=list)  # per cluster node

    @property
    def games_kept(self) -> int:
        return self.games_done - self.games_unwritten

    @property
    def cache_hit_rate(self) -> float:
        return self.cache_hits / self.server.evaluations if self.server.evaluations else 0.0

    @property
    def network_positions_per_second(self) -> float:
        return self.network_positions / self.server.wall if self.server.wall else 0.0

    @property
    def evaluations_per_second(self) -> float:
        return self.server.evaluations / self.server.wall if self.server.wall else 0.0

    def time_shares(self) -> dict:
        """Shares of wall time: of the main process (server) and, averaged, of
        the workers."""
        s = self.server
        wall = s.wall or 1.0
        network = self.evaluator_seconds.get("network", 0.0)
        encode = self.evaluator_seconds.get("encode", 0.0)
        server = {
            "network": network / wall,
            "encode": (encode + max(0.0, s.evaluate - network - encode)) / wall,
            "transport": (s.receive + s.send) / wall,
            "waiting": s.waiting / wall,
            "results": s.handle / wall,
        }
        server["other"] = max(0.0, 1.0 - sum(server.values()))
        w = self.worker_totals
        worker_wall = wall * self.workers * self.games_per_worker  # per game thread
        engine = w.seconds - w.put_seconds - w.recv_seconds
        workers = {
            "engine": engine / worker_wall,
            "put": w.put_seconds / worker_wall,
            "recv": w.recv_seconds / worker_wall,
            "records": w.records_seconds / worker_wall,
        }
        workers["other"] = max(0.0, 1.0 - sum(workers.values()))
        return {"server": server, "workers": workers}

    def _local_lines(self) -> list[str]:
        """Where the time went, in the main process and the games."""
        s = self.server
        lines: list[str] = []
        shares = self.time_shares()
        sv, wk = shares["server"], shares["workers"]
        lines.append(
            "main process: network {:.0%}, encoding {:.0%}, queue/pipe transport {:.0%}, "
            "waiting for requests {:.0%}, receiving game results {:.0%}, other {:.0%}".format(
                sv["network"], sv["encode"], sv["transport"], sv["waiting"], sv["results"], sv["other"]
            )
        )
        lines.append(
            "games (mean): engine {:.0%}, put {:.0%}, waiting for and reading replies {:.0%}, "
            "records {:.0%}, other (start-up, idle) {:.0%}".format(
                wk["engine"], wk["put"], wk["recv"], wk["records"], wk["other"]
            )
        )
        w = self.worker_totals
        if w.evaluations:
            per = 1e6 / w.evaluations
            lines.append(
                "per evaluation: engine {:.0f} us, put {:.0f} us, reply {:.0f} us (in the workers); "
                "network {:.0f} us, transport {:.0f} us (in the main process, per request)".format(
                    (w.seconds - w.put_seconds - w.recv_seconds) * per, w.put_seconds * per, w.recv_seconds * per,
                    self.evaluator_seconds.get("network", 0.0) * 1e6 / max(1, s.evaluations),
                    (s.receive + s.send) * 1e6 / max(1, s.evaluations),
                )
            )
        return lines

    def report(self) -> str:
        s = self.server
        state = "interrupted: " if self.interrupted else ""
        lines = [
            f"{state}{self.games_done} of {self.games_requested} games done, {len(self.failures)} failed; "
            f"{self.positions} positions written to {self.output} in {len(self.shards)} shard(s)",
            f"{s.evaluations} evaluations in {s.wall:.1f} s: {self.evaluations_per_second:.0f} evaluations/s, "
            f"mean batch {s.mean_batch:.2f} ({self.evaluator} evaluator, {self.workers} workers x "
            f"{self.games_per_worker} games)",
        ]
        if self.evaluator == "network":
            lines.append(
                f"evaluation cache: {self.cache_hit_rate:.1%} of requests answered without the network; "
                f"network {self.network_positions} positions, {self.network_positions_per_second:.0f} positions/s"
            )
        lines.extend(self.node_lines or self._local_lines())
        for failure in self.failures:
            lines.append(f"failed: game {failure.game} on worker {failure.worker}: {failure.error}")
        if self.write_error is not None:
            lines.append(f"failed: {self.games_unwritten} finished game(s) could not be written: {self.write_error}")
        return "\n".join(lines)


def selfplay_spec(options: SelfPlayOptions, net=None) -> tuple[EvaluatorSpec, str, object]:
    """The evaluator the options describe (``net``, a network in memory,
    takes the place of the checkpoint), where its network came from, and
    the network's shape (None without one)."""
    if options.evaluator == "zero":
        return EvaluatorSpec.zero_cost(), "zero-cost evaluator (no network)", None
    from ..model.checkpoints import network_from

    if net is None:
        net, description, _ = network_from(options.checkpoint, options.shape, options.seeding.seed)
    else:
        description = f"network in memory ({net.shape.channels} channels, {net.shape.blocks} blocks)"
    return EvaluatorSpec([net], cache_mb=options.pool.cache_mb,
                         precision=options.pool.inference_precision), description, net.shape


def run_selfplay(options: SelfPlayOptions, evaluator=None, stream=None, net=None, workers=None) -> SelfPlaySummary:
    """Plays ``options.games`` training games and writes their records.

    ``evaluator`` (optional) replaces the one the options describe; it is
    called with each batch of requests and returns one encoded reply each.
    ``net``: a network in memory to play with instead of the checkpoint.
    ``workers``: worker processes to play on and leave running (``pool.local.Workers``).
    """
    stream = stream if stream is not None else sys.stderr
    shape = None
    if evaluator is not None:
        description = f"given evaluator {type(evaluator).__name__}"
    else:
        spec, description, shape = selfplay_spec(options, net)
        # On Ray every node builds the description for its own device.
        evaluator = spec if options.cluster.ray else spec.build(options.device)
    # Every setting that made these records, and where the network came from
    # (the shape options only size a fresh network: a loaded one has its own).
    run_settings = {**options.to_dict(), "network": description}
    if shape is not None:
        run_settings["shape"] = as_dict(shape)
    run_settings.pop("display", None)
    writer = ShardWriter(options.output, run_settings, options.shards.games_per_shard)
    at_once = options.pool.games_at_once(games=options.games)
    summary = SelfPlaySummary(options.games, options.pool.processes(), options.output, options.evaluator, at_once)
    progress = Progress("selfplay", options.games, "games", stream, enabled=not options.display.quiet)
    log_dir = options.log_dir if options.log_dir is not None else os.path.join(options.output, "logs")
    pool = make_pool(roles.selfplay, options, options.games,
                     {"search": options.search.to_dict(), "log_level": options.display.log_level}, log_dir, workers)
    first = options.first_game

    def handle(event: WorkerEvent) -> None:
        if event.kind == Message.DONE:
            writer.add(first + event.game, event.payload)
            summary.games_done += 1
            summary.worker_totals.add(event.stats)
            if writer.error is not None:
                # Playing on would only make more games that cannot be kept.
                pool.abort(f"writing a shard failed: {writer.error}")
        elif event.kind == Message.FAILED:
            summary.failures.append(Failure(event.worker, first + event.game, event.payload))
            summary.worker_totals.add(event.stats)
            progress.message(f"game {first + event.game} failed on worker {event.worker}, skipped: {event.payload}")

    def tick() -> None:
        s = pool.stats
        elapsed = max(1e-9, pool.elapsed)
        progress.update(
            summary.games_done + len(summary.failures),
            f"{s.evaluations / elapsed:.0f} evals/s  batch {s.mean_batch:.1f}",
        )

    where = f"on the Ray cluster at {options.cluster.ray}" if options.cluster.ray else \
        f"{options.pool.processes()} workers x {at_once} games at once"
    runs_on = getattr(evaluator, "runs_on", "")
    progress.message(f"selfplay: {options.games} games, {where}, {description}" + (f", {runs_on}" if runs_on else ""))
    completed = False
    try:
        summary.interrupted = pool.run(
            evaluator,
            handle,
            tick,
            options.pool.batch_size,
            options.pool.batch_wait_ms / 1000.0,
            progress,
            "stopping the workers; finished games are kept",
        )
        for worker, error in pool.fatal:
            if not any(f.worker == worker for f in summary.failures):
                progress.message(f"worker {worker} stopped: {error}")
        completed = True
    finally:
        # A run that raised (no cluster node left, say) keeps its games but is not finished.
        writer.close(finished=completed and not summary.interrupted)
    if writer.error is not None:
        summary.write_error = describe_os_error(writer.error) if isinstance(writer.error, OSError) \
            else str(writer.error)
        summary.games_unwritten = writer.games_unwritten
        progress.message(f"selfplay stopped: writing a shard failed ({writer.error}); "
                         f"{writer.games_unwritten} finished game(s) could not be written")
    progress.close(summary.games_done + len(summary.failures))
    summary.server = pool.stats
    summary.evaluator_seconds = dict(getattr(evaluator, "seconds", {}))
    summary.cache_hits = getattr(evaluator, "cache_hits", 0)
    summary.network_positions = getattr(evaluator, "positions", 0)
    if options.cluster.ray:
        summary.cache_hits, summary.network_positions = pool.cache_hits, pool.network_positions
        summary.node_lines = pool.node_lines()
    summary.positions = writer.positions_written
    summary.shards = list(writer.paths)
    return summary
