#!/usr/bin/env bash
# Runs the behaviour tests on aarch64, under emulation: each aarch64 wheel (those in dist/, from
# scripts/wheels.sh, or those named) goes into a fresh virtual environment of its Python in the
# arm64 root of scripts/sid-root.sh, together with the test hooks cross-built for the same
# Python, and pytest runs there with TORVANE_REQUIRE_HOOKS=1: the whole suite less the tests
# marked host_only (pyproject.toml), which are too long under emulation or check the sources
# rather than the module.
#
#   scripts/test-aarch64.sh [WHEEL...] [-- PYTEST-ARGS...]
#
# Everything is installed from this machine, by its own pip, which needs no emulation: the test
# dependencies of pyproject.toml's test group (pure-Python wheels, fetched once into
# build/aarch64/wheels), the wheel, and the hooks module.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
usage() { sed -n '9s/^# \{0,1\}//p' "$0"; }
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

echo "== the aarch64 test hooks of Python ${minors[*]} (cross-built with zig, never released)"
hooks=()
for m in "${minors[@]}"; do hooks+=("cp${m/./}-aarch64"); done
"$here/wheels.sh" --test-hooks --out "$work/hooks" "${hooks[@]}"

# Each Python's environment is made here; the emulated runs then go side by side, one a core
# or so, each into its own log, shown whole when it ends.
logs=()
for i in "${!wheels[@]}"; do
  wheel="${wheels[$i]}" minor="${minors[$i]}"
  tag="cp${minor/./}"
  venv="$work/venv-$minor"
  site="$venv/lib/python$minor/site-packages"
  echo "== a fresh Python $minor environment in the arm64 root with $(basename "$wheel")"
  rm -rf "$venv"
  "$here/sid-root.sh" run arm64 "python$minor" -m venv --without-pip "$venv"
  # For the target's Python and platform, from the local wheels only (fetched once).
  target=(--platform manylinux_2_17_aarch64 --python-version "$minor" --implementation cp
    --abi "$tag" --only-binary=:all:)
  "$host" -m pip download --quiet --disable-pip-version-check "${target[@]}" -d "$work/wheels" \
    "${deps[@]}"
  "$host" -m pip install --quiet --disable-pip-version-check --no-compile --no-index \
    --find-links "$work/wheels" "${target[@]}" --target "$site" "$wheel" "${deps[@]}"
  "$host" - "$work/hooks" "$tag" "$site" <<'PY'
import sys, zipfile
from pathlib import Path

house, tag, site = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
(wheel,) = house.glob(f"*-{tag}-{tag}-linux_aarch64.whl")
with zipfile.ZipFile(wheel) as archive:
    (hooks,) = [n for n in archive.namelist() if n.startswith("_torvane_testhooks.")]
    archive.extract(hooks, site)
PY
done

pids=()
for minor in "${minors[@]}"; do
  log="$work/pytest-$minor.log"
  logs+=("$log")
  echo "== pytest on aarch64 Python $minor, emulated, in the background (log: ${log#"$root"/})"
  # TORVANE_EMULATED=1: the tests that draw many random cases draw fewer (tests/conftest.py).
  "$here/sid-root.sh" run arm64 /usr/bin/env TORVANE_REQUIRE_HOOKS=1 TORVANE_EMULATED=1 \
    "$work/venv-$minor/bin/python" -m pytest -p no:cacheprovider -m "not host_only" -q --durations=10 \
    "${pytest_args[@]}" >"$log" 2>&1 &
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
