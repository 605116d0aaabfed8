# Sourced by the project's commands: makes (once) and enters a Python virtual environment
# holding the dependency groups of pyproject.toml that the calling script wants. The script says
# what it wants in plain (unexported) shell variables, set before it sources this file:
#   venv_name    the environment: a folder of the repository (.venv-tour) or a path; default .venv
#   venv_groups  the dependency groups to install; default test (which includes build)
#   venv_fresh   1: a new environment every time
#   venv_python  the Python: one of platforms.tsv's, or facts.tsv's debug build; default
#                .python-version's, the reference
#   venv_checkers 0: the test group without its checkers (mypy, ruff, clang-format), which only
#                the source checks (tests/test_style.py, tests/test_typing.py) use; also so
#                with --arch, and for a caller given --ignore for both files
# and every such script takes, before its own arguments:
#   --python V   that Python instead, in an environment of the same name with "-V" added
#                (.venv-3.13); the reference Python's has no suffix
#   --arch i386  the 32-bit x86 build: always in the Debian root of that architecture, in an
#                environment with the architecture's name added too (.venv-3.14-i386)
#   --help       the calling script's leading comment, and nothing else done
# A Python this machine lacks is taken from the Debian root of scripts/sid-root.sh: the calling
# script then runs again, whole, inside that root, with the arguments it was given (it sets its
# variables again at its top).
# What it leaves to the script: root (the repository), venv, minor (the Python), arch (or
# nothing), step and variant (below).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
caller="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$root"
# The caller's arguments as given, for its run in a Debian root; the options read here are taken
# off its own.
caller_args=("$@")
source "$root/scripts/arches.sh"
debug_python="$(fact debug)"
minor="${venv_python:-$REFERENCE}"
arch=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    --python) minor="${2:?--python needs a version: ${PYTHONS[*]} or $debug_python}"; shift 2 ;;
    --arch) arch="${2:?--arch needs an architecture: i386}"; shift 2 ;;
    *) break ;;
  esac
done
case " ${PYTHONS[*]} $debug_python " in
  *" $minor "*) ;;
  *) echo "the Python is one of ${PYTHONS[*]} (default $REFERENCE) or $debug_python, not '$minor'" >&2; exit 1 ;;
esac
venv="${venv_name:-.venv}"
[[ "$venv" == /* ]] || venv="$root/$venv"
[ "$minor" = "$REFERENCE" ] || venv="$venv-$minor"
if [ -n "$arch" ]; then
  venv="$venv-$arch"
  if [ "${TORVANE_IN_ROOT:-}" != "sid-$arch" ]; then
    echo "== running $(basename "$caller") in the Debian $arch root"
    exec "$root/scripts/sid-root.sh" run "$arch" "$caller" "${caller_args[@]}"
  fi
fi
groups="${venv_groups:-test}"
checkers="${venv_checkers:-1}"
[ -z "$arch" ] || checkers=0
venv_given=" ${caller_args[*]} "
[[ "$venv_given" != *" --ignore=tests/test_style.py "* || "$venv_given" != *" --ignore=tests/test_typing.py "* ]] ||
  checkers=0
[ "${venv_fresh:-}" != 1 ] || rm -rf "$venv"

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

# variant NAME: sets the array variant_args to the pip arguments that build the module as the
# configure preset NAME of CMakePresets.json, where the project's build variants are written
# once: the preset itself (CMake takes its cache variables; scikit-build-core's build folder
# wins over the preset's), its build type (scikit-build-core passes its own, which CMake would
# take over the preset's) and its pip settings (the preset's vendor map, inherited as the cache
# variables are).
variant() {
  local out
  out="$(python - "$root/CMakePresets.json" "$1" <<'PY'
import json, sys

presets = {p["name"]: p for p in json.load(open(sys.argv[1]))["configurePresets"]}


def resolved(name):
    if name not in presets:
        sys.exit(f"no build variant '{name}' in CMakePresets.json: {', '.join(presets)}")
    preset, cache, pip = presets[name], {}, {}
    parents = preset.get("inherits", [])
    # The first parent named wins over the later ones, the preset itself over all of them.
    for parent in reversed([parents] if isinstance(parents, str) else parents):
        parent_cache, parent_pip = resolved(parent)
        cache.update(parent_cache)
        pip.update(parent_pip)
    cache.update(preset.get("cacheVariables", {}))
    pip.update(preset.get("vendor", {}).get("orvantis-torvane-core/pip", {}))
    return cache, pip


cache, pip = resolved(sys.argv[2])
build_type = cache.get("CMAKE_BUILD_TYPE")
if isinstance(build_type, dict):
    build_type = build_type["value"]
settings = [f"cmake.args=--preset={sys.argv[2]}"]
settings += [f"cmake.build-type={build_type}"] if build_type else []
settings += [f"{key}={value}" for key, value in pip.items()]
for setting in settings:
    print("-C", setting, sep="\n")
PY
)" || exit 2
  mapfile -t variant_args <<<"$out"
}

# Prints the path of a Python interpreter of the version prefix $1 (any patch release will do),
# or nothing. pyenv's newest matching version first; pyenv installs the reference version only
# when it has none, and a failed install (no network, say) falls through to the PATH.
find_python() {
  local want="$1" found="" shims="" candidate
  if command -v pyenv >/dev/null 2>&1; then
    shims="$(pyenv root)/shims"
    found="$(pyenv latest "$want" 2>/dev/null || true)"
    if [ -z "$found" ] && [ "$want" = "$REFERENCE" ] &&
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
  if [ -z "$py" ] && [ "$want" != "$REFERENCE" ] && [ -z "${TORVANE_IN_ROOT:-}" ]; then
    echo "== Python $want is not installed here: running $(basename "$caller") in the Debian root"
    exec "$root/scripts/sid-root.sh" run amd64 "$caller" "${caller_args[@]}"
  fi
  [ -n "$py" ] || { echo "Python $want not found (install pyenv or python$want)" >&2; exit 1; }
fi
# One maker at a time: CI's lanes may want the same environment (a wheel build's) at once.
# Not held across the run in a root above, whose own maker would wait for it.
mkdir -p "$(dirname "$venv")"
exec 8>"$venv.lock"
flock 8
if [ ! -x "$venv/bin/python" ]; then
  "$py" -c '
import sys
abi = "%d.%d" % sys.version_info[:2] + ("d" if hasattr(sys, "gettotalrefcount") else "")
assert abi == sys.argv[1], sys.version' "$want"
  echo "== making the Python $want environment $(basename "$venv")"
  "$py" -m venv "$venv"
fi
export PATH="$venv/bin:$PATH"

# Installs again whenever the groups asked for or their lists in pyproject.toml change.
wanted="$(python - "$groups" "$checkers" <<'PY'
import json, sys, tomllib
with open("pyproject.toml", "rb") as f:
    print(*sys.argv[1:], json.dumps(tomllib.load(f)["dependency-groups"], sort_keys=True))
PY
)"
stamp="$venv/.dependency-groups"
if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
  # Dependency groups need pip 25.1 or later: Debian's Pythons bring one, pyenv's older ones not.
  if ! python -c 'import pip, sys; sys.exit([*map(int, pip.__version__.split(".")[:2])] < [25, 1])'; then
    step "upgrading pip in $(basename "$venv")" python -m pip install --upgrade pip
  fi
  group_args=()
  for group in $groups; do group_args+=(--group "$group"); done
  if [ "$checkers" = 0 ] && [ "$groups" = test ]; then
    # The build group and what runs the tests, as pinned here. (The checkers have no build for
    # another architecture.)
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
exec 8>&-
