#!/usr/bin/env bash
# The main job from a fresh machine: sets up (scripts/setup.sh, CPython only),
# then runs a short learning loop on the CPU: three generations of self-play,
# training on the window of newest positions and strength tests, in the run
# folder out/run (OUT=folder to change it; run it again to resume or extend).
# A few minutes on a 2-core machine once set up. Look at out/run/progress.png, or
# at the run in a browser with the view command it prints at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
TARNEX_SKIP_PYPY=1 bash scripts/setup.sh

out=${OUT:-out/run}
.venv/bin/tarnex-train loop --run "$out" --generations "${GENERATIONS:-3}" \
  --games-per-generation 16 --strength-games 40 --previous-games 20 --calibration-games 100
echo "== progress picture: $out/progress.png; metrics: $out/metrics.jsonl; newest network: $out/best.pt"
echo "== to look at the run and its games, or play against its network, in a browser:"
echo "   .venv/bin/tarnex-train view --run $out"
