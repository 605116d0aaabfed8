#!/usr/bin/env bash
# usage: scripts/sanitize.sh [--python 3.12|3.13|3.14|3.15] [PYTEST ARGUMENTS...]
#
# Builds the module and its test hooks with AddressSanitizer and UndefinedBehaviorSanitizer into
# .venv-asan (.venv-asan-3.14 for `--python 3.14`, as scripts/test.sh picks its Python), then runs
# every test against that build. Fails on any test failure and on any sanitizer report, from this
# process or from any interpreter the tests start, and when the leak check ran in none of them;
# says how many were leak-checked and how many were not, and why.
# Extra arguments go to pytest.
if [ "${1:-}" = --python ]; then
  export TORVANE_PYTHON="${2:?--python needs a version: 3.12, 3.13, 3.14 or 3.15}"
  shift 2
fi
export TORVANE_VENV="${TORVANE_VENV:-$(cd "$(dirname "$0")/.." && pwd)/.venv-asan}"
export TORVANE_GROUPS=test
source "$(dirname "$0")/venv.sh"

# GCC 12's may-be-uninitialized analysis misfires on std::variant and std::optional moves once
# the sanitizers instrument them (in the test hooks); the ordinary build keeps the warning.
# Unstripped, so that reports name the module's functions.
step "building the module for this check" \
  python -m pip install -v --no-build-isolation --no-deps . -C cmake.define.TORVANE_WERROR=ON \
  -C build-dir="build/asan-$minor" -C cmake.define.TORVANE_TEST_HOOKS=ON \
  -C cmake.define.TORVANE_SANITIZE=ON -C cmake.define.CMAKE_CXX_FLAGS=-Wno-maybe-uninitialized \
  -C install.strip=false

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
  step "installing the sanitizer runtimes" bash -c \
    'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y libasan8 libubsan1' 
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

shopt -s nullglob
# Each interpreter that ran its exit handlers recorded whether its leak check ran, and if not, why.
checked=("$TORVANE_LSAN_RECORDS"/checked-*)
skipped=("$TORVANE_LSAN_RECORDS"/skipped-*)
echo "leak check: ${#checked[@]} processes checked, ${#skipped[@]} skipped"
if [ "${#skipped[@]}" -ne 0 ]; then
  awk 1 "${skipped[@]}" | sort | uniq -c | sort -rn | sed -E 's/^ *([0-9]+) /   \1 skipped: /'
fi

# A report is an error or a summary; a warning alone (a request too big to serve, answered with
# null as asked) is shown but fails nothing.
errors=()
for f in "$reports"/*; do
  if grep -qE 'ERROR:|runtime error:|SUMMARY:' "$f"; then
    errors+=("$f")
  else
    echo "sanitizer note from $(basename "$f"): $(head -c 300 "$f")" >&2
  fi
done
if [ "${#errors[@]}" -ne 0 ]; then
  echo "sanitizer reports (${#errors[@]} files):" >&2
  for f in "${errors[@]}"; do
    echo "==> $f" >&2
    head -n 80 "$f" >&2
  done
  exit 1
fi
echo "sanitizers: no reports"

if [ "${#checked[@]}" -eq 0 ]; then
  echo "leak check: no process of this run was checked" >&2
  exit 1
fi
exit "$status"
