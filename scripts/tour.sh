#!/usr/bin/env bash
# Builds and installs the module into .venv, then runs the tour.
source "$(dirname "$0")/venv.sh"
python -m pip install --quiet --no-build-isolation --no-deps . -C build-dir=build/tour
python examples/tour.py
