#!/usr/bin/env bash
# The compile step of scripts/wheels.sh, for one Python version: builds the unrepaired wheels of
# Python MINOR for each ARCH into OUTDIR with zig (tools/zig), in the wheel-build environment of
# that Python (.venv-wheels-MINOR in TORVANE_CACHE/wheels, as wheels.sh sets it). A Python
# this machine lacks runs it inside the amd64 root (scripts/venv.sh). The other architectures
# are cross-built by the x86_64 interpreter of the same version. The headers of the Debian Pythons (and each target's
# libgcc_s.so.1) are those that wheels.sh puts in build/cross/ARCH. Each build also makes the test hooks, from the same
# core objects with the same compiler and flags as the module; the wheel holds only the module,
# and the hooks go to OUTDIR/ARCH/ (never released: the suites against the wheel take them).
#
#   scripts/build-wheel.sh [--abi3] MINOR OUTDIR ARCH...    (ARCH: one of scripts/arches.sh)
#
# --abi3 builds the stable-ABI wheel (the abi3 preset: cp312-abi3) with Python MINOR instead;
# its test hooks are MINOR's own.
#
# TORVANE_ZIG (the zig program), TORVANE_CACHE and ZIG_GLOBAL_CACHE_DIR come from
# wheels.sh. The build variant is the release-wheel preset of CMakePresets.json (--abi3: abi3).
set -euo pipefail
usage() { sed -n '11s/^# \{0,1\}//p' "$0"; }
# venv.sh runs this script again in the root with the arguments it was given.
given=("$@")
source "$(dirname "$0")/arches.sh"
help_if_asked "$@"
preset=release-wheel
[ "${1:-}" != --abi3 ] || { preset=abi3; shift; }
[ $# -ge 3 ] || { usage >&2; exit 2; }
minor="$1" outdir="$2"
shift 2
: "${TORVANE_ZIG:?TORVANE_ZIG names the zig program: run scripts/wheels.sh}"
: "${TORVANE_CACHE:?TORVANE_CACHE names the cache of the wheel tools: run scripts/wheels.sh}"

# The build tools only; the reference Python's environment is also the one that runs the
# release checks.
source "$(dirname "$0")/arches.sh"
venv_name="$TORVANE_CACHE/wheels/.venv-wheels" venv_python="$minor" venv_groups=build
[ "$minor" != "$REFERENCE" ] || venv_groups=release
arches=("$@")
set -- "${given[@]}"
source "$(dirname "$0")/venv.sh"
source "$root/scripts/arches.sh"

tag="cp${minor/./}"
for arch in "${arches[@]}"; do
  define=()
  # The headers of a Debian Python, as wheels.sh leaves them.
  cross="$root/build/cross/$arch"
  if [ -d "$cross/include/python$minor" ]; then
    define=(-C cmake.define.Python_INCLUDE_DIR="$cross/include/python$minor")
  fi
  arch_names "$arch"
  if [ "$arch" = x86_64 ]; then
    toolchain="$root/tools/zig/toolchain.cmake"
    unset _PYTHON_HOST_PLATFORM SETUPTOOLS_EXT_SUFFIX
  else
    # The wheel's tag and the module's suffix are the target's (scikit-build-core reads both
    # variables), the headers and libgcc_s the target's too.
    toolchain="$root/tools/zig/toolchain-$arch.cmake"
    export _PYTHON_HOST_PLATFORM="linux-$arch"
    export SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-$triplet.so"
    define+=(-C cmake.define.TORVANE_LIBGCC_S="$cross/lib/libgcc_s.so.1")
  fi
  # The test hooks only where the suite runs against this wheel (platforms.tsv's suite column):
  # every other wheel is checked by importing it, which needs none.
  hooks=1
  [ "$suite" = all ] || [ "$suite" = "$minor" ] || hooks=0
  [ "$hooks" = 1 ] || define+=(-C cmake.define.TORVANE_TEST_HOOKS=OFF)
  # The core as wheels.sh compiled it for this architecture, once for every Python.
  core="$root/build/core-$arch/libtorvane_core_lib.a"
  [ ! -f "$core" ] || define+=(-C cmake.define.TORVANE_CORE_ARCHIVE="$core")
  name="$tag-$arch"
  [ "$preset" != abi3 ] || name="abi3-$arch"
  zig_wheel "$preset" "wheel-$name" "$outdir" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" "${define[@]}"
  mkdir -p "$outdir/$arch"
  [ "$hooks" = 0 ] || cp "build/wheel-$name"/_torvane_testhooks.*.so "$outdir/$arch/"
done
