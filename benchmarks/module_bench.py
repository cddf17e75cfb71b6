"""Times play_training_game per simulation with an in-process evaluator.

The evaluator is as cheap as Python allows: `put` stores the request, `recv`
returns one fixed reply. Each callback times its own body, so every round
trip splits into
  - inside the callbacks: the Python bodies of put and recv;
  - the module's own work: everything else (calling put and recv, building the
    request, reading the reply, the search itself).
The module's share is further split at the callbacks' edges:
  - put -> recv: between leaving put and entering recv (the module looks up
    and calls recv);
  - recv -> put: between leaving recv and entering the next put (reading the
    reply, expanding the node, the search's walk and copies, building the
    next request).

Run it with each interpreter on an installed module, from outside the
source tree, for example:
    cd /tmp && python3 /path/to/benchmarks/module_bench.py
    cd /tmp && pypy3 /path/to/benchmarks/module_bench.py --games 3
"""

import argparse
import platform
import sys
import time
import types

import tarnex_self_play


def fixed_reply():
    # Positive everywhere, varying so that priors differ between tiles.
    policy = [1.0 + ((i * 37) % 101) / 101.0 for i in range(400)]
    values = [0.4, 0.3, 0.2, 0.1]
    return (policy, values)


class TimedQueue:
    def __init__(self, clock):
        self.clock = clock
        self.request = None
        self.calls = 0
        self.inside = 0.0
        self.left_at = None  # when put last returned
        self.recv_to_put = 0.0
        self.pipe = None

    def put(self, request):
        start = self.clock()
        if self.pipe.left_at is not None:
            self.recv_to_put += start - self.pipe.left_at
            self.pipe.left_at = None
        # The previous request is freed after the clock stops: freeing what
        # the module built counts as the module's work.
        previous = self.request
        self.request = request
        self.calls += 1
        end = self.clock()
        self.inside += end - start
        self.left_at = end
        del previous


class TimedPipe:
    def __init__(self, clock, reply, queue):
        self.clock = clock
        self.reply = reply
        self.queue = queue
        self.inside = 0.0
        self.left_at = None
        self.put_to_recv = 0.0

    def recv(self):
        start = self.clock()
        self.put_to_recv += start - self.queue.left_at
        reply = self.reply
        end = self.clock()
        self.inside += end - start
        self.left_at = end
        return reply


def run(games, sims, sample_moves, clock):
    config = types.SimpleNamespace(
        sims_per_move=sims,
        sample_moves=sample_moves,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.25,
    )
    reply = fixed_reply()
    totals = dict(wall=0.0, evals=0, sims=0, moves=0, inside=0.0, put_to_recv=0.0, recv_to_put=0.0)
    for _ in range(games):
        queue = TimedQueue(clock)
        pipe = TimedPipe(clock, reply, queue)
        queue.pipe = pipe
        start = clock()
        history, policies, payoff = tarnex_self_play.play_training_game(0, config, queue, pipe)
        totals["wall"] += clock() - start
        totals["evals"] += queue.calls
        totals["moves"] += len(history)
        totals["sims"] += len(history) * sims
        totals["inside"] += queue.inside + pipe.inside
        totals["put_to_recv"] += pipe.put_to_recv
        totals["recv_to_put"] += queue.recv_to_put
    return totals


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=3, help="measured games (default 3)")
    parser.add_argument("--warmup", type=int, default=1, help="unmeasured games first, for the JIT (default 1)")
    parser.add_argument("--sims", type=int, default=100, help="sims_per_move (default 100)")
    parser.add_argument("--sample-moves", type=int, default=30, help="sample_moves (default 30)")
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                        help="wall: time.perf_counter; cpu: this thread's CPU time (time.thread_time), "
                             "steadier on a busy machine but dearer to read (default wall)")
    args = parser.parse_args()
    clock = time.perf_counter if args.clock == "wall" else time.thread_time

    if args.warmup:
        run(args.warmup, args.sims, args.sample_moves, clock)
    t = run(args.games, args.sims, args.sample_moves, clock)
    us = 1e6
    evals = t["evals"]
    own = t["wall"] - t["inside"]
    print(f"interpreter: {platform.python_implementation()} {platform.python_version()} "
          f"({sys.implementation.name} {'.'.join(map(str, sys.implementation.version[:3]))})")
    print(f"games {args.games}, sims_per_move {args.sims}: {t['moves']} moves, {t['sims']} simulations, "
          f"{evals} evaluations, {t['wall']:.2f} s ({args.clock} clock)")
    print(f"per simulation:                 {t['wall'] / t['sims'] * us:8.2f} us   "
          f"({t['sims'] / t['wall']:,.0f} simulations/s)")
    print(f"per evaluation:                 {t['wall'] / evals * us:8.2f} us")
    print(f"  inside put and recv bodies:   {t['inside'] / evals * us:8.2f} us")
    print(f"  module's own share:           {own / evals * us:8.2f} us")
    print(f"    put -> recv (recv call):    {t['put_to_recv'] / evals * us:8.2f} us")
    print(f"    recv -> put (reply, search, request): {t['recv_to_put'] / evals * us:8.2f} us")


if __name__ == "__main__":
    main()
