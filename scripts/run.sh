#!/usr/bin/env bash
# The main job from a fresh machine: sets up (scripts/setup.sh, CPython only),
# then runs a short learning loop on the CPU for about 8 minutes: generations
# of self-play, training on the window of newest positions, and strength
# tests against three random seats and, seats rotated, against three greedy
# seats and the previous generation; in the run folder out/run (OUT=folder to
# change it, MINUTES=8 for the budget; run it again to resume or extend).
# Look at out/run/progress.png, or browse it with the printed view command.
set -euo pipefail
cd "$(dirname "$0")/.."
TARNEX_SKIP_PYPY=1 bash scripts/setup.sh

out=${OUT:-out/run}
.venv/bin/tarnex-train loop --run "$out" --minutes "${MINUTES:-8}" \
  --strength-games 100 --greedy-games 40 --previous-games 40 --calibration-games 200 --ladder-every 0
echo "== progress picture: $out/progress.png; metrics: $out/metrics.jsonl; newest network: $out/best.pt"
echo "== rate the generations: .venv/bin/tarnex-train ladder --run $out"
echo "== to look at the run and its games, or play against its network, in a browser:"
echo "   .venv/bin/tarnex-train view --run $out"
