#!/usr/bin/env bash
# usage: scripts/fuzz.sh [--minutes N | --replay FILE]
#
# CI's fuzz stage: builds the module with clang 16 for libFuzzer's coverage, with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake's TORVANE_FUZZ), into .venv-fuzz (made
# once, with atheris), then runs the harness fuzz/harness.py, which calls every entry
# point of the module with arguments made from the fuzzer's bytes and checks each outcome
# against its oracle, for a fixed number of inputs with a fixed seed, starting from the seed
# corpus fuzz/corpus. About a minute on one busy core once the environment exists.
# Installs clang 16, its runtimes and libc++ 16 (scripts/apt-install) when they are missing.
#
# A finding (a crash, a sanitizer report, an outcome the oracle does not expect) fails the
# run: its input is saved under build/fuzz/findings/ and the command that replays it is printed.
#
#   --minutes N    fuzz for N minutes instead of the fixed number of inputs (same seed; the
#                  inputs found are kept in build/fuzz/corpus, which a later run starts from)
#   --replay FILE  run one saved input again, with the same build and settings
#
# Every run ends with libFuzzer's figures: inputs run, edges covered (cov) and features (ft).
# The full output is kept in build/logs/fuzz.log.
case "${1:-}" in
  -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
esac
venv_name=.venv-fuzz venv_groups=build
echo "== entering the environment $venv_name (made on first use)"
source "$(dirname "$0")/venv.sh"
# atheris and the instrumented build are for the reference Python of this machine alone.
if [ "$minor" != "$(cat .python-version)" ] || [ -n "$arch" ]; then
  echo "the fuzzer runs on Python $(cat .python-version) of this machine only" >&2
  exit 1
fi
minutes=""
replay=""
case "${1:-}" in
  "") ;;
  --minutes)
    minutes="${2:?--minutes needs a number}"
    [[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "--minutes takes a whole number, not '$minutes'" >&2; exit 1; }
    ;;
  --replay) replay="$(realpath "${2:?--replay needs the file of an input}")" ;;
  *) echo "unknown argument '$1' (see scripts/fuzz.sh --help)" >&2; exit 1 ;;
esac

# CI's figures: inputs and seed of the fixed run (about a minute on one busy core). The edges
# covered stop growing within the first 130,000 inputs (542 of them); the features reached grow
# by under 2 % between 250,000 and a million. Longer searches are --minutes' work.
RUNS=250000
SEED=20260
# Inputs longer than this add nothing the harness can read (it takes a few dozen bytes a call).
MAX_LEN=512

# clang 16 makes the instrumentation; its own libFuzzer is not used (atheris brings one, linked
# into its preloaded sanitizer runtime); libc++ 16 has the C++23 library parts the code needs,
# which g++ 12's library offers clang 16 only in part (std::expected needs newer concepts).
if ! command -v clang++-16 >/dev/null 2>&1 || [ ! -f /usr/lib/llvm-16/include/c++/v1/expected ] ||
  [ ! -f /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a ]; then
  step "installing clang 16, its runtimes and libc++ 16" \
    scripts/apt-install clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev
fi
if [ "$(python -c 'import importlib.metadata as m; print(m.version("atheris"))' 2>/dev/null)" != 3.1.0 ]; then
  step "installing atheris into $(basename "$venv")" python -m pip install --progress-bar off atheris==3.1.0
fi

# The fuzz preset of CMakePresets.json: TORVANE_FUZZ, by clang 16 with libc++, unstripped, so
# that reports name the module's functions.
variant fuzz
step "building the module for the fuzzer with clang 16, ASan and UBSan (build/fuzz/build)" \
  python -m pip install -v --no-build-isolation --no-deps . -C build-dir=build/fuzz/build \
  "${variant_args[@]}"

# The interpreter is not instrumented: atheris's AddressSanitizer runtime, with libFuzzer linked
# into it, comes in first through the preload list (UBSan's handlers are part of it).
runtime="$(python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
[ -f "$runtime" ] || { echo "atheris's runtime $runtime is missing" >&2; exit 1; }
export LD_PRELOAD="$runtime"
# The interpreter keeps memory to the end on purpose: no leak check. A report ends the run.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONHASHSEED=0
harness=(python "$root/fuzz/harness.py")
replay_command() { echo "scripts/fuzz.sh --replay $(realpath --relative-to="$root" "$1")"; }

if [ -n "$replay" ]; then
  echo "== replaying $replay"
  exec "${harness[@]}" "$replay"
fi

seeds="$root/fuzz/corpus"
step "checking that the ordinary suite reads the seed corpus as atheris does" \
  "${harness[@]}" --check-provider "$seeds"/*

findings="$root/build/fuzz/findings"
corpus="$root/build/fuzz/corpus"
mkdir -p "$findings" "$corpus"
if [ -z "$minutes" ]; then
  # The fixed run starts from the committed seeds alone, so that CI's figures repeat.
  rm -rf "$corpus"
  mkdir -p "$corpus"
  limits=(-runs="$RUNS")
  echo "== fuzzing: $RUNS inputs, seed $SEED, from the $(ls "$seeds" | wc -l) seed inputs"
else
  limits=(-max_total_time=$((minutes * 60)))
  echo "== fuzzing for $minutes minutes, seed $SEED, from the seed inputs and $(ls "$corpus" | wc -l) found before"
fi
log="$root/build/logs/fuzz.log"
mkdir -p "$(dirname "$log")"
start=$SECONDS
# New inputs go to the first folder; the seeds are only read. The pulses and the last lines are
# shown as they come.
set +e +o pipefail
"${harness[@]}" "${limits[@]}" -seed="$SEED" -max_len="$MAX_LEN" -print_final_stats=1 \
  -artifact_prefix="$findings/" "$corpus" "$seeds" 2>&1 | tee "$log" |
  grep --line-buffered -E '^#[0-9]+[[:space:]]+(pulse|DONE|INITED)|^(Done|stat::)|ERROR|SUMMARY|Mismatch' |
  sed -u 's/^/   /'
status="${PIPESTATUS[0]}"
set -e -o pipefail
echo "== $((SECONDS - start)) s wall time"

artifact="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)"
if [ "$status" -ne 0 ] || [ -n "$artifact" ]; then
  echo "== the fuzzer found a fault (exit status $status); the end of its output ($log):" >&2
  grep -v '^    #[0-9]' "$log" | tail -n 40 >&2
  if [ -n "$artifact" ]; then
    echo "== the input is saved as $artifact; replay it with:" >&2
    echo "   $(replay_command "$artifact")" >&2
  fi
  exit 1
fi
last="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
echo "== no finding: $last"
