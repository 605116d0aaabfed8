#!/usr/bin/env bash
# usage: scripts/tour.sh
#
# Builds and installs the module into .venv-tour, then runs the tour. That environment holds the
# module and what building it takes, nothing else.
venv_name=.venv-tour venv_groups=build
source "$(dirname "$0")/venv.sh"
variant werror
step "building the module for the tour" python -m pip install -v --no-build-isolation --no-deps . \
  -C build-dir=build/tour "${variant_args[@]}"
echo "== the tour (examples/tour.py)"
python examples/tour.py
