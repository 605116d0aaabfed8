#!/usr/bin/env bash
# Builds and installs the module into .venv-tour, then runs the tour. That environment holds the
# module and what building it takes, nothing else.
export TORVANE_VENV="${TORVANE_VENV:-$(cd "$(dirname "$0")/.." && pwd)/.venv-tour}"
export TORVANE_GROUPS=build
source "$(dirname "$0")/venv.sh"
python -m pip install --quiet --no-build-isolation --no-deps . -C cmake.define.TORVANE_WERROR=ON -C build-dir=build/tour
python examples/tour.py
