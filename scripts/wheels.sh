#!/usr/bin/env bash
# Builds the portable wheels: one per supported Python (3.12 and 3.13), each tagged
# manylinux_2_17_x86_64 (manylinux2014), into dist/.
#
#   scripts/wheels.sh [--out DIR] [3.12] [3.13]
#
# The compiler is zig's clang (the `ziglang` package, from requirements-wheels.txt), aimed at
# glibc 2.17 and linking its own libc++ statically (tools/zig/toolchain.cmake), so the module
# needs nothing newer than glibc 2.17 and no C++ runtime of the system. auditwheel then checks
# the result and gives it its platform tag; it refuses a wheel that would need more.
#
# The wheels are reproducible: build paths are mapped away (CMakeLists.txt) and every time
# stamp is SOURCE_DATE_EPOCH, by default the time of the last commit.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

out="$root/dist"
versions=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
    3.12 | 3.13) versions+=("$1"); shift ;;
    *) echo "usage: scripts/wheels.sh [--out DIR] [3.12] [3.13]" >&2; exit 2 ;;
  esac
done
[ "${#versions[@]}" -ne 0 ] || versions=(3.12 3.13)
mkdir -p "$out"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)"
  # Outside a git checkout (an unpacked sdist): 1980-01-01, the earliest time a zip can hold.
  SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-315532800}"
fi
export SOURCE_DATE_EPOCH
# Release artifacts are built the standard way, whatever build settings the caller has.
while read -r name; do unset "$name"; done < <(compgen -e | grep -E '^(SKBUILD_|CMAKE_)' || true)

# Enters the environment of Python $1 (scripts/venv.sh) with the wheel tools installed.
enter() {
  export TORVANE_PYTHON="$1"
  source "$here/venv.sh" >&2
  stamp="$venv/.requirements-wheels.txt"
  if ! cmp -s requirements-wheels.txt "$stamp"; then
    python -m pip install --quiet -r requirements-wheels.txt >&2
    cp requirements-wheels.txt "$stamp"
  fi
}

# One zig, the 3.12 environment's, for every wheel: each zig installation builds its own libc++
# on first use, a minute or more.
TORVANE_ZIG="$(
  enter 3.12
  python -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))'
)"
export TORVANE_ZIG

for minor in "${versions[@]}"; do
  (
    enter "$minor"
    tag="cp${minor/./}"
    raw="$root/build/wheels-$tag"
    rm -rf "$raw"
    python -m pip wheel --quiet --no-build-isolation --no-deps . -w "$raw" \
      -C build-dir="build/wheel-$tag" -C cmake.build-type=Release -C install.strip=true \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig/toolchain.cmake" \
      -C cmake.define.TORVANE_TEST_HOOKS=OFF -C cmake.define.TORVANE_BENCH=OFF \
      -C cmake.define.TORVANE_SANITIZE=OFF -C cmake.define.TORVANE_WERROR=ON
    python -m auditwheel repair --plat manylinux_2_17_x86_64 -w "$out" "$raw"/*.whl
  )
done
ls -l "$out"/*.whl
