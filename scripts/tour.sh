#!/usr/bin/env bash
# usage: scripts/tour.sh
#
# Builds and installs the module into .venv-tour, then runs the tour. That environment holds the
# module and what building it takes, nothing else.
export TORVANE_VENV="${TORVANE_VENV:-$(cd "$(dirname "$0")/.." && pwd)/.venv-tour}"
export TORVANE_GROUPS=build
source "$(dirname "$0")/venv.sh"
step "building the module for the tour" python -m pip install -v --no-build-isolation --no-deps . \
  -C build-dir=build/tour -C cmake.define.TORVANE_WERROR=ON
echo "== the tour (examples/tour.py)"
python examples/tour.py
