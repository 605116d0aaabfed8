#!/usr/bin/env bash
# Runs the aarch64 wheels under emulation: each aarch64 wheel (those in dist/, from
# scripts/wheels.sh, or those named) goes into a fresh virtual environment of its Python in the
# arm64 root of scripts/sid-root.sh, together with the test hooks built with it (build/test-hooks),
# and pytest runs there with TORVANE_REQUIRE_HOOKS=1. The architecture's compiled code gets its
# behaviour tests once, on one Python (TORVANE_EMULATED_FULL, default 3.14): the whole suite less
# the tests marked host_only (pyproject.toml), which are too long under emulation or check the
# sources rather than the module. The differences between Pythons are proven natively on x86_64;
# here each other Python's wheel is installed, imported and given a short behaviour run.
#
#   scripts/test-aarch64.sh [WHEEL...] [-- PYTEST-ARGS...]
#
# Everything is installed from this machine, by its own pip, which needs no emulation: the test
# dependencies of pyproject.toml's test group (pure-Python wheels, fetched once into
# build/aarch64/wheels), the wheel, and the hooks module. What does not exercise the module is
# done natively or not at all: hypothesis's Unicode tables are made by the same Python version on
# x86_64 and handed over, and a failure is reported in the short form, without pytest's parsing
# of source files.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
usage() { sed -n '11s/^# \{0,1\}//p' "$0"; }
cd "$root"

wheels=()
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *.whl) wheels+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"); shift ;;
    *) usage >&2; exit 2 ;;
  esac
done
[ "${#wheels[@]}" -ne 0 ] || wheels=("$root"/dist/*_aarch64.whl)
[ -f "${wheels[0]}" ] || { echo "no aarch64 wheel in dist/: run scripts/wheels.sh first" >&2; exit 1; }

echo "== the arm64 root (made once per machine)"
"$here/sid-root.sh" make arm64

# The host's tools: its pip, and the Python tags of the wheels.
export TORVANE_VENV="${TORVANE_VENV:-${TORVANE_WHEEL_TOOLS:-$HOME/.cache/torvane/wheels}/.venv-wheels}"
host="$TORVANE_VENV/bin/python"
[ -x "$host" ] || { echo "no $TORVANE_VENV: run scripts/wheels.sh first" >&2; exit 1; }
work="$root/build/aarch64"
mkdir -p "$work/wheels"

# The test group's runtime part, by the names and versions pyproject.toml gives.
mapfile -t deps < <("$host" - <<'PY'
import tomllib
from packaging.requirements import Requirement

group = tomllib.load(open("pyproject.toml", "rb"))["dependency-groups"]["test"]
wanted = {"pytest", "pytest-timeout", "hypothesis"}
for item in group:
    if isinstance(item, str) and Requirement(item).name in wanted:
        print(item)
PY
)

minors=()
for wheel in "${wheels[@]}"; do
  name="$(basename "$wheel")"
  tag="${name#*-*-}"
  tag="${tag%%-*}"
  minors+=("3.${tag#cp3}")
done

full="${TORVANE_EMULATED_FULL:-3.14}"
[[ " ${minors[*]} " == *" $full "* ]] || full="${minors[0]}"
# The short run of the other Pythons: the module's surface, the classes and the quark and CKM
# numbers, each test of them once.
short=(tests/test_module.py tests/test_classes.py tests/test_quarks_ckm.py)

echo "== the test hooks built with each wheel (build/test-hooks)"
for i in "${!wheels[@]}"; do
  hooks="$root/build/test-hooks/cp${minors[$i]/./}-aarch64"
  if [ "$(cat "$hooks/wheel.sha256" 2>/dev/null)" != "$(sha256sum "${wheels[$i]}" | cut -d' ' -f1)" ]; then
    echo "the test hooks in ${hooks#"$root"/} were not built with $(basename "${wheels[$i]}"): run scripts/wheels.sh" >&2
    exit 1
  fi
done

# Each Python's environment is made here; the emulated runs then go side by side, each into its
# own log, shown whole when it ends.
logs=()
for i in "${!wheels[@]}"; do
  wheel="${wheels[$i]}" minor="${minors[$i]}"
  tag="cp${minor/./}"
  venv="$work/venv-$minor"
  site="$venv/lib/python$minor/site-packages"
  echo "== a fresh Python $minor environment in the arm64 root with $(basename "$wheel")"
  rm -rf "$venv" "$work/hypothesis-$minor"
  "$here/sid-root.sh" run arm64 "python$minor" -m venv --without-pip "$venv"
  # For the target's Python and platform, from the local wheels only (fetched once).
  target=(--platform manylinux_2_17_aarch64 --python-version "$minor" --implementation cp
    --abi "$tag" --only-binary=:all:)
  "$host" -m pip download --quiet --disable-pip-version-check "${target[@]}" -d "$work/wheels" \
    "${deps[@]}"
  "$host" -m pip install --quiet --disable-pip-version-check --no-compile --no-index \
    --find-links "$work/wheels" "${target[@]}" --target "$site" "$wheel" "${deps[@]}"
  cp "$root/build/test-hooks/$tag-aarch64"/_torvane_testhooks.*.so "$site/"
  if [ "$minor" = "$full" ]; then
    # hypothesis's Unicode tables (which characters each category and codec holds) take minutes
    # to make under emulation and do not touch the module: the same Python version makes them
    # natively, from the same hypothesis, into the storage the emulated run then reads.
    echo "== hypothesis's Unicode tables for Python $minor, made natively"
    native="$work/hypothesis-x86_64-$minor"
    rm -rf "$native"
    version="$(cd "$site" && ls -d hypothesis-*.dist-info)"
    version="${version#hypothesis-}"
    "$host" -m pip install --quiet --disable-pip-version-check --no-compile --target "$native" \
      --platform manylinux_2_17_x86_64 --python-version "$minor" --implementation cp \
      --abi "$tag" --only-binary=:all: "hypothesis==${version%.dist-info}"
    "$here/sid-root.sh" run amd64 /usr/bin/env PYTHONPATH="$native" \
      HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis-$minor" "python$minor" -W ignore -c '
from hypothesis import strategies as st
st.text().example()
st.characters(codec="utf-8").example()'
  fi
done

pids=()
for minor in "${minors[@]}"; do
  log="$work/pytest-$minor.log"
  logs+=("$log")
  if [ "$minor" = "$full" ]; then
    what="the behaviour tests" selection=()
  else
    what="a short run" selection=("${short[@]}")
  fi
  echo "== $what on aarch64 Python $minor, emulated, in the background (log: ${log#"$root"/})"
  # TORVANE_EMULATED=1: the tests that draw many random cases draw fewer, and child
  # interpreters get three times as long (tests/conftest.py). Each test's limit is 900 s, over
  # three times the longest test here (about 55 s on a busy machine) even on a machine twice as
  # busy. --tb=native: a failure's report reads no source files, which pytest would parse under
  # emulation for minutes.
  "$here/sid-root.sh" run arm64 /usr/bin/env TORVANE_REQUIRE_HOOKS=1 TORVANE_EMULATED=1 \
    HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis-$minor" \
    "$work/venv-$minor/bin/python" -m pytest -p no:cacheprovider -m "not host_only" -q \
    --timeout=900 --tb=native --durations=10 "${selection[@]}" "${pytest_args[@]}" >"$log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "== pytest on aarch64 Python ${minors[$i]}: $(tail -n 1 "${logs[$i]}")"
  else
    echo "== pytest on aarch64 Python ${minors[$i]} FAILED; its output:"
    cat "${logs[$i]}"
    status=1
  fi
done
exit "$status"
