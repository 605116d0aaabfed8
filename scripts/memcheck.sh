#!/usr/bin/env bash
# usage: scripts/memcheck.sh
#
# Runs the reliability workload under valgrind's memcheck: every entry point on every success
# and failure path, one injected allocation failure at every point of each path's run, and at
# every point of the module's creation. Fails on any invalid read or write, any other memcheck
# error, and any block definitely lost.
#
# The module is built for this check alone (in .venv-memcheck), unstripped and with debug
# information, so that reports name the module's functions and lines.
venv_name=.venv-memcheck venv_groups=build
source "$(dirname "$0")/venv.sh"

command -v valgrind >/dev/null ||
  step "installing valgrind" scripts/apt-install valgrind

variant memcheck
step "building the module for this check" \
  python -m pip install -v --no-build-isolation --no-deps . -C build-dir=build/memcheck \
  "${variant_args[@]}"

out="$root/build/memcheck/reports"
rm -rf "$out"
mkdir -p "$out/scratch"

# Every Python allocation goes straight to malloc, where memcheck sees it.
export PYTHONMALLOC=malloc
memcheck=(valgrind --tool=memcheck --error-exitcode=99
          --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
          --suppressions="$root/tools/valgrind.supp" --num-callers=40
          --xml=yes --xml-file="$out/memcheck.%p.xml")

status=0
# The workload ends its process before the interpreter is finalised (--exit-now), so that what
# the interpreter never frees on purpose is still reachable and only true losses are reported.
# Their stderr holds the diagnostics of the internal failures the sweeps provoke.
echo "== the reliability workload under memcheck (about 40 s)"
"${memcheck[@]}" python tests/reliability_workload.py run 10 --sweep --exit-now \
  >"$out/run.json" 2>"$out/run.stderr" || status=$?
echo "== the import under an allocation failure at each point, under memcheck (about 20 s)"
"${memcheck[@]}" python tests/reliability_workload.py import-sweep entry "$out/scratch" --exit-now \
  >"$out/import-sweep.jsonl" 2>"$out/import-sweep.stderr" || status=$?

python - "$out" "$status" <<'PY'
import glob
import json
import sys
import xml.etree.ElementTree as ET

out, status = sys.argv[1], int(sys.argv[2])
failed = status != 0

run = json.load(open(f"{out}/run.json"))
if run["problems"]:
    failed = True
    print("workload problems:", *run["problems"][:20], sep="\n  ")
sweep = [json.loads(line) for line in open(f"{out}/import-sweep.jsonl")]
if not sweep or not sweep[-1].get("complete") or any(r["status"] != 0 for r in sweep):
    failed = True
    print("the import sweep did not complete cleanly")

def own(frame):
    return "_torvane_core" in (frame.findtext("obj") or "") or "torvane_core/" in (
        frame.findtext("dir") or "")

errors = own_errors = lost = 0
files = sorted(glob.glob(f"{out}/memcheck.*.xml"))
for path in files:
    root = ET.parse(path).getroot()
    for error in root.iter("error"):
        errors += 1
        kind = error.findtext("kind")
        stack = error.find("stack")
        frames = list(stack) if stack is not None else []
        mine = any(own(f) for f in frames)
        own_errors += mine
        if kind.startswith("Leak_"):
            lost += int(error.findtext("xwhat/leakedbytes") or 0)
        what = error.findtext("what") or error.findtext("xwhat/text")
        print(f"{kind}{' (in the module)' if mine else ''}: {what}  [{path}]")
        for f in frames[:12]:
            print(f"    {f.findtext('fn') or '?'} {f.findtext('file') or f.findtext('obj') or ''}"
                  f":{f.findtext('line') or ''}")
print(f"memcheck: {len(files)} processes ({len(sweep)} import attempts, "
      f"{run['rounds']} rounds of {run['paths']} paths, {run['failure_points']} failure "
      f"points), {errors} errors ({own_errors} in the module's frames), "
      f"definitely lost: {lost} bytes")
sys.exit(1 if failed or errors else 0)
PY
