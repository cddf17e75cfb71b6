"""Self-play on a two-node Ray cluster started on this machine: the
per-node figures of a normal run, then a run that loses one node midway and
the game counts of what it wrote.

On a machine whose Ray would otherwise pick its outward address, run it in
a loopback-only network namespace (as root):

    ip netns add tarnex-bench && ip netns exec tarnex-bench ip link set lo up
    ip netns exec tarnex-bench .venv/bin/python benchmarks/cluster_bench.py --games 32
    ip netns delete tarnex-bench
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=32)
    parser.add_argument("--sims-per-move", type=int, default=16)
    parser.add_argument("--cpus-per-node", type=int, default=1)
    args = parser.parse_args()

    import ray
    from ray.cluster_utils import Cluster

    from tarnex_train.data.shards import read_metadata, read_shard, shard_paths

    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": args.cpus_per_node,
                                                             "node_ip_address": "127.0.0.1"})
    worker = cluster.add_node(num_cpus=args.cpus_per_node, node_ip_address="127.0.0.1")
    cluster.wait_for_nodes()
    command = [sys.executable, "-m", "tarnex_train.cli", "selfplay", "--ray", cluster.address,
               "--games", str(args.games), "--sims-per-move", str(args.sims_per_move), "--games-per-shard", "1",
               "--quiet"]
    try:
        with tempfile.TemporaryDirectory() as folder:
            print("== two nodes:", " ".join(command[2:]), "--output", folder, flush=True)
            subprocess.run(command + ["--output", folder], check=True)
        with tempfile.TemporaryDirectory() as folder:
            def remove_midway():
                while True:
                    try:
                        if read_metadata(folder)["games"] >= args.games // 4:
                            break
                    except Exception:
                        pass
                    time.sleep(0.2)
                print(f"== removing node {worker.node_id[:8]} after {read_metadata(folder)['games']} games written",
                      flush=True)
                cluster.remove_node(worker)

            remover = threading.Thread(target=remove_midway, daemon=True)
            remover.start()
            print("== one node removed midway:", " ".join(command[2:]), "--output", folder, flush=True)
            subprocess.run(command + ["--output", folder], check=False)
            numbers = np.concatenate([read_shard(p)["game_numbers"] for p in shard_paths(folder)])
            nodes = np.concatenate([read_shard(p)["game_nodes"] for p in shard_paths(folder)])
            print(f"games written {len(numbers)}, distinct game numbers {len(np.unique(numbers))}, missing "
                  f"{sorted(set(range(args.games)) - set(numbers.tolist()))}; per node "
                  + ", ".join(f"{n}: {int((nodes == n).sum())}" for n in np.unique(nodes)))
    finally:
        ray.shutdown()
        cluster.shutdown()


if __name__ == "__main__":
    main()
