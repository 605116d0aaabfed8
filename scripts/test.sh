#!/usr/bin/env bash
# Builds and installs the module with its test hooks into .venv, then runs every test.
# Python 3.12 by default; `--python 3.13` first, or TORVANE_PYTHON=3.13 in the environment, runs
# the same suite on Python 3.13 (in .venv-3.13). Other arguments go to pytest.
if [ "${1:-}" = --python ]; then
  export TORVANE_PYTHON="${2:?--python needs a version: 3.12 or 3.13}"
  shift 2
fi
export TORVANE_GROUPS=test
source "$(dirname "$0")/venv.sh"
python -m pip install --quiet --no-build-isolation --no-deps . -C cmake.define.TORVANE_WERROR=ON \
  -C build-dir="build/test-$minor" -C cmake.define.TORVANE_TEST_HOOKS=ON
# The hooks were just built: a test that cannot import them fails here instead of skipping.
export TORVANE_REQUIRE_HOOKS=1
# From the tests folder, so the installed module is imported, never the source tree.
python -m pytest "$@"
