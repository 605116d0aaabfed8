#!/usr/bin/env bash
# Builds and installs the module with the benchmark floors (_torvane_benchfloors), then runs the
# benchmarks and prints their tables.
#
#   scripts/bench.sh [--python MINOR] [--wheel WHEEL] [--count CASE] [harness args]
#   scripts/bench.sh --check-counts | --record-counts
#
# --python runs on that Python (one of platforms.tsv's); one this machine lacks is taken from
# the Debian root of scripts/sid-root.sh, whose g++ then builds both extensions. --wheel benchmarks the module of a
# portable wheel (scripts/wheels.sh) instead of one built here: the wheel's Python is the one its
# tag names, and the floors are built from source with the wheel's own toolchain
# (tools/zig/toolchain.cmake, Release), so that both sides of every ratio come from the same
# compiler and C++ library. The zig is TORVANE_ZIG, or else the ziglang of
# requirements-wheels.txt, installed into the benchmark environment. A Windows x64 wheel
# (win_amd64) runs on python.org's interpreter under Wine, with floors built by the Windows
# wheels' toolchain: scripts/windows.sh --bench.
# --count CASE counts instructions per call of one case under callgrind (python -m
# bench.instructions) instead of timing; the extensions are installed unstripped for that.
# --check-counts counts the instructions per call of every entry point (ours) under callgrind,
# all in one run of about 10 s, and fails when one has grown more than 5 % over its count in
# bench/instructions.json; --record-counts writes that file. The recorded counts hold for the
# build they were taken on, the reference Python's built here with g++: on another the check
# fails and says so.
# Other arguments go to the harness (--quick for a short smoke run) or, with --count and the
# counts, to bench.instructions.
set -euo pipefail
count=""
counts=""
wheel=""
py_minor=""
while [ $# -gt 0 ]; do
  case "$1" in
    --python) py_minor="${2:?--python needs a version, one of those in platforms.tsv}"; shift 2 ;;
    --wheel) wheel="$(cd "$(dirname "${2:?--wheel needs a wheel file}")" && pwd)/$(basename "$2")"; shift 2 ;;
    --count) count="${2:?--count needs a case name, as the table shows it}"; shift 2 ;;
    --check-counts) counts=--check; shift ;;
    --record-counts) counts=--record; shift ;;
    *) break ;;
  esac
done
if [[ "$wheel" == *-win_amd64.whl ]]; then
  if [ -n "$count$counts$py_minor" ]; then
    echo "a Windows wheel is timed only: callgrind and --python do not apply under Wine" >&2
    exit 2
  fi
  exec "$(dirname "$0")/windows.sh" --bench "$wheel" "$@"
fi
if [ -n "$wheel" ]; then
  [ -f "$wheel" ] || { echo "no wheel at $wheel" >&2; exit 2; }
  # cp312 in the wheel's name: Python 3.12.
  tag="$(basename "$wheel" | sed -nE 's/^[^-]+-[^-]+-cp3([0-9]+)-.*\.whl$/\1/p')"
  [ -n "$tag" ] || { echo "cannot read the Python of $wheel from its name" >&2; exit 2; }
  if [ -n "$py_minor" ] && [ "$py_minor" != "3.$tag" ]; then
    echo "the wheel is for Python 3.$tag, not $py_minor" >&2
    exit 2
  fi
  py_minor="3.$tag"
fi
# An environment of its own (one for the wheels, another for builds from source), so that a
# benchmark run never swaps the module under the tests or under the other kind of run.
venv_name=".venv-bench${wheel:+-wheel}" venv_groups=build
# This script's own options, put back for its run in the Debian root, if it comes to that;
# venv.sh takes --python off.
own=()
[ -z "$wheel" ] || own=(--wheel "$wheel")
[ -z "$count" ] || own+=(--count "$count")
[ -z "$counts" ] || own+=("$counts-counts")
set -- ${py_minor:+--python "$py_minor"} "${own[@]}" "$@"
source "$(dirname "$0")/venv.sh"
shift "${#own[@]}"

# The bench preset (CMakePresets.json): the floors too, unstripped, as callgrind names functions
# by their symbols; stripping changes no code.
variant bench
unset PYTHONPATH
if [ -z "$wheel" ]; then
  python -m pip install --quiet --no-build-isolation --no-deps . "${variant_args[@]}" \
    -C build-dir="build/bench-$minor"
else
  if [ -z "${TORVANE_ZIG:-}" ]; then
    stamp="$venv/.requirements-wheels.txt"
    if ! cmp -s requirements-wheels.txt "$stamp"; then
      python -m pip install --quiet -r requirements-wheels.txt
      cp requirements-wheels.txt "$stamp"
    fi
  fi
  python -m pip install --quiet --force-reinstall --no-deps "$wheel"
  # The floors come from a build of the whole project with the wheel's toolchain; only their
  # extension is kept, in a folder of its own that goes on the path, so the module imported is
  # the wheel's.
  floors="$root/build/bench-floors-cp3$tag"
  rm -rf "$floors"
  python -m pip install --quiet --no-build-isolation --no-deps . "${variant_args[@]}" \
    --target "$floors.all" --upgrade -C build-dir="build/bench-wheel-cp3$tag" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig/toolchain.cmake"
  mkdir -p "$floors"
  mv "$floors.all"/_torvane_benchfloors.*.so "$floors"/
  rm -rf "$floors.all"
  export PYTHONPATH="$floors"
fi
if [ -n "$counts" ]; then
  python -m bench.instructions "$counts" "$@"
elif [ -n "$count" ]; then
  python -m bench.instructions "$count" "$@"
else
  python -m bench "$@"
fi
