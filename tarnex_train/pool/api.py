"""What every worker pool offers (the pool of this machine, ``local``, or
the nodes of a Ray cluster, ``cluster``; ``factory`` picks one).

A pool plays ``total_games`` games numbered 0 up, and reports each one
through the handler as a ``WorkerEvent``; ``run`` returns whether it was
interrupted (Ctrl-C)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Protocol, runtime_checkable

from .protocol import Message


@dataclass
class ServerStats:
    wall: float = 0.0
    waiting: float = 0.0  # nothing to read
    receive: float = 0.0  # reading and unpickling messages (requests and control)
    send: float = 0.0  # writing replies
    evaluate: float = 0.0  # the evaluator (cache, network, encoding)
    handle: float = 0.0  # reading and handling workers' control messages (game results)
    evaluations: int = 0  # requests answered
    batches: int = 0  # evaluator runs
    batched: int = 0  # requests in them (the rest were answered at once)

    @property
    def mean_batch(self) -> float:
        return self.batched / self.batches if self.batches else 0.0


@dataclass
class WorkerEvent:
    kind: Message  # START, DONE or FAILED
    worker: int
    game: int
    payload: object = None  # the result of a finished game, or the error text
    stats: dict = field(default_factory=dict)


class Pool(Protocol):
    stats: ServerStats
    fatal: list

    @property
    def elapsed(self) -> float: ...

    def abort(self, reason: str) -> None: ...

    def run(self, evaluator, handler: Callable[[WorkerEvent], None], tick, max_batch: int, batch_wait: float,
            progress, interrupt_note: str) -> bool: ...


@runtime_checkable
class EvaluatorRecipe(Protocol):
    """What a pool may be given instead of an evaluator: plain data that
    makes one where the games run (each node of a cluster, for its own
    device and cores). The pool calls ``build``; it does not know the kind."""

    def build(self, device, cpus: int | None = None): ...
