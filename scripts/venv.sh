# Sourced by the project's commands: makes (once) and enters a Python 3.12 virtual environment
# (.venv unless TORVANE_VENV names another) holding the dependency groups of pyproject.toml that
# TORVANE_GROUPS names (default: test, which includes build). With TORVANE_PYTHON=3.13 (3.14,
# 3.15, or 3.14d for 3.14's debug build) it is that Python instead, in an environment of the same
# name with "-3.13" added (.venv-3.13). A Python this machine lacks is taken from the Debian root
# of scripts/sid-root.sh: the calling script then runs again, whole, inside that root. With
# TORVANE_ARCH=i386 (and TORVANE_PYTHON=3.14) it always runs in the root of that architecture,
# in an environment with the architecture's name added too (.venv-3.14-i386): the 32-bit build.
set -euo pipefail
# `--help` (or -h) first: the calling script's leading comment, and nothing else done.
case "${1:-}" in
  -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
esac
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
caller="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$root"
minor="${TORVANE_PYTHON:-$(cat .python-version)}"
case "$minor" in
  3.12 | 3.13 | 3.14 | 3.15 | 3.14d) ;;
  *) echo "the Python is 3.12 (the default), 3.13, 3.14, 3.15 or 3.14d, not '$minor'" >&2; exit 1 ;;
esac
venv="${TORVANE_VENV:-$root/.venv}"
[ "$minor" = "$(cat .python-version)" ] || venv="$venv-$minor"
arch="${TORVANE_ARCH:-}"
if [ -n "$arch" ]; then
  venv="$venv-$arch"
  if [ "${TORVANE_IN_ROOT:-}" != "sid-$arch" ]; then
    echo "== running $(basename "$caller") in the Debian $arch root"
    exec "$root/scripts/sid-root.sh" run "$arch" "$caller" "$@"
  fi
fi
groups="${TORVANE_GROUPS:-test}"
# TORVANE_FRESH=1: a new environment every time.
[ -z "${TORVANE_FRESH:-}" ] || rm -rf "$venv"

# step WHAT COMMAND...: says in one line what it is doing, then runs the command with its output
# kept in build/logs. The lines that say how far it has got (pip's "Collecting", ninja's
# "[3/25]") are shown as they come; if the command fails, the end of its output is shown too.
step() {
  local what="$1" log
  shift
  echo "== $what"
  mkdir -p "$root/build/logs"
  log="$root/build/logs/$(echo "$what" | tr -c 'a-zA-Z0-9.\n-' _ | cut -c1-60).log"
  if "$@" 2>&1 | tee "$log" |
    { grep --line-buffered -E '^(Collecting |Installing collected | *\[[0-9]+/[0-9]+\] )' |
      sed -u -E 's/^ *//; s/^/   /' || true; }; then
    return 0
  fi
  echo "== failed: $what; the end of its output ($log):" >&2
  tail -n 60 "$log" >&2
  return 1
}

# Prints the path of a Python interpreter of the version prefix $1 (from .python-version: any
# 3.12.x will do), or nothing. pyenv's newest matching version first; pyenv installs the
# reference version only when it has none, and a failed install (no network, say) falls through
# to the PATH.
find_python() {
  local want="$1" found="" shims="" candidate
  if command -v pyenv >/dev/null 2>&1; then
    shims="$(pyenv root)/shims"
    found="$(pyenv latest "$want" 2>/dev/null || true)"
    if [ -z "$found" ] && [ "$want" = "$(cat .python-version)" ] &&
      pyenv install --skip-existing "$want" >/dev/null 2>&1; then
      found="$(pyenv latest "$want" 2>/dev/null || true)"
    fi
    candidate="$(pyenv root)/versions/$found/bin/python"
    if [ -n "$found" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  fi
  # pyenv's shims only lead back to pyenv.
  while read -r candidate; do
    if [ -n "$candidate" ] && [ "$(dirname "$candidate")" != "$shims" ]; then
      echo "$candidate"
      return
    fi
  done < <(type -ap "python$want" || true)
}

if [ ! -x "$venv/bin/python" ]; then
  want="$minor"
  py="$(find_python "$want")"
  if [ -z "$py" ] && [ "$want" != 3.12 ] && [ -z "${TORVANE_IN_ROOT:-}" ]; then
    echo "== Python $want is not installed here: running $(basename "$caller") in the Debian root"
    exec "$root/scripts/sid-root.sh" run amd64 "$caller" "$@"
  fi
  [ -n "$py" ] || { echo "Python $want not found (install pyenv or python$want)" >&2; exit 1; }
  "$py" -c '
import sys
abi = "%d.%d" % sys.version_info[:2] + ("d" if hasattr(sys, "gettotalrefcount") else "")
assert abi == sys.argv[1], sys.version' "$want"
  echo "== making the Python $want environment $(basename "$venv")"
  "$py" -m venv "$venv"
fi
export PATH="$venv/bin:$PATH"

# Installs again whenever the groups asked for or their lists in pyproject.toml change.
wanted="$(python - "$groups" <<'PY'
import json, sys, tomllib
with open("pyproject.toml", "rb") as f:
    print(sys.argv[1], json.dumps(tomllib.load(f)["dependency-groups"], sort_keys=True))
PY
)"
stamp="$venv/.dependency-groups"
if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
  # Dependency groups need pip 25.1 or later.
  step "upgrading pip in $(basename "$venv")" python -m pip install --upgrade pip
  group_args=()
  for group in $groups; do group_args+=(--group "$group"); done
  if [ -n "$arch" ] && [ "$groups" = test ]; then
    # The checkers of the test group, and the upload tool's cryptography, have no build for
    # another architecture: there the build group and what runs the tests, as pinned here.
    mapfile -t group_args < <(python - <<'PY'
import re, tomllib
with open("pyproject.toml", "rb") as f:
    test = tomllib.load(f)["dependency-groups"]["test"]
print("--group\nbuild")
for item in test:
    if isinstance(item, str) and re.match(r"[\w.-]+", item)[0] in {"pytest", "pytest-timeout", "hypothesis"}:
        print(item)
PY
)
  fi
  step "installing the dependency groups '$groups' into $(basename "$venv")" \
    python -m pip install --progress-bar off "${group_args[@]}"
  echo "$wanted" >"$stamp"
fi
