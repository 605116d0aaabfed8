#!/usr/bin/env bash
# Builds and installs the module with its test hooks into .venv, then runs every test.
# Extra arguments go to pytest.
export TORVANE_GROUPS=test
source "$(dirname "$0")/venv.sh"
python -m pip install --quiet --no-build-isolation --no-deps . \
  -C build-dir=build/test -C cmake.define.TORVANE_TEST_HOOKS=ON
# The hooks were just built: a test that cannot import them fails here instead of skipping.
export TORVANE_REQUIRE_HOOKS=1
# From the tests folder, so the installed module is imported, never the source tree.
python -m pytest "$@"
