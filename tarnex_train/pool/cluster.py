"""Self-play and test games on a Ray cluster.

One ``NodeRunner`` actor per node runs the local pipeline there (``WorkerPool``
worker processes and an inference server on the node's device), so
evaluation requests never leave the node. The driver (``RayPool``):
- sends the networks' weights once per call through Ray's object store;
- hands out game numbers in small chunks, another chunk to a node as soon
  as its last one is done, so faster nodes play more;
- collects finished games about twice a second (each actor keeps them
  until collected) and passes them to the same handler a local run uses, so
  the shards and ``metadata.json`` are written by the driver exactly as
  locally, with the node that played each game;
- when an actor or its node dies, hands the games of its chunk that were
  not collected to the other nodes; a game number is passed on once at
  most, so nothing is written twice; no node left ends the run with an
  error;
- on Ctrl-C collects what the actors have finished, then ends them.
"""

from __future__ import annotations

import collections
import os
import tempfile
import threading
import time
import uuid
from typing import Callable

from ..errors import OptionError
from ..settings import DeviceSettings, PoolSettings
from .api import EvaluatorRecipe, ServerStats, WorkerEvent
from .local import WorkerPool
from .protocol import Message

COLLECT_EVERY = 0.5  # seconds between collections from the actors
CALL_TIMEOUT = 60.0  # an actor that does not answer a collection within this is given up


class ClusterError(ConnectionError):
    """The cluster cannot be joined, or has no node left to play on."""


def connect(address: str):
    """Imports Ray and joins the cluster at ``address``; one clear error when
    Ray is missing or the cluster cannot be reached."""
    try:
        import ray
    except ImportError:
        raise OptionError('--ray needs Ray: pip install "tarnex_self_play[ray]" (or pip install ray)') from None
    if not ray.is_initialized():
        try:
            ray.init(address=address, logging_level="ERROR", log_to_driver=False, configure_logging=False)
        except Exception as error:  # Ray raises several kinds (ConnectionError, RuntimeError, ...)
            raise ClusterError(f"cannot join the Ray cluster at {address!r}: {error}") from None
    return ray


def _build(evaluator, device, cpus: int):
    """The node's evaluator: a recipe is built for the node's device and
    cores; an evaluator object (tests, custom ones) is used as it is."""
    return evaluator.build(device, cpus) if isinstance(evaluator, EvaluatorRecipe) else evaluator


class _Quiet:
    def message(self, text: str) -> None:
        pass


class NodeRunner:
    """The actor of one node (made a Ray actor by ``RayPool``): plays the
    chunks of games it is given with a local worker pool and keeps each
    finished game until the driver collects it."""

    def __init__(self, role: Callable, worker_options: dict, pool: dict, log_dir: str) -> None:
        self.role = role
        self.worker_options = worker_options
        self.pool = pool
        self.log_dir = log_dir
        self.finished: list = []
        self.lock = threading.Lock()
        self.evaluators: dict = {}
        self.totals = {"evaluations": 0, "batches": 0, "batched": 0, "seconds": 0.0, "cache_hits": 0, "positions": 0}
        self.running = None  # (pool, evaluator, its cache hits and positions when the chunk began)

    def play(self, games: list, spec_key: str, spec) -> dict:
        if spec_key not in self.evaluators:
            self.evaluators = {spec_key: _build(spec, self.pool["device"], self.pool["cpus"])}
        evaluator = self.evaluators[spec_key]
        p = self.pool
        workers = WorkerPool(self.role, p["workers"], len(games), self.worker_options, log_dir=self.log_dir,
                             stall_seconds=p["stall_seconds"],
                             games_per_worker=p["sizing"].games_at_once(games=len(games)))

        def handle(event: WorkerEvent) -> None:
            if event.kind in (Message.DONE, Message.FAILED):
                with self.lock:
                    self.finished.append((games[event.game], event.kind, event.worker, event.payload, event.stats))

        self.running = (workers, evaluator, getattr(evaluator, "cache_hits", 0), getattr(evaluator, "positions", 0))
        try:
            workers.run(evaluator, handle, None, p["batch_size"], p["batch_wait_ms"] / 1000.0, _Quiet(), "")
        finally:
            with self.lock:
                self.totals = self._so_far()
                self.running = None
        return dict(self.totals, fatal=list(workers.fatal))

    def _so_far(self) -> dict:
        """Totals of the finished chunks plus the running one (lock held)."""
        if self.running is None:
            return dict(self.totals)
        workers, evaluator, hits, positions = self.running
        s = workers.stats
        return {"evaluations": self.totals["evaluations"] + s.evaluations,
                "batches": self.totals["batches"] + s.batches,
                "batched": self.totals["batched"] + s.batched,
                "seconds": self.totals["seconds"] + workers.elapsed,
                "cache_hits": self.totals["cache_hits"] + getattr(evaluator, "cache_hits", 0) - hits,
                "positions": self.totals["positions"] + getattr(evaluator, "positions", 0) - positions}

    def collect(self) -> tuple[list, dict]:
        """The games finished since the last call, and the totals so far."""
        with self.lock:
            out, self.finished = self.finished, []
            return out, self._so_far()


class _Node:
    def __init__(self, index: int, node_id: str, actor, name: str, capacity: int) -> None:
        self.index = index
        self.capacity = capacity  # games the node plays at once
        self.node_id = node_id
        self.actor = actor
        self.name = name
        self.chunk: list = []  # games handed out and not yet collected
        self.call = None  # the running play() call
        self.alive = True
        self.games = 0
        self.totals: dict = {}


class RayPool:
    """The cluster counterpart of ``WorkerPool`` for one batch of games:
    ``run`` has the same contract (handler events, tick, Ctrl-C)."""

    def __init__(self, role: Callable, cluster, pool, device, total_games: int, worker_options: dict,
                 log_dir: str | None) -> None:
        self.role = role
        self.cluster = cluster
        self.pool_settings = pool
        self.device = device
        self.total_games = total_games
        self.worker_options = {**worker_options}
        self.log_dir = log_dir or os.path.join(tempfile.gettempdir(), "tarnex-ray-logs")
        self.stats = ServerStats()
        self.fatal: list = []
        self.nodes: list[_Node] = []
        self.abort_reason = None
        self._started = 0.0
        self.cache_hits = 0
        self.network_positions = 0

    @property
    def elapsed(self) -> float:
        return time.perf_counter() - self._started if self._started else 0.0

    def abort(self, reason: str) -> None:
        if self.abort_reason is None:
            self.abort_reason = reason

    # -- set-up -----------------------------------------------------------

    def _start_nodes(self, ray) -> None:
        self.nodes = start_nodes(ray, self.role, self.cluster, self.pool_settings, self.device, self.worker_options,
                                 self.log_dir)

    def _chunk_size(self, node: _Node) -> int:
        """Games per call: what the node plays at once, but small enough
        that every node gets work and faster nodes get more chunks."""
        if self.cluster.games_per_chunk:
            return self.cluster.games_per_chunk
        share = -(-self.total_games // (2 * max(1, sum(n.alive for n in self.nodes))))
        return max(1, min(node.capacity, share))

    # -- running ----------------------------------------------------------

    def run(self, evaluator, handler, tick, max_batch, batch_wait, progress, interrupt_note: str) -> bool:
        ray = connect(self.cluster.ray)
        self._started = time.perf_counter()
        spec_key = uuid.uuid4().hex
        spec_ref = ray.put(evaluator)
        self._start_nodes(ray)
        queue = collections.deque(range(self.total_games))
        passed_on: set = set()
        interrupted = False
        try:
            while (queue or any(n.chunk or n.call for n in self.nodes if n.alive)) and self.abort_reason is None:
                live = [n for n in self.nodes if n.alive]
                if not live:
                    raise ClusterError(f"no Ray node left to play on; {len(queue)} game(s) not played "
                                       f"({len(passed_on)} finished games are kept)")
                for node in live:
                    if node.call is None and queue:
                        node.chunk = [queue.popleft() for _ in range(min(self._chunk_size(node), len(queue)))]
                        node.call = node.actor.play.remote(node.chunk, spec_key, spec_ref)
                calls = [n.call for n in live if n.call is not None]
                done, _ = ray.wait(calls, num_returns=len(calls), timeout=COLLECT_EVERY)
                for node in live:
                    self._collect(ray, node, handler, passed_on, queue, progress,
                                  finished_call=node.call is not None and node.call in done)
                if tick is not None:
                    tick()
        except KeyboardInterrupt:
            interrupted = True
            progress.message(f"interrupted: {interrupt_note}")
            for node in self.nodes:
                if node.alive:
                    self._collect(ray, node, handler, passed_on, None, progress, finished_call=False,
                                  timeout=5.0)
        finally:
            for node in self.nodes:
                try:
                    ray.kill(node.actor)
                except Exception:
                    pass
            self.stats.wall = self.elapsed
        return interrupted

    def _collect(self, ray, node: _Node, handler, passed_on: set, queue, progress, finished_call: bool,
                 timeout: float = CALL_TIMEOUT) -> None:
        from ray.exceptions import GetTimeoutError, RayError

        try:
            totals = ray.get(node.call, timeout=timeout) if finished_call else None
            results, node.totals = ray.get(node.actor.collect.remote(), timeout=timeout)
            self._account()
        except (RayError, GetTimeoutError) as error:
            self._lose(node, error, queue, passed_on, progress, handler)
            return
        for game, kind, worker, payload, stats in results:
            if game in passed_on or game not in node.chunk:
                continue
            passed_on.add(game)
            node.chunk.remove(game)
            if kind == Message.DONE:
                node.games += 1
                if isinstance(payload, dict) and "mover" in payload:
                    payload["node"] = node.name
            handler(WorkerEvent(kind, node.index, game, payload, {**stats, "node": node.name}))
        if totals is not None:
            node.call = None
            for worker, text in totals.get("fatal", []):
                self.fatal.append((node.index, f"node {node.name}, worker {worker}: {text}"))
            if node.chunk:  # games its pool never finished (a worker died): not retried, as locally
                for game in node.chunk:
                    if game not in passed_on:
                        passed_on.add(game)
                        handler(WorkerEvent(Message.FAILED, node.index, game, f"not finished on node {node.name}"))
                node.chunk = []

    def _lose(self, node: _Node, error, queue, passed_on: set, progress, handler) -> None:
        node.alive = False
        lost = [g for g in node.chunk if g not in passed_on]
        node.chunk, node.call = [], None
        detail = str(error).strip().splitlines()
        text = f"node {node.name} lost ({type(error).__name__}{': ' + detail[0][:200] if detail else ''})"
        self.fatal.append((node.index, text))
        if queue is not None:
            queue.extendleft(reversed(lost))
            progress.message(f"{text}: its {len(lost)} unfinished game(s) go to the other nodes")
        else:
            for game in lost:
                passed_on.add(game)
                handler(WorkerEvent(Message.FAILED, node.index, game, text))

    def _account(self) -> None:
        self.cache_hits, self.network_positions = _add_up(self.stats, self.nodes)

    def node_lines(self) -> list[str]:
        return node_lines(self.nodes)


def _add_up(stats: ServerStats, nodes) -> tuple[int, int]:
    """Puts the nodes' request counts into ``stats``; returns their cache
    hits and network positions."""
    stats.evaluations = sum(n.totals.get("evaluations", 0) for n in nodes)
    stats.batches = sum(n.totals.get("batches", 0) for n in nodes)
    stats.batched = sum(n.totals.get("batched", 0) for n in nodes)
    return sum(n.totals.get("cache_hits", 0) for n in nodes), sum(n.totals.get("positions", 0) for n in nodes)


def node_lines(nodes) -> list[str]:
    """Per node: games, games/s and requests/s over its playing time."""
    lines = []
    for node in nodes:
        seconds = node.totals.get("seconds", 0.0)
        evaluations = node.totals.get("evaluations", 0)
        rate = f"{node.games / seconds:.2f} games/s, {evaluations / seconds:.0f} requests/s" if seconds else "-"
        state = "" if node.alive else " (lost)"
        lines.append(f"node {node.name}{state}: {node.games} games, {evaluations} requests, {rate}")
    return lines


def start_nodes(ray, role, cluster, p, device_settings, worker_options, log_dir) -> list:
    """One actor per live node, pinned to it, sized by the node's CPUs and GPUs."""
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    nodes: list = []
    actor_class = ray.remote(NodeRunner)
    for node in sorted((n for n in ray.nodes() if n.get("Alive")), key=lambda n: n["NodeID"]):
        resources = node.get("Resources", {})
        cpus = int(resources.get("CPU", 1))
        gpu = device_settings.device.startswith("cuda") and resources.get("GPU", 0) >= 1
        workers = p.processes(max(1, int(cpus * cluster.node_share)))
        # The node sizes each chunk by the same rule as a local run.
        sizing = PoolSettings(workers=workers, games_per_worker=p.games_per_worker, batch_size=p.batch_size)
        device = device_settings if gpu else DeviceSettings(device="cpu", torch_threads=device_settings.torch_threads)
        settings = {"workers": workers, "sizing": sizing, "device": device, "cpus": cpus,
                    "stall_seconds": p.stall_seconds,
                    "batch_size": p.batch_size, "batch_wait_ms": p.batch_wait_ms}
        actor = actor_class.options(
            num_cpus=0, num_gpus=1 if gpu else 0, max_concurrency=4, max_restarts=0,
            scheduling_strategy=NodeAffinitySchedulingStrategy(node["NodeID"], soft=False),
        ).remote(role, worker_options, settings, os.path.join(log_dir, node["NodeID"][:12]))
        name = f"{node.get('NodeManagerAddress', '?')}/{node['NodeID'][:8]}"
        nodes.append(_Node(len(nodes), node["NodeID"], actor, name, workers * sizing.games_at_once()))
    if not nodes:
        raise ClusterError("the Ray cluster has no live node")
    return nodes
