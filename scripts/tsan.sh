#!/usr/bin/env bash
# Builds the module and its test hooks with ThreadSanitizer into .venv-tsan, then runs the tests
# of the shard lock and the registries against that build. The memory orders of the lock (an
# increment that does not acquire, say) make no difference that a test can see on x86-64, but
# they do to ThreadSanitizer, which follows every happens-before edge they make. Fails on any
# test failure and on any ThreadSanitizer report, from this process or any interpreter the
# tests start. Takes about a minute once the environment exists.
usage="usage: scripts/tsan.sh [pytest arguments]
  Builds the module and its test hooks with ThreadSanitizer into .venv-tsan, then runs the
  lock and registry tests (tests/test_formulas.py, tests/test_quarks_ckm.py::TestQuarks and
  tests/test_reliability_threads.py) with the runtime preloaded; arguments, if any, are
  passed to pytest instead of that selection. Fails on any test failure or report (the
  reports are written under build/tsan/reports)."
case "${1:-}" in -h | --help) echo "$usage"; exit 0 ;; esac

venv_name=.venv-tsan venv_groups=test
# Its own selection takes no source check, nor their checkers.
[ "$#" -ne 0 ] || venv_checkers=0
echo "== entering the environment $venv_name (made on first use)"
source "$(dirname "$0")/venv.sh"

# The tsan preset (CMakePresets.json): the test hooks too, unstripped.
variant tsan
step "building the module and the test hooks with ThreadSanitizer (build/tsan)" \
  python -m pip install -v --no-build-isolation --no-deps . -C build-dir=build/tsan \
  "${variant_args[@]}"

# The interpreter is not instrumented, so the runtime comes in first through the preload list;
# the instrumented extensions then find it already loaded.
tsan="$(g++ -print-file-name=libtsan.so)"
if [ ! -f "$tsan" ]; then
  step "installing the ThreadSanitizer runtime" scripts/apt-install libtsan2
  tsan="$(g++ -print-file-name=libtsan.so)"
fi
[ -f "$tsan" ] || { echo "the ThreadSanitizer runtime was not found" >&2; exit 1; }

reports="$root/build/tsan/reports"
rm -rf "$reports"
mkdir -p "$reports"

# Every Python allocation goes straight to malloc, where the sanitizer sees blocks come and go.
export PYTHONMALLOC=malloc
export LD_PRELOAD="$tsan"
# Reports go to files rather than to stderr: interpreters started by the tests inherit this
# environment, and a report from one whose stderr no test reads must fail the run as well.
# The runtime's own false reports are suppressed there, each with its reason (tools/tsan.supp).
export TSAN_OPTIONS="halt_on_error=0:exitcode=89:log_path=$reports/tsan:second_deadlock_stack=1:suppressions=$root/tools/tsan.supp"
# Tests that measure what the sanitizer distorts (resident memory, timings) step aside.
export TORVANE_SANITIZED=1
# The hooks were just built: a test that cannot import them fails instead of skipping.
export TORVANE_REQUIRE_HOOKS=1

selection=(tests/test_formulas.py tests/test_quarks_ckm.py::TestQuarks
           tests/test_reliability_threads.py)
[ "$#" -eq 0 ] || selection=("$@")
echo "== running ${selection[*]} under ThreadSanitizer"
status=0
# This runtime wants the address space laid out without the widest randomisation some kernels
# use (vm.mmap_rnd_bits above 28); setarch -R turns randomisation off for the run.
setarch "$(uname -m)" -R python -m pytest -p no:cacheprovider "${selection[@]}" || status=$?

shopt -s nullglob
files=("$reports"/*)
if [ "${#files[@]}" -ne 0 ]; then
  echo "ThreadSanitizer reports (${#files[@]} files):" >&2
  for f in "${files[@]}"; do
    echo "==> $f" >&2
    head -n 80 "$f" >&2
  done
  exit 1
fi
echo "ThreadSanitizer: no reports"
exit "$status"
