"""Self-play pipeline throughput: requests answered per second, network
positions per second, mean batch and cache hit rate, for the zero-cost
evaluator and for the default network on the CPU, in games the engine's
search plays in all four seats (the pipeline's heaviest load).

    .venv/bin/python benchmarks/pipeline_bench.py --games 16 --sims-per-move 32

Each configuration runs ``--repeats`` times back to back; the median is
reported (the machine may be shared and noisy).
"""

from __future__ import annotations

import argparse
import statistics
import tempfile

from tarnex_train.play.selfplay import run_selfplay
from tarnex_train.settings import NetworkShape, SearchConfig, SelfPlayOptions


def measure(evaluator: str, games: int, sims: int, workers: int, per_worker: int, cache_mb: float,
            shape: NetworkShape, considered: int) -> dict:
    with tempfile.TemporaryDirectory() as output:
        options = SelfPlayOptions.make(games=games, workers=workers, games_per_worker=per_worker, output=output,
                                  evaluator=evaluator,
                                  search=SearchConfig(sims_per_move=sims, player="search", teacher="none",
                                                      reference_seats=0.0, considered=considered),
                                  cache_mb=cache_mb, quiet=True,
                                  games_per_shard=max(1, games), shape=shape)
        summary = run_selfplay(options, stream=open("/dev/null", "w"))
    return {
        "requests/s": summary.evaluations_per_second,
        "positions/s": summary.network_positions_per_second,
        "mean batch": summary.server.mean_batch,
        "cache hits": summary.cache_hit_rate,
        "seconds": summary.server.wall,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--sims-per-move", type=int, default=32)
    parser.add_argument("--workers", type=int, default=0, help="worker processes (0: one per core)")
    parser.add_argument("--games-per-worker", type=int, default=0, help="games at once per worker (0: auto)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cache-mb", type=float, default=256.0)
    parser.add_argument("--evaluators", nargs="+", default=["zero", "network"])
    parser.add_argument("--placement-inputs", action=argparse.BooleanOptionalAction, default=True,
                        help="the network's placement planes (the default network has them)")
    parser.add_argument("--considered", type=int, default=SearchConfig().considered,
                        help="children the root's halving starts from (0: PUCT at the root)")
    args = parser.parse_args()
    for evaluator in args.evaluators:
        shape = NetworkShape(placement_inputs=args.placement_inputs)
        runs = [measure(evaluator, args.games, args.sims_per_move, args.workers, args.games_per_worker, args.cache_mb,
                        shape, args.considered) for _ in range(args.repeats)]
        medians = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
        print(f"{evaluator:8s} " + "  ".join(
            f"{key} {value:.3f}" if key == "cache hits" else f"{key} {value:,.1f}" for key, value in medians.items()),
            flush=True)


if __name__ == "__main__":
    main()
