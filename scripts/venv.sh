# Sourced by the wheel scripts (scripts/build-wheel.sh, scripts/wheel-tools.sh,
# scripts/windows.sh): makes (once) and enters a virtual environment of the wheel tools. These
# live in the cache, shared by every clone, outside nox's sessions (noxfile.py). The calling
# script says what it wants in plain (unexported) shell variables, set before it sources this:
#   venv_name    the environment's path (the reference Python's; "-MINOR" added for another)
#   venv_groups  the dependency groups of pyproject.toml to install
#   venv_python  the Python: one of platforms.tsv's; default .python-version's, the reference
# A Python this machine lacks is taken from the Debian root of scripts/sid-root.sh: the calling
# script then runs again, whole, inside that root, with the arguments it was given.
# What it leaves to the script: root (the repository), venv, minor (the Python), `variant NAME`,
# which sets the array variant_args to the pip arguments of the build preset NAME of
# CMakePresets.json (tools/presets.py), and zig_wheel (below).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
caller="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$root"
# The caller's arguments as given, for its run in a Debian root.
caller_args=("$@")
source "$root/scripts/arches.sh"
minor="${venv_python:-$REFERENCE}"
venv="$venv_name"
# The reference Python's has the name as given, each other's the name with "-MINOR" added.
[ "$minor" = "$REFERENCE" ] || venv="$venv-$minor"

variant() { mapfile -t variant_args < <(python "$root/tools/presets.py" "$1"); }

# zig_wheel PRESET NAME OUTDIR [PIP ARGUMENTS...]: a wheel of the tree, built as the preset
# PRESET from an empty build/NAME (nothing of an earlier configuration, the flags of a toolchain
# file since changed, say, can reach it), into OUTDIR. The compile lines show progress; the log,
# build/logs/NAME.log, is shown whole if the build fails.
zig_wheel() {
  local name="$2" out="$3" log="$root/build/logs/$2.log"
  variant "$1"
  shift 3
  mkdir -p "$(dirname "$log")" "$out"
  rm -rf "build/$name"
  echo "== compiling $name with zig (log: build/logs/$(basename "$log"))"
  if ! python -m pip wheel -v --no-build-isolation --no-deps . -w "$out" \
    -C build-dir="build/$name" "${variant_args[@]}" "$@" \
    </dev/null 2>&1 | tee "$log" | sed -un 's/^ *\(\[[0-9]*\/[0-9]*\] \)/   \1/p'; then
    cat "$log" >&2
    echo "== $name failed to build" >&2
    exit 1
  fi
}

if [ ! -x "$venv/bin/python" ]; then
  py="$(find_python "$minor")"
  if [ -z "$py" ] && [ "$minor" != "$REFERENCE" ] && [ -z "${TORVANE_IN_ROOT:-}" ]; then
    echo "== Python $minor is not installed here: running $(basename "$caller") in the Debian root"
    exec "$root/scripts/sid-root.sh" run amd64 "$caller" "${caller_args[@]}"
  fi
  [ -n "$py" ] || { echo "Python $minor not found (install pyenv or python$minor)" >&2; exit 1; }
fi
# One maker at a time: CI's lanes may want the same environment at once. Not held across the
# run in a root above, whose own maker would wait for it.
mkdir -p "$(dirname "$venv")"
exec 8>"$venv.lock"
flock 8
if [ ! -x "$venv/bin/python" ]; then
  echo "== making the Python $minor environment $(basename "$venv")"
  "$py" -m venv "$venv"
fi
export PATH="$venv/bin:$PATH"

# Installs again whenever the groups asked for or their lists in pyproject.toml change.
wanted="$(python - "$venv_groups" <<'PY'
import json, sys, tomllib
with open("pyproject.toml", "rb") as f:
    print(*sys.argv[1:], json.dumps(tomllib.load(f)["dependency-groups"], sort_keys=True))
PY
)"
stamp="$venv/.dependency-groups"
if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
  # Dependency groups need pip 25.1 or later: Debian's Pythons bring one, pyenv's older ones not.
  if ! python -c 'import pip, sys; sys.exit([*map(int, pip.__version__.split(".")[:2])] < [25, 1])'; then
    python -m pip install --quiet --upgrade pip
  fi
  group_args=()
  for group in $venv_groups; do group_args+=(--group "$group"); done
  echo "== installing the dependency groups '$venv_groups' into $(basename "$venv")"
  python -m pip install --quiet --progress-bar off "${group_args[@]}"
  echo "$wanted" >"$stamp"
fi
exec 8>&-
