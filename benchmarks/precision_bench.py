"""The network's inference forms in each precision: agreement with float32
on positions of real games, and microseconds a position at batch 16 and 64.

    .venv/bin/python benchmarks/precision_bench.py --checkpoint RUN/gen-0002/network.pt \
        --data RUN/gen-0003/data --threads 1 --repeats 7

The positions are those of the data folders (shards of self-play, held out
from the network's training), else those of the agreement check's
reference games. Each repeat times every form once, back to back, over the
same positions; the median of the repeats is reported (the machine may be
shared and noisy). The times are the forms' own, side inputs given.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import torch

from tarnex_train.inference.forms import InferenceNet
from tarnex_train.inference.precision import _inputs, agreement, check_positions
from tarnex_train.data.shards import shard_paths
from tarnex_train.model.checkpoints import network_from
from tarnex_train.settings import NetworkShape


def data_positions(folders: list[str], count: int) -> np.ndarray:
    shards = shard_paths(folders)
    planes = np.concatenate([np.load(shard)["planes"] for shard in shards])
    pick = np.random.default_rng(0).choice(len(planes), min(count, len(planes)), replace=False)
    return np.ascontiguousarray(planes[np.sort(pick)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--checkpoint", help="network to measure (default: a fresh default network)")
    parser.add_argument("--data", nargs="*", default=[], help="data folders of positions (default: the check's)")
    parser.add_argument("--positions", type=int, default=1024, help="positions drawn from the data folders")
    parser.add_argument("--precisions", nargs="+", default=["float32", "bfloat16", "int8"])
    parser.add_argument("--batches", nargs="+", type=int, default=[16, 64])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--timed", type=int, default=256, help="positions of each timed pass")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    net, text, _ = network_from(args.checkpoint, NetworkShape(), seed=0)
    planes = data_positions(args.data, args.positions) if args.data else check_positions()
    print(f"{text}; {len(planes)} positions of {'the data' if args.data else 'the reference games'}; "
          f"{args.threads} thread(s)")
    forms = {name: InferenceNet(net, "cpu", name) for name in args.precisions}
    reference = forms.get("float32") or InferenceNet(net, "cpu")
    for name, form in forms.items():
        measured = agreement(form.predict, reference.predict, planes, net.shape)
        print(f"{name:9s} ({form.precision}, {form.backend}): {measured}")
    for batch in args.batches:
        timed = planes[np.arange(args.timed) % len(planes)]
        batches = [_inputs(timed[start:start + batch], net.shape) for start in range(0, len(timed), batch)]
        seconds: dict[str, list[float]] = {name: [] for name in forms}
        for _ in range(args.repeats):
            for name, form in forms.items():
                form.predict(*batches[0])  # warm
                began = time.perf_counter()
                for inputs in batches:
                    form.predict(*inputs)
                seconds[name].append((time.perf_counter() - began) / len(timed))
        base = statistics.median(seconds[next(iter(forms))])
        for name, runs in seconds.items():
            median = statistics.median(runs)
            print(f"batch {batch:3d} {name:9s} {median * 1e6:7.1f} us/position (min {min(runs) * 1e6:.1f}, "
                  f"{base / median:.2f}x the first)", flush=True)


if __name__ == "__main__":
    main()
