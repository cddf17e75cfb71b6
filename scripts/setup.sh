#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the
# compilers' libraries for tests and benchmarks, PyPy, and one virtual
# environment per interpreter with the package built into it.
#   .venv      CPython: the package with its training tools (torch, numpy, greenlet, ONNX Runtime, TensorBoard,
#              to which the loop writes RUN/tensorboard/), the view's server (Starlette, uvicorn) and test
#              tools (pytest, Selenium driving Debian's chromium)
#   .venv-pypy PyPy:    the package and test tools
set -euo pipefail
cd "$(dirname "$0")/.."

need=(cmake ninja-build g++ libgtest-dev libbenchmark-dev pypy3 pypy3-dev pypy3-venv python3-venv chromium chromium-driver)
missing=()
for pkg in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/pip install -q --upgrade pip
# torch 2.13.0 is a CPU build on this machine's local disk; a looser pin
# would pull a multi-gigabyte CUDA build.
.venv/bin/pip install -q "torch==2.13.0" numpy matplotlib greenlet onnx onnxruntime tensorboard pytest hypothesis "ray>=2.9" \
  starlette uvicorn selenium
.venv/bin/pip install -q .

if [ "${TARNEX_SKIP_PYPY:-0}" != 1 ]; then
  [ -x .venv-pypy/bin/python ] || pypy3 -m venv .venv-pypy
  .venv-pypy/bin/pip install -q --upgrade pip
  .venv-pypy/bin/pip install -q pytest hypothesis
  .venv-pypy/bin/pip install -q .
fi
