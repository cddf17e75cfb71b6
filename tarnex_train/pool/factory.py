"""The pool a run asks for: the worker pool of this machine, or the nodes
of a Ray cluster. Above both, so that neither has to know the other's
chooser."""

from __future__ import annotations

from typing import Callable

from .api import Pool


def make_pool(role: Callable, options, games: int, worker_options: dict, log_dir, workers=None) -> Pool:
    """The worker pool of this machine, or the nodes of a Ray cluster, each
    slot playing the games ``role`` makes (see ``worker.run_worker``).
    ``options`` holds the ``pool``, ``device`` and ``cluster`` groups;
    ``workers``, this machine's worker processes (``local.Workers``) to play
    on and leave running, where the caller keeps them for several jobs."""
    if options.cluster.ray:
        from .cluster import RayPool

        return RayPool(role, options.cluster, options.pool, options.device, games, worker_options, log_dir)
    from .local import WorkerPool

    return WorkerPool(role, workers or options.pool.processes(), games, worker_options, log_dir=log_dir,
                      stall_seconds=options.pool.stall_seconds,
                      games_per_worker=options.pool.games_at_once(games=games))
