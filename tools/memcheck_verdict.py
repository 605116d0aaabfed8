"""The verdict of the memcheck session (noxfile.py) once the workload has run under valgrind:
`python tools/memcheck_verdict.py OUT STATUS`, where OUT holds the workload's results (run.out,
import-sweep.out) and memcheck's XML reports, and STATUS is valgrind's. Fails on a non-zero
status, a problem the workload reports, an import sweep that did not complete cleanly, and any
memcheck error; prints each error with its stack and the totals."""

import glob
import json
import sys
import xml.etree.ElementTree as ET

out, status = sys.argv[1], int(sys.argv[2])
failed = status != 0

run = json.load(open(f"{out}/run.out"))
if run["problems"]:
    failed = True
    print("workload problems:", *run["problems"][:20], sep="\n  ")
sweep = [json.loads(line) for line in open(f"{out}/import-sweep.out")]
if not sweep or not sweep[-1].get("complete") or any(r["status"] != 0 for r in sweep):
    failed = True
    print("the import sweep did not complete cleanly")


def own(frame: ET.Element) -> bool:
    return "_torvane_core" in (frame.findtext("obj") or "") or "torvane_core/" in (
        frame.findtext("dir") or ""
    )


errors = own_errors = lost = 0
files = sorted(glob.glob(f"{out}/memcheck.*.xml"))
for path in files:
    root = ET.parse(path).getroot()
    for error in root.iter("error"):
        errors += 1
        kind = error.findtext("kind") or ""
        stack = error.find("stack")
        frames = list(stack) if stack is not None else []
        mine = any(own(f) for f in frames)
        own_errors += mine
        if kind.startswith("Leak_"):
            lost += int(error.findtext("xwhat/leakedbytes") or 0)
        what = error.findtext("what") or error.findtext("xwhat/text")
        print(f"{kind}{' (in the module)' if mine else ''}: {what}  [{path}]")
        for f in frames[:12]:
            print(
                f"    {f.findtext('fn') or '?'} {f.findtext('file') or f.findtext('obj') or ''}"
                f":{f.findtext('line') or ''}"
            )
print(
    f"memcheck: {len(files)} processes ({len(sweep)} import attempts, "
    f"{run['rounds']} rounds of {run['paths']} paths, {run['failure_points']} failure "
    f"points), {errors} errors ({own_errors} in the module's frames), "
    f"definitely lost: {lost} bytes"
)
sys.exit(1 if failed or errors else 0)
