#!/usr/bin/env bash
# Sets up (scripts/setup.sh) and runs every test: the C++ tests in a release
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer debug build,
# then the Python tests of the module under CPython and PyPy and of the
# training tools under CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${JOBS:-2}
echo "== C++ tests (release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARNEX_BUILD_TESTS=ON -DTARNEX_BUILD_BENCHMARKS=ON -DTARNEX_BUILD_MODULE=OFF >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== C++ tests (debug, ASan + UBSan)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNEX_SANITIZE=ON \
  -DTARNEX_BUILD_TESTS=ON -DTARNEX_BUILD_BENCHMARKS=OFF -DTARNEX_BUILD_MODULE=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

# The Python tests import the installed package, not the source tree.
echo "== Python tests (CPython)"
(cd /tmp && "$OLDPWD/.venv/bin/python" -m pytest -q -p no:cacheprovider "$OLDPWD/self_play/tests/python" "$OLDPWD/tarnex_train/tests")
if [ "${TARNEX_SKIP_PYPY:-0}" != 1 ]; then
  echo "== Python tests (PyPy)"
  (cd /tmp && "$OLDPWD/.venv-pypy/bin/python" -m pytest -q -p no:cacheprovider "$OLDPWD/self_play/tests/python")
fi
echo "== all tests passed"
