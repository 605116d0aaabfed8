#!/usr/bin/env bash
# usage: scripts/test.sh [--python MINOR] [--arch i386] [--coverage] [PYTEST ARGUMENTS...]
#
# Builds the module with its test hooks, installs it into a virtual environment (.venv, made
# once and reused) and runs every test. The reference Python (.python-version's) by default;
# `--python 3.14` runs the same suite on another of platforms.tsv's Pythons, in .venv-3.14, and
# facts.tsv's debug build (3.14d) is one more. A Python this machine lacks comes from a Debian
# root (scripts/sid-root.sh). `--arch i386 --python 3.14` builds and tests in the 32-bit x86
# root, with its g++.
#
# With TORVANE_WHEELHOUSE naming a folder of release wheels (scripts/wheels.sh), the module is
# instead that folder's wheel for this Python and this machine, installed into a fresh
# environment (.venv-wheel), with the test hooks built with that wheel (build/test-hooks), by
# the same compiler and flags from the same core objects: every test, the hooks' too, runs the
# shipped code.
#
# --coverage builds the coverage variant instead (gcov's line and branch counters, in
# build/coverage-VERSION), runs the suite on it, child processes included, then reports the
# coverage of torvane_core/src and fails unless every line and branch is covered or excluded
# with its reason (tools/coverage_gate.py; the report is kept in build/coverage).
venv_name=.venv venv_groups=test venv_fresh=""
house="${TORVANE_WHEELHOUSE:-}"
[ -z "$house" ] || venv_name=.venv-wheel venv_fresh=1
source "$(dirname "$0")/venv.sh"
coverage=""
[ "${1:-}" != --coverage ] || { coverage="build/coverage-$minor${arch:+-$arch}"; shift; }

if [ -n "$coverage" ]; then
  [ -z "$house" ] || { echo "--coverage builds from source: leave TORVANE_WHEELHOUSE unset" >&2; exit 1; }
  # The report's tools on the interpreter itself, or on a debug build's release twin, for which
  # they have builds.
  report_python=python
  if [[ "$minor" == *d ]]; then
    report_python="$root/.venv-coverage-$minor/bin/python"
    [ -x "$report_python" ] || "python${minor%d}" -m venv "$root/.venv-coverage-$minor"
  fi
  step "installing the coverage report's tools" \
    "$report_python" -m pip install --progress-bar off --group coverage
  variant coverage
  # Counters of an earlier run would count as this one's.
  find "$coverage" -name '*.gcda' -delete 2>/dev/null || true
  step "building the module and its test hooks with coverage counters for Python $minor" \
    python -m pip install -v --no-build-isolation --no-deps . -C build-dir="$coverage" "${variant_args[@]}"
  # Every interpreter of the run, the children too, writes its counters however it ends.
  LD_PRELOAD="$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/libtorvane_gcov_exit.so${LD_PRELOAD:+:$LD_PRELOAD}"
  export LD_PRELOAD
  # The tests that check the library's exports allow gcov's one shared symbol.
  export TORVANE_COVERAGE=1
elif [ -z "$house" ]; then
  variant hooks
  step "building the module and its test hooks for Python $minor" \
    python -m pip install -v --no-build-isolation --no-deps . \
    -C build-dir="build/test-$minor${arch:+-$arch}" "${variant_args[@]}"
else
  tag="$(python -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  wheels=("$house"/orvantis_torvane_core-*-"$tag-$tag"-*"$(uname -m)".whl)
  [ -f "${wheels[0]}" ] || { echo "no $tag wheel for $(uname -m) in $house" >&2; exit 1; }
  step "installing the release wheel $(basename "${wheels[0]}")" \
    python -m pip install --no-deps "${wheels[0]}"
  hooks="build/test-hooks/$tag-$(uname -m)"
  if [ "$(cat "$hooks/wheel.sha256" 2>/dev/null)" != "$(sha256sum "${wheels[0]}" | cut -d' ' -f1)" ]; then
    echo "the test hooks in $hooks were not built with $(basename "${wheels[0]}"): run scripts/wheels.sh" >&2
    exit 1
  fi
  echo "== the test hooks built with that wheel, from $hooks"
  cp "$hooks"/_torvane_testhooks.*.so "$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
fi

# The hooks were just built: a test that cannot import them fails here instead of skipping.
export TORVANE_REQUIRE_HOOKS=1
echo "== running the tests on Python $minor ($(python -c 'import sys; print(sys.version.split()[0])'))"
# The source checks need the checkers, which venv.sh installs for this machine's own
# architecture only; they read the same sources everywhere.
checks=()
[ -z "$arch" ] || checks=(--ignore=tests/test_style.py --ignore=tests/test_typing.py)
if [ -z "$coverage" ]; then
  exec python -m pytest "${checks[@]}" "$@"
fi
# The report and the gate also after a failed test; the gate fails the run for the suite too.
status=0
python -m pytest "${checks[@]}" "$@" || status=$?
unset LD_PRELOAD
echo "== the coverage of torvane_core/src (report: build/coverage)"
exec "$report_python" tools/coverage_gate.py "$coverage" build/coverage "$status"
