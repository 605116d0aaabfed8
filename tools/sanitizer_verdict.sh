#!/usr/bin/env bash
# usage: tools/sanitizer_verdict.sh RECORDS REPORTS STATUS
#
# The verdict of the asan sessions (noxfile.py) once its tests have run: RECORDS is the folder where every
# interpreter recorded whether its leak check ran (tools/lsan_at_exit.py), REPORTS the sanitizers'
# report files, STATUS the tests' exit status. Says how many processes were leak-checked and
# why the others were not, shows every report, and fails on a report that is an error, when no
# process was checked at all, or else with STATUS.
records="${1:?usage: tools/sanitizer_verdict.sh RECORDS REPORTS STATUS}"
reports="${2:?usage: tools/sanitizer_verdict.sh RECORDS REPORTS STATUS}"
status="${3:?usage: tools/sanitizer_verdict.sh RECORDS REPORTS STATUS}"

shopt -s nullglob
# Each interpreter that ran its exit handlers recorded whether its leak check ran, and if not, why.
checked=("$records"/checked-*)
skipped=("$records"/skipped-*)
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
