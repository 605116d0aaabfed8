# Sourced by scripts/wheels.sh and scripts/windows.sh: makes (once per machine) the wheel tools,
# the environment TORVANE_CACHE/wheels/.venv-wheels of the reference Python with the release
# group and requirements-wheels.txt (zig, auditwheel), one maker at a time, as CI's lanes may
# want it at once. Sets tools_venv, and exports TORVANE_ZIG (the zig program) and
# ZIG_GLOBAL_CACHE_DIR (zig's cache, kept there: its C++ runtimes take minutes per target).
tools_venv="$TORVANE_CACHE/wheels/.venv-wheels"
TORVANE_ZIG="$(
  venv_name="$tools_venv" venv_python="$REFERENCE" venv_groups=release
  source "$(dirname "${BASH_SOURCE[0]}")/venv.sh" >&2
  exec 9>"$venv.requirements.lock"
  flock 9
  stamp="$venv/.requirements-wheels.txt"
  if ! cmp -s requirements-wheels.txt "$stamp"; then
    echo "== installing requirements-wheels.txt (zig is about 400 MB)" >&2
    python -m pip install --quiet -r requirements-wheels.txt >&2
    cp requirements-wheels.txt "$stamp"
  fi
  python -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))'
)"
export TORVANE_ZIG ZIG_GLOBAL_CACHE_DIR="$tools_venv/zig-cache"
