#!/usr/bin/env bash
# usage: scripts/sanitize.sh [--python MINOR] [PYTEST ARGUMENTS...]
#
# Builds the module and its test hooks with AddressSanitizer and UndefinedBehaviorSanitizer into
# .venv-asan (.venv-asan-3.14 for `--python 3.14`, as scripts/test.sh picks its Python), then runs
# every test against that build. Fails on any test failure and on any sanitizer report, from this
# process or from any interpreter the tests start, and when the leak check ran in none of them;
# says how many were leak-checked and how many were not, and why.
# Extra arguments go to pytest.
venv_name=.venv-asan venv_groups=test
source "$(dirname "$0")/venv.sh"

# The sanitize preset (CMakePresets.json): the test hooks too, unstripped.
variant sanitize
step "building the module for this check" \
  python -m pip install -v --no-build-isolation --no-deps . \
  -C build-dir="build/asan-$minor" "${variant_args[@]}"

# The leak check runs before the interpreter is finalised, from an exit handler that every
# interpreter of this environment installs at start-up (see tools/lsan_at_exit.py).
site="$(python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
cp tools/lsan_at_exit.py "$site/_torvane_lsan_at_exit.py"
echo "import _torvane_lsan_at_exit" >"$site/_torvane_lsan_at_exit.pth"

# The interpreter is not instrumented, so the runtimes come in first through the preload list;
# the sanitized extensions then find them already loaded.
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
if [ ! -f "$asan" ] || [ ! -f "$ubsan" ]; then
  step "installing the sanitizer runtimes" scripts/apt-install libasan8 libubsan1
  asan="$(g++ -print-file-name=libasan.so)"
  ubsan="$(g++ -print-file-name=libubsan.so)"
fi
[ -f "$asan" ] && [ -f "$ubsan" ] || { echo "sanitizer runtimes not found" >&2; exit 1; }

reports="$root/build/asan-$minor/reports"
# Where each interpreter records whether its leak check ran (see tools/lsan_at_exit.py).
export TORVANE_LSAN_RECORDS="$root/build/asan-$minor/leak-checks"
rm -rf "$reports" "$TORVANE_LSAN_RECORDS"
mkdir -p "$reports" "$TORVANE_LSAN_RECORDS"

# Every Python allocation goes straight to malloc, where the sanitizer sees it.
export PYTHONMALLOC=malloc
export LD_PRELOAD="$asan:$ubsan"
# Reports go to files rather than to stderr: interpreters started by the tests inherit this
# environment, and a report from one whose stderr no test reads must fail the run as well.
# A request too big to serve returns null, as malloc does, so that the module's own handling of
# exhausted memory is what the tests see.
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:halt_on_error=1:exitcode=86:log_path=$reports/asan:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:exitcode=87"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=88:log_path=$reports/ubsan"
# Tests that measure what the sanitizers distort (resident memory, timings) or that run
# another memory checker step aside or scale down.
export TORVANE_SANITIZED=1

# The hooks were just built: a test that cannot import them fails instead of skipping.
export TORVANE_REQUIRE_HOOKS=1

status=0
echo "== running the tests against the sanitized build (Python $minor)"
python -m pytest -p no:cacheprovider "$@" || status=$?

# The leak-check records, the sanitizers' reports and the tests' status make the verdict.
exec bash "$root/tools/sanitizer_verdict.sh" "$TORVANE_LSAN_RECORDS" "$reports" "$status"
