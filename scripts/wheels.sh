#!/usr/bin/env bash
# Builds the portable wheels into dist/ and checks them: one for each architecture of
# platforms.tsv and each CPython version its row names, tagged as the row says (the oldest
# manylinux tag the toolchain reaches), and the row's stable-ABI wheel (cp312-abi3, its abi3
# column), which every later CPython takes where it has no wheel of its own. The reference Python (.python-version's) has a wheel on
# x86_64 only: Debian has none of it elsewhere to test one with; it builds from the sdist there.
#
#   scripts/wheels.sh [--out DIR] [--checks all|wheels|once|none] [--no-build] [WHEEL...]
#
#   WHEEL       cp312-x86_64, cp313-aarch64, abi3-x86_64, ..., a version (3.13: all of its
#               wheels), abi3 (every stable-ABI wheel) or an architecture (s390x: its wheels);
#               default: every wheel of platforms.tsv
#   --out DIR   where the wheels go (default dist/)
#   --checks    which release checks (tests/test_packaging.py) run on the wheels, the script
#               failing if any does: wheels (each wheel's, and the rebuild of one of each
#               architecture), once (the sdist, the sources, the reference wheel installed as a
#               user would: they need cp312-x86_64), all (the default) or none (--no-check)
#   --no-build  check the wheels already in DIR instead of building them
#
# Each wheel's old file (and its test hooks) is removed before it is built, so that a failed
# build leaves no wheel of an earlier commit to be tested under this one's name. The test hooks
# of each wheel that the suite runs against (platforms.tsv's suite column), built with it from
# the same core objects, go to build/test-hooks/TAG-ARCH/, with the SHA-256 of the wheel they
# belong to: the tests sessions of noxfile.py and scripts/test-arch.sh run the suite against the wheel with those
# hooks, and refuse hooks of another build.

# The compiler is zig's clang (the `ziglang` package, from requirements-wheels.txt), aimed at
# the glibc of the row's target and linking its own libc++ statically (tools/zig/), so the module
# needs nothing newer and no C++ runtime of the system. The other architectures' wheels are
# cross-built on this x86_64 machine. auditwheel then checks each result and gives it its platform tag; it refuses
# a wheel that would need more. The Pythons pyenv lacks (and the other architectures' headers)
# come from the Debian roots of scripts/sid-root.sh, made here the first time.
#
# The wheel tools live in environments of their own, never in the sessions' (.nox/), in
# the folder wheels/ of the cache (TORVANE_CACHE, default ~/.cache/torvane), made once per machine:
# .venv-wheels for the reference Python, which holds zig, auditwheel and the test tools, and the
# same name plus -3.13 and so on for the build backend of each other Python. Every wheel is built by the
# one zig, whose libc++ builds (minutes on first use per target) stay in its cache,
# .venv-wheels/zig-cache.
#
# The wheels are reproducible: build paths are mapped away (CMakeLists.txt) and every time
# stamp is SOURCE_DATE_EPOCH, by default the time of the last commit.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
usage() { sed -n '7,17s/^# \{0,1\}//p' "$0"; }
source "$here/arches.sh"

all=()
for arch in "${WHEEL_ARCHES[@]}"; do
  arch_names "$arch"
  for m in $pythons; do all+=("cp${m/./}-$arch"); done
  [ "$abi3" = - ] || all+=("abi3-$arch")
done
out="$root/dist"
checks=all
build=1
wanted=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) help_if_asked "$1" ;;
    --out) out="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
    --checks)
      checks="${2:-}"
      [[ " all wheels once none " == *" $checks "* ]] || { usage >&2; exit 2; }
      shift 2
      ;;
    --no-check) checks=none; shift ;;
    --no-build) build=0; shift ;;
    3.1[2-5]) for w in "${all[@]}"; do [[ "$w" != "cp${1/./}-"* ]] || wanted+=("$w"); done; shift ;;
    abi3) for w in "${all[@]}"; do [[ "$w" != abi3-* ]] || wanted+=("$w"); done; shift ;;
    *)
      [[ " ${all[*]} ${WHEEL_ARCHES[*]} " == *" $1 "* ]] || { usage >&2; exit 2; }
      for w in "${all[@]}"; do [[ "$w" != "$1" && "$w" != *"-$1" ]] || wanted+=("$w"); done
      shift
      ;;
  esac
done
[ "${#wanted[@]}" -ne 0 ] || wanted=("${all[@]}")
mkdir -p "$out"
cd "$root"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)"
  # Outside a git checkout (an unpacked sdist): 1980-01-01, the earliest time a zip can hold.
  SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-315532800}"
fi
export SOURCE_DATE_EPOCH
# Release artifacts are built the standard way, whatever build settings the caller has.
while read -r name; do unset "$name"; done < <(compgen -e | grep -E '^(SKBUILD_|CMAKE_)' || true)
unset _PYTHON_HOST_PLATFORM SETUPTOOLS_EXT_SUFFIX

# The tools are kept once per machine, like the Debian roots: zig's libc++ builds (minutes each
# target) stay in its cache there, for every clone.
# Exported for scripts/build-wheel.sh, which runs in the Debian root too (where HOME differs).
TORVANE_CACHE="${TORVANE_CACHE:-$HOME/.cache/torvane}"
[[ "$TORVANE_CACHE" == /* ]] || TORVANE_CACHE="$root/$TORVANE_CACHE"
export TORVANE_CACHE

# A row's stable-ABI wheel is built by its floor's Python where the row has it, else by its
# oldest, with the floor's limited API either way.
abi3_builder() { # abi3_builder ARCH: prints the Python that builds its abi3 wheel
  arch_names "$1"
  if [[ " $pythons " == *" $abi3 "* ]]; then echo "$abi3"; else echo "${pythons%% *}"; fi
}
minors=()
for m in "${PYTHONS[@]}"; do
  wanted_m=0
  [[ " ${wanted[*]} " != *" cp${m/./}-"* ]] || wanted_m=1
  for w in "${wanted[@]}"; do
    [[ "$w" != abi3-* || "$(abi3_builder "${w#abi3-}")" != "$m" ]] || wanted_m=1
  done
  [ "$wanted_m" = 0 ] || minors+=("$m")
done
# The architectures wanted, x86_64 first when it is.
arches=()
for arch in "${WHEEL_ARCHES[@]}"; do
  [[ " ${wanted[*]} " != *"-$arch "* ]] || arches+=("$arch")
done
# The x86_64 wheels of the Pythons this machine lacks (scripts/venv.sh then takes the amd64
# root's) need it too.
from_root=()
for m in "${minors[@]}"; do
  [ "$m" = "$REFERENCE" ] || { command -v pyenv >/dev/null && pyenv latest "$m" >/dev/null 2>&1; } ||
    command -v "python$m" >/dev/null || from_root+=("$m")
done
needs_root() { [[ "${arches[*]}" != x86_64 || ${#from_root[@]} -gt 0 ]]; }

if needs_root; then
  echo "== the Debian roots: the Pythons pyenv lacks (amd64) and each other architecture's, made once per machine"
  "$here/sid-root.sh" make amd64
  for arch in "${arches[@]}"; do
    arch_names "$arch"
    [ "$arch" = x86_64 ] || "$here/sid-root.sh" make "$debian"
  done
fi

echo "== the wheel tools in .venv-wheels (Python $REFERENCE: zig, auditwheel, the test tools)"
source "$here/wheel-tools.sh"
tools="$tools_venv/bin"

# The Debian Pythons' headers for zig: each with its architecture's own pyconfig.h in place of
# Debian's multiarch one, which picks it from the root's whole /usr/include and would so put that
# root's glibc headers, far newer than 2.17, on the compiler's path. They go into the repository,
# which the amd64 root sees too; the architecture's libgcc_s.so.1, to link the unwinder against,
# with them. scripts/build-wheel.sh takes them from there.
stage() { # stage ARCH MINOR...
  local from to m
  arch_names "$1"
  from="$("$here/sid-root.sh" path "$debian")" to="$root/build/cross/$1"
  shift
  echo "== the headers of Python $* from the $(basename "$from") root into ${to#"$root/"}"
  rm -rf "$to"
  mkdir -p "$to/include" "$to/lib"
  for m in "$@"; do
    cp -r "$from/usr/include/python$m" "$to/include/"
    cp "$from/usr/include/$triplet/python$m/pyconfig.h" "$to/include/python$m/"
  done
  cp "$from/usr/lib/$triplet/libgcc_s.so.1" "$to/lib/"
}
for arch in "${arches[@]}"; do
  arch_names "$arch"
  if [ "$arch" = x86_64 ]; then
    # Those of its Pythons that the machine lacks.
    [ ${#from_root[@]} -eq 0 ] || stage x86_64 "${from_root[@]}"
  else
    stage "$arch" $pythons
  fi
done

# One architecture after another, x86_64 first.
version="$VERSION"
mkdir -p "$root/build/logs"
to_build=("${arches[@]}")
[ "$build" = 1 ] || to_build=()
for arch in "${to_build[@]}"; do
  # The core, once for the architecture: it includes no interpreter header, so every wheel of
  # the architecture links this one archive (TORVANE_CORE_ARCHIVE in CMakeLists.txt), built with
  # the same toolchain and flags as the rest of the wheel.
  core="$root/build/core-$arch"
  rm -rf "$core"
  toolchain="$root/tools/zig/toolchain.cmake"
  [ "$arch" = x86_64 ] || toolchain="$root/tools/zig/toolchain-$arch.cmake"
  log="$root/build/logs/core-$arch.log"
  echo "== compiling the core for $arch with zig, once for all its wheels (log: build/logs/${log##*/})"
  if ! { PATH="$tools:$PATH" cmake --preset core-only -S "$root" -B "$core" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSKBUILD_PROJECT_VERSION="$version" &&
    PATH="$tools:$PATH" cmake --build "$core"; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  abi3_minor=""
  [[ " ${wanted[*]} " != *" abi3-$arch "* ]] || abi3_minor="$(abi3_builder "$arch")"
  for minor in "${minors[@]}" ${abi3_minor:+abi3}; do
    if [ "$minor" = abi3 ]; then
      # name: the wheel's name in WHEEL; tag: its Python and ABI tags, as in its file name.
      arch_names "$arch"
      name="abi3-$arch" tag="cp${abi3/./}-abi3" builder=(--abi3 "$abi3_minor")
    else
      tag="cp${minor/./}" name="cp${minor/./}-$arch" builder=("$minor")
      tag="$tag-$tag"
    fi
    [[ " ${wanted[*]} " == *" $name "* ]] || continue
    rm -f "$out/orvantis_torvane_core-"*"-$tag-"*"_$arch.whl"
    rm -rf "$root/build/test-hooks/$name"
    raw="$root/build/wheels-$name"
    rm -rf "$raw"
    echo "== building $name with Python ${builder[*]: -1}"
    "$here/build-wheel.sh" "${builder[@]}" "$raw" "$arch"
    built="$(ls "$raw"/*_"$arch".whl)"
    echo "== tagging $(basename "$built") with auditwheel"
    log="$root/build/logs/auditwheel-$name.log"
    # The platform is auditwheel's choice: the oldest the wheel qualifies for (given
    # explicitly, it must be one of this machine's architecture).
    PATH="$tools:$PATH" python -m auditwheel repair -w "$out" "$built" >"$log" 2>&1 ||
      { cat "$log" >&2; exit 1; }
    arch_names "$arch"
    ls "$out"/*"-$tag-"*"${platform}_$arch.whl" >/dev/null ||
      { echo "== auditwheel gave $name another tag than $platform" >&2; exit 1; }
    # The test hooks, of the wheels the suite runs against (build-wheel.sh builds no others).
    ls "$raw/$arch"/_torvane_testhooks.*.so >/dev/null 2>&1 || continue
    hooks="$root/build/test-hooks/$name"
    mkdir -p "$hooks"
    cp "$raw/$arch"/_torvane_testhooks.*.so "$hooks/"
    sha256sum "$out"/*"-$tag-"*"_$arch.whl" | cut -d' ' -f1 >"$hooks/wheel.sha256"
  done
done
ls -l "$out"/*.whl

if [ "$checks" != none ]; then
  echo "== release checks ($checks): tests/test_packaging.py on the wheels in $out"
  select=()
  [ "$checks" != wheels ] || select=(-m "not once")
  [ "$checks" != once ] || select=(-m once)
  # From tests/, with the wheelhouse named: the checks take these wheels instead of building.
  # Their temporary folders in build/, one for each set of checks, which may run side by side:
  # pytest's shared one under /tmp is pruned by other runs.
  mkdir -p "$root/build/release-checks"
  TORVANE_RELEASE_CHECKS=1 TORVANE_WHEELHOUSE="$out" TORVANE_WHEELS="${wanted[*]}" \
    "$tools/python" -m pytest -p no:cacheprovider "${select[@]}" \
    --basetemp="$root/build/release-checks/$checks-$(echo "${arches[*]}" | tr ' ' -)" \
    tests/test_packaging.py
fi
