#!/usr/bin/env bash
# usage: scripts/fuzz.sh [--minutes N | --replay FILE]
#
# CI's fuzz stage: builds the module with clang 16 for libFuzzer's coverage, with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake's TORVANE_FUZZ), into .venv-fuzz (made
# once, with atheris), then runs the harness fuzz/harness.py, which calls every entry
# point of the module with arguments made from the fuzzer's bytes and checks each outcome
# against its oracle, for a fixed number of inputs with a fixed seed, starting from the seed
# corpus fuzz/corpus. About two minutes on one busy core once the environment exists.
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

# CI's figures (the fixed run's inputs, the seed, the dictionary) are facts.tsv's, which
# tools/fuzz_run.sh reads. Inputs longer than this add nothing the harness can read (it takes a
# few dozen bytes a call; an input's names take at most 203).
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

# A build that lost one of its instruments would fuzz without seeing what that one reports:
# the module must call the coverage callbacks and both sanitizers' handlers.
module=("$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"/orvantis/_torvane_core.*.so)
calls="$(nm -D --undefined-only "${module[0]}")"
for instrument in __sanitizer_cov_ __asan_report_ __ubsan_handle_; do
  [[ "$calls" == *" $instrument"* ]] ||
    { echo "the fuzz build ${module[0]} lacks its instrumentation: no $instrument* calls" >&2; exit 1; }
done

# The interpreter is not instrumented: atheris's AddressSanitizer runtime, with libFuzzer linked
# into it, comes in first through the preload list (UBSan's handlers are part of it). Its
# libFuzzer finds a custom mutator only among the objects loaded with it: atheris's module that
# hands libFuzzer the harness's mutator is preloaded too, into the interpreter alone (it needs
# the interpreter's symbols); tools/fuzz_run.sh fails a run that says it did not find it.
atheris_dir="$(python -c 'import atheris; print(atheris.path())')"
runtime="$atheris_dir/asan_with_fuzzer.so"
mutator=("$atheris_dir"/atheris/custom_mutator.cpython-*.so)
[ -f "$runtime" ] && [ -f "${mutator[0]}" ] ||
  { echo "atheris's runtime $runtime or its mutator module ${mutator[0]} is missing" >&2; exit 1; }
export LD_PRELOAD="$runtime"
# The interpreter keeps memory to the end on purpose: no leak check. A report ends the run.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONHASHSEED=0
harness=(env LD_PRELOAD="$runtime ${mutator[0]}" python "$root/fuzz/harness.py")

if [ -n "$replay" ]; then
  echo "== replaying $replay"
  exec "${harness[@]}" "$replay"
fi

seeds="$root/fuzz/corpus"
step "checking that the ordinary suite reads the seed corpus as atheris does" \
  "${harness[@]}" --check-provider "$seeds"/*

findings="build/fuzz/findings"
corpus="$root/build/fuzz/corpus"
mkdir -p "$corpus"
if [ -z "$minutes" ]; then
  # The fixed run starts from the committed seeds alone, so that CI's figures repeat.
  rm -rf "$corpus"
  mkdir -p "$corpus"
  limit=(fixed)
  echo "== fuzzing: $(fact fuzz_runs) inputs, seed $(fact fuzz_seed), from the $(ls "$seeds" | wc -l) seed inputs"
else
  limit=(minutes "$minutes")
  echo "== fuzzing for $minutes minutes, seed $(fact fuzz_seed), from the seed inputs and $(ls "$corpus" | wc -l) found before"
fi
# New inputs go to the first folder; the seeds are only read. The harness's mutator edits the
# names of an input as names (fuzz/strategies.py); libFuzzer's own mutations, with the
# dictionary's words and the operands of the module's comparisons, edit the rest and the names
# alike, and the value profiles keep the inputs whose names come closer to those compared.
tools/fuzz_run.sh "${limit[@]}" build/logs/fuzz.log "$findings" -- \
  "${harness[@]}" -max_len="$MAX_LEN" -print_final_stats=1 -use_value_profile=1 \
  "$corpus" "$seeds"
