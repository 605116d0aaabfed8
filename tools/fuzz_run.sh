#!/usr/bin/env bash
# usage: tools/fuzz_run.sh fixed|minutes N LOG FINDINGS -- FUZZER [ARGUMENTS...]
#
# One run of a libFuzzer program (the fuzz session of noxfile.py gives it the harness) and its
# verdict: runs FUZZER with its arguments, the seed and dictionary of facts.tsv (fuzz_seed,
# fuzz_dict) and the limit: `fixed`, CI's fixed run of fuzz_runs inputs, or `minutes N`; the
# crashing input is saved under FINDINGS, the output kept in LOG, its pulses and last lines shown. Fails when the
# fuzzer's own exit status is not 0, when it saved an input, when its own report does not show
# the custom mutator found, the seed and every word of the dictionary taken, or when a fixed run
# did not report exactly its inputs done.
usage() { echo "usage: tools/fuzz_run.sh fixed|minutes N LOG FINDINGS -- FUZZER [ARGUMENTS...]" >&2; exit 2; }
case "${1:-}" in
  fixed) [ $# -ge 5 ] && [ "$4" = -- ] || usage; kind=fixed log="$2" findings="$3"; shift 4 ;;
  minutes) [ $# -ge 6 ] && [ "$5" = -- ] || usage; kind=minutes count="$2" log="$3" findings="$4"
    shift 5
    [[ "$count" =~ ^[1-9][0-9]*$ ]] || usage ;;
  *) usage ;;
esac
source "$(dirname "$0")/../scripts/arches.sh"
seed="$(fact fuzz_seed)" && dict="$tables_dir/$(fact fuzz_dict)" || exit 2
if [ "$kind" = fixed ]; then
  count="$(fact fuzz_runs)" || exit 2
  limit=(-runs="$count")
else
  limit=(-max_total_time=$((count * 60)))
fi
# libFuzzer's dictionary format: one quoted word a line, comments and blank lines aside.
words="$(grep -c '^"' "$dict")"
mkdir -p "$(dirname "$log")" "$findings"
start=$SECONDS
# The fuzzer's status, not the filters': a finding that saves no input (the interpreter
# stopped by a Python error, a signal) must fail the run too.
set -o pipefail
"$@" -seed="$seed" -dict="$dict" "${limit[@]}" -artifact_prefix="$findings/" 2>&1 | tee "$log" |
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
# A run without the harness's mutator, its seed or its dictionary, or a fixed run that ran any other number of inputs,
# was not the run asked for; libFuzzer's own lines say what it took.
if ! grep -q "^INFO: found LLVMFuzzerCustomMutator" "$log"; then
  echo "== the run did not use the harness's mutator (libFuzzer did not find it)" >&2
  exit 1
fi
if ! grep -qx "INFO: Seed: $seed" "$log"; then
  echo "== the run did not take the seed $seed: '$(grep -m1 'INFO: Seed:' "$log")'" >&2
  exit 1
fi
if ! grep -qx "Dictionary: $words entries" "$log"; then
  echo "== the run did not take the $words words of $dict: '$(grep -m1 '^Dictionary:' "$log")'" >&2
  exit 1
fi
if [ "$kind" = fixed ] && ! [[ "$last" =~ ^#$count[[:space:]] ]]; then
  echo "== the fixed run did not report $count inputs done: '${last:-no DONE line}'" >&2
  exit 1
fi
echo "== no finding: $last"
