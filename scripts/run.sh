#!/usr/bin/env bash
# The main job from a fresh machine: sets up (scripts/setup.sh, CPython only),
# then on the CPU a short self-play run with a freshly initialised network,
# a few training steps on its records, and a short arena of the trained
# network against a fresh one. About two minutes on a 2-core machine once
# set up. Output goes to out/run/ (OUT=folder to change it).
set -euo pipefail
cd "$(dirname "$0")/.."
TARNEX_SKIP_PYPY=1 bash scripts/setup.sh

out=${OUT:-out/run}
bin=.venv/bin
echo "== self-play: 4 games, 16 simulations per tile, fresh network"
"$bin/tarnex-train" selfplay --games 4 --workers 4 --sims-per-move 16 --games-per-shard 2 \
  --output "$out/data" --seed 1
echo "== training: 40 steps on those records"
"$bin/tarnex-train" train --data "$out/data" --steps 40 --batch-size 128 --output "$out/model.pt" --seed 1
echo "== arena: the trained network (seat 0) against a fresh one, 16 games"
"$bin/tarnex-train" arena --model "$out/model.pt" --games 16 --workers 4 --seed 1 --show-board
