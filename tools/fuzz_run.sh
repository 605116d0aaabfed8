#!/usr/bin/env bash
# usage: tools/fuzz_run.sh runs N|minutes N LOG FINDINGS -- FUZZER [ARGUMENTS...]
#
# One run of a libFuzzer program (the fuzz session of noxfile.py gives it the harness) and its verdict: runs
# FUZZER with its arguments and the limit, `runs N` (exactly N inputs: CI's fixed run) or
# `minutes N`, with the crashing input saved under FINDINGS, its output kept in LOG and its
# pulses and last lines shown. Fails when the fuzzer's own exit status is not 0, when it saved
# an input, or when a fixed run did not report exactly N inputs done.
usage() { echo "usage: tools/fuzz_run.sh runs N|minutes N LOG FINDINGS -- FUZZER [ARGUMENTS...]" >&2; exit 2; }
[ $# -ge 6 ] && [ "$5" = -- ] || usage
kind="$1" count="$2" log="$3" findings="$4"
shift 5
[[ "$count" =~ ^[1-9][0-9]*$ ]] || usage
case "$kind" in
  runs) limit=(-runs="$count") ;;
  minutes) limit=(-max_total_time=$((count * 60))) ;;
  *) usage ;;
esac
mkdir -p "$(dirname "$log")" "$findings"
start=$SECONDS
# The fuzzer's status, not the filters': a finding that saves no input (the interpreter
# stopped by a Python error, a signal) must fail the run too.
set -o pipefail
"$@" "${limit[@]}" -artifact_prefix="$findings/" 2>&1 | tee "$log" |
  { grep --line-buffered -E '^#[0-9]+[[:space:]]+(pulse|DONE|INITED)|^(Done|stat::)|ERROR|SUMMARY|Mismatch' || true; } |
  sed -u 's/^/   /'
status="${PIPESTATUS[0]}"
echo "== $((SECONDS - start)) s wall time"

# A slow input is saved too, but says only how busy the machine was: not a finding.
artifact="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | grep -v '/slow-unit-' | tail -n 1)"
last="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
if [ "$status" -ne 0 ] || [ -n "$artifact" ]; then
  echo "== the fuzzer found a fault (exit status $status); the end of its output ($log):" >&2
  grep -v '^    #[0-9]' "$log" | tail -n 40 >&2
  if [ -n "$artifact" ]; then
    echo "== the input is saved as $artifact; replay it with:" >&2
    echo "   scripts/nox -s fuzz -- --replay $artifact" >&2
  fi
  exit 1
fi
# A fixed run that ran any other number of inputs was not the run asked for.
if [ "$kind" = runs ] && ! [[ "$last" =~ ^#$count[[:space:]] ]]; then
  echo "== the fixed run did not report $count inputs done: '${last:-no DONE line}'" >&2
  exit 1
fi
echo "== no finding: $last"
