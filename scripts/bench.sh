#!/usr/bin/env bash
# Builds and installs the module with the benchmark floors (_torvane_benchfloors) into .venv,
# then runs the benchmarks and prints their tables. Extra arguments go to the harness:
# --quick for a short smoke run.
# A virtual environment of its own, so that a benchmark run never swaps the module under the tests.
export TORVANE_VENV="${TORVANE_VENV:-$(cd "$(dirname "$0")/.." && pwd)/.venv-bench}"
export TORVANE_GROUPS=build
source "$(dirname "$0")/venv.sh"
python -m pip install --quiet --no-build-isolation --no-deps . -C cmake.define.TORVANE_WERROR=ON \
  -C build-dir=build/bench -C cmake.define.TORVANE_BENCH=ON
python -m bench "$@"
