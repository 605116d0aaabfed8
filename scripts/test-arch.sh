#!/usr/bin/env bash
# Runs the wheels of one architecture of platforms.tsv on that architecture, on the oldest
# processor its row promises (qemu's model of it, the row's "cpu"). Each of its wheels (those
# named, or those in dist/) goes into a fresh virtual environment of its Python, where it is
# imported and checked (tests/smoke.py) under qemu with that processor: x86_64's and i686's too,
# which this machine otherwise runs natively, so an instruction newer than the row promises fails
# here. Its Pythons are the Debian root's of the architecture (scripts/sid-root.sh), and on x86_64
# the reference Python is the wheel tools'. Every Python of the row must have its wheel among those given, and
# the row's stable-ABI wheel (its abi3 column) is checked so on each of them too. The
# architecture's probe (tools/cpu-probes/ARCH.c), an instruction newer than the row promises (on
# x86_64 and i686, one of each extension the baseline excludes), must die of the
# illegal-instruction signal when started as each run of a wheel is: the proof that the run is on
# that processor.
# Then, but on x86_64 (whose wheels get the suite from the tests sessions of noxfile.py), the architecture's
# compiled code gets its behaviour tests once, on the row's "suite" Python, with the test hooks
# built with that wheel (build/test-hooks) and TORVANE_REQUIRE_HOOKS=1: the whole suite less the
# tests marked host_only (pyproject.toml), which are too long under emulation or check the sources
# rather than the module; natively where the row says so (i686), else under qemu on that
# processor. The differences between Pythons are proven natively on x86_64.
#
#   scripts/test-arch.sh ARCH [WHEEL...] [-- PYTEST-ARGS...]
#
# Everything is installed from this machine, by its own pip, which needs no emulation: the test
# dependencies of pyproject.toml's test group (fetched once into build/ARCH/wheels), the wheel,
# and the hooks module. What does not exercise the module is done natively or not at all:
# hypothesis's Unicode tables are made by the same Python version on x86_64 and handed over,
# and a failure is reported in the short form, without pytest's parsing of source files.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
usage() { sed -n 's|^#   \(scripts/test-arch.sh \)|\1|p' "$0"; }
source "$here/arches.sh"
cd "$root"
help_if_asked "$@"
case "${1:-}" in
  "") usage >&2; exit 2 ;;
esac
arch="$1"
shift
arch_names "$arch" || exit 2
wheels=()
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --) shift; pytest_args=("$@"); break ;;
    *.whl) wheels+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"); shift ;;
    *) usage >&2; exit 2 ;;
  esac
done
[ "${#wheels[@]}" -ne 0 ] || wheels=("$root"/dist/*_"$arch".whl)
[ -f "${wheels[0]}" ] || { echo "no $arch wheel in dist/: run scripts/wheels.sh first" >&2; exit 1; }
emulated=0
[ "$runs" = native ] || emulated=1

echo "== the $debian root (made once per machine)"
"$here/sid-root.sh" make "$debian"
# The oldest processor promised: qemu's model of it, for every program of the wheel's runs. The
# architectures this machine runs natively run under qemu explicitly, with -cpu; for the others
# the kernel starts qemu, which reads QEMU_CPU. Each is set only where it serves, so that a run
# that lost its way to the model gets qemu's default model, on which the probe below runs.
on_cpu=()
if [ "$runs" = native ]; then
  "$here/apt-install" qemu-user-static
  mkdir -p "$root/build/qemu"
  # Inside the root too, which sees the repository: a copy of the static emulator there.
  cp -u "/usr/bin/qemu-$qemu-static" "$root/build/qemu/"
  on_cpu=("$root/build/qemu/qemu-$qemu-static" -cpu "$cpu")
else
  export QEMU_CPU="$cpu"
fi
# in_root PYTHON ARGS...: runs the Python in the architecture's root, or the wheel tools' (the
# reference Python's) here.
in_root() {
  if [ "$1" = "$REFERENCE" ]; then shift; "$@"; else shift; "$here/sid-root.sh" run "$debian" "$@"; fi
}

# The host's tools: its pip, and the Python tags of the wheels.
host="${TORVANE_CACHE:-$HOME/.cache/torvane}/wheels/.venv-wheels/bin/python"
[ -x "$host" ] || { echo "no $host: run scripts/wheels.sh first" >&2; exit 1; }
work="$root/build/$arch"
mkdir -p "$work/wheels"

# The wheel runs on the processor promised, which refuses what is newer: the architecture's probe
# (tools/cpu-probes/ARCH.c, built by the wheels' zig for a newer processor, as its first line
# says) runs on qemu's default model, its newest, and dies of the illegal-instruction signal when
# started as each run of a wheel below is started: its check, and its behaviour tests under
# emulation. Each of the instructions its "// probes:" line names, where it has one.
echo "== the probe of a newer processor: it runs on qemu's newest $qemu model, not as the wheels run"
probe="$work/cpu-probe"
zig="$("$host" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')"
ZIG_GLOBAL_CACHE_DIR="$(dirname "$(dirname "$host")")/zig-cache" "$zig" cc -target "${target%% *}" \
  $(sed -n 's|^// zig: ||p' "tools/cpu-probes/$arch.c") -O1 "tools/cpu-probes/$arch.c" -o "$probe"
# Its verdicts (probe, refuses, runs), one for each extension the row excludes that its file names.
source "$here/cpu-probe.sh"
probe_names "tools/cpu-probes/$arch.c"
newest=(env -u QEMU_CPU "$here/sid-root.sh" run "$debian")
[ "$runs" != native ] || newest+=("$root/build/qemu/qemu-$qemu-static")
runs "${newest[@]}"

# The test group's runtime part, by the names and versions pyproject.toml gives.
mapfile -t deps < <("$host" - <<'PY'
import tomllib
from packaging.requirements import Requirement

group = tomllib.load(open("pyproject.toml", "rb"))["dependency-groups"]["runner"]
wanted = {"pytest", "pytest-timeout", "hypothesis"}
for item in group:
    if isinstance(item, str) and Requirement(item).name in wanted:
        print(item)
PY
)

minors=()
stable=""
own=()
for wheel in "${wheels[@]}"; do
  name="$(basename "$wheel")"
  tag="${name#*-*-}"
  # The stable-ABI wheel (cp312-abi3) is checked on each of the row's Pythons, after its own.
  if [[ "$tag" == cp3*-abi3-* ]]; then
    [ -z "$stable" ] || { echo "two stable-ABI wheels given" >&2; exit 1; }
    stable="$wheel"
    continue
  fi
  tag="${tag%%-*}"
  minors+=("3.${tag#cp3}")
  own+=("$wheel")
done
# Every Python of the row, each once: a wheel that was not built is a failure, not a gap.
if [ "$(printf '%s\n' "${minors[@]}" | sort)" != "$(printf '%s\n' $pythons | sort)" ]; then
  echo "the $arch wheels given are for Python ${minors[*]}; platforms.tsv promises $pythons" >&2
  exit 1
fi
[ -n "$stable" ] || [ "$abi3" = - ] ||
  { echo "no stable-ABI wheel of $arch given; platforms.tsv promises one" >&2; exit 1; }
wheels=("${own[@]}")
if [ -n "$stable" ]; then
  for minor in $pythons; do wheels+=("$stable") minors+=("$minor"); done
fi
full="$suite"

status=0
for i in "${!wheels[@]}"; do
  wheel="${wheels[$i]}" minor="${minors[$i]}"
  tag="cp${minor/./}"
  venv="$work/venv-$minor"
  site="$venv/lib/python$minor/site-packages"
  # How the wheel's check runs: in its Python's root (the reference's: here), on the row's
  # processor.
  check=(in_root "$minor" "${on_cpu[@]}")
  refuses "the check of the Python $minor wheel" "${check[@]}"
  echo "== Python $minor on $arch: a fresh environment with $(basename "$wheel")"
  rm -rf "$venv" "$work/hypothesis-$minor"
  if [ "$minor" = "$REFERENCE" ]; then
    "$host" -m venv --without-pip "$venv"
  else
    in_root "$minor" "python$minor" -m venv --without-pip "$venv"
  fi
  # For the target's Python and platform, from the local wheels only (fetched once).
  target=(--platform "manylinux_2_17_$arch" --platform "manylinux_2_31_$arch"
    --python-version "$minor" --implementation cp --abi "$tag" --only-binary=:all:)
  "$host" -m pip install --quiet --disable-pip-version-check --no-compile --no-deps \
    "${target[@]}" --target "$site" "$wheel"
  echo "== Python $minor on $arch: importing the module and checking what it gives, on qemu's $qemu CPU ${cpu%%,*}"
  "${check[@]}" "$venv/bin/python" -I tests/smoke.py "$VERSION" || status=1
  [ "$minor" = "$full" ] && [ "$wheel" != "$stable" ] || continue
  hooks="$root/build/test-hooks/$tag-$arch"
  if [ "$(cat "$hooks/wheel.sha256" 2>/dev/null)" != "$(sha256sum "$wheel" | cut -d' ' -f1)" ]; then
    echo "the test hooks in ${hooks#"$root"/} were not built with $(basename "$wheel"): run scripts/wheels.sh" >&2
    exit 1
  fi
  "$host" -m pip download --quiet --disable-pip-version-check "${target[@]}" -d "$work/wheels" \
    "${deps[@]}"
  "$host" -m pip install --quiet --disable-pip-version-check --no-compile --no-index \
    --find-links "$work/wheels" "${target[@]}" --target "$site" "${deps[@]}"
  cp "$hooks"/_torvane_testhooks.*.so "$site/"
  run=(env TORVANE_REQUIRE_HOOKS=1)
  if [ "$emulated" = 1 ]; then
    # hypothesis's Unicode tables (which characters each category and codec holds) take minutes
    # to make under emulation and do not touch the module: the same Python version makes them
    # natively, from the same hypothesis, into the storage the emulated run then reads.
    echo "== hypothesis's Unicode tables for Python $minor, made natively"
    native="$work/hypothesis-x86_64-$minor"
    rm -rf "$native"
    hypothesis="$(cd "$site" && ls -d hypothesis-*.dist-info)"
    hypothesis="${hypothesis#hypothesis-}"
    "$host" -m pip install --quiet --disable-pip-version-check --no-compile --target "$native" \
      --platform manylinux_2_17_x86_64 --python-version "$minor" --implementation cp \
      --abi "$tag" --only-binary=:all: "hypothesis==${hypothesis%.dist-info}"
    "$here/sid-root.sh" run amd64 /usr/bin/env PYTHONPATH="$native" \
      HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis-$minor" "python$minor" -W ignore -c '
from hypothesis import strategies as st
st.text().example()
st.characters(codec="utf-8").example()'
    # TORVANE_EMULATED=1: the tests that draw many random cases draw fewer, and child
    # interpreters get three times as long (tests/conftest.py).
    run+=(TORVANE_EMULATED=1 HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis-$minor")
  fi
  log="$work/pytest-$minor.log"
  echo "== Python $minor on $arch: the behaviour tests (log: ${log#"$root"/})"
  # Each test's limit is 900 s, over ten times the longest test under emulation (about 55 s
  # on a busy machine). --tb=native: a failure's report reads no source files, which pytest
  # would parse under emulation for minutes.
  suite=("$here/sid-root.sh" run "$debian" "${run[@]}")
  [ "$emulated" = 0 ] || refuses "the behaviour tests" "${suite[@]}"
  if "${suite[@]}" "$venv/bin/python" -m pytest \
    -p no:cacheprovider -m "not host_only" -q --timeout=900 --tb=native --durations=5 \
    "${pytest_args[@]}" >"$log" 2>&1; then
    echo "== Python $minor on $arch: $(tail -n 1 "$log")"
  else
    echo "== Python $minor on $arch: the behaviour tests FAILED; their output:"
    cat "$log"
    status=1
  fi
done
exit "$status"
