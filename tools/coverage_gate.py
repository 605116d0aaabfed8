"""Reports the coverage of torvane_core/src from a coverage build's counters, and gates it.

usage: python tools/coverage_gate.py BUILD_DIR REPORT_DIR RUN [--write-gaps]

Runs gcovr over the counters (.gcda) under BUILD_DIR: the summary of lines, functions and
branches per file of torvane_core/src goes to the log, the full report (HTML, with every line,
and a JSON summary) to REPORT_DIR. Two kinds of exclusion only: the exception edges that the
compiler adds to calls (gcovr's --exclude-throw-branches), and a marker in the source,
GCOVR_EXCL_LINE, GCOVR_EXCL_BR_LINE or GCOVR_EXCL_START ... GCOVR_EXCL_STOP, followed on its
line by ": " and one of the REASONS below. The exclusions are printed counted by reason;
tests/test_style.py holds that count.

The gate: every line and branch of every file covered or excluded, except the gaps that
tools/coverage_gaps.json still admits for RUN (the Python of scripts/test.sh --coverage), file
by file, as measured: CI's run, on Python 3.14's debug build with Debian's g++, is "3.14d". Each
compiler counts branches its own way, so a run without an entry admits none. A file with more
uncovered lines or branches than admitted fails the run; one with fewer says so, and
--write-gaps writes the measured gaps as RUN's entry.
"""

import json
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = "torvane_core/src"
GAPS = ROOT / "tools" / "coverage_gaps.json"
# Why a line or branch of the core cannot run in a test, each in one line.
REASONS = {
    "memory": "native memory exhausted: the process ends (the allocation-failure paths)",
    "cpython": "a guarantee CPython gives: the call cannot fail as it is made",
    "random": "the operating system refusing random bytes",
    "library": "a guarantee the C++ library gives: no container asks past its max_size()",
    "timing": "a path that only the threads' timing takes: covered or not as they happen to meet",
}
MARKER = re.compile(r"GCOVR_EXCL_(LINE|BR_LINE|START|STOP)\b(?::\s*(\S+))?")


def exclusions() -> tuple[Counter[str], list[str]]:
    """The markers of the sources counted by reason (STOP closes a START: not counted), and
    the markers that give no known reason."""
    counts: Counter[str] = Counter()
    bad = []
    for path in sorted((ROOT / SOURCES).rglob("*.[ch]pp")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            for kind, reason in MARKER.findall(line):
                if kind == "STOP":
                    continue
                if reason not in REASONS:
                    bad.append(f"{path.relative_to(ROOT)}:{number}: {line.strip()}")
                counts[reason] += 1
    return counts, bad


def measured_gaps(summary: Path) -> dict[str, list[int]]:
    """{file: [uncovered lines, uncovered branches]} of gcovr's JSON summary."""
    gaps = {}
    for f in json.loads(summary.read_text())["files"]:
        missed = [f["line_total"] - f["line_covered"], f["branch_total"] - f["branch_covered"]]
        if missed != [0, 0]:
            gaps[f["filename"]] = missed
    return dict(sorted(gaps.items()))


def main(argv: list[str]) -> int:
    build, reports, run = Path(argv[1]), Path(argv[2]), argv[3]
    reports.mkdir(parents=True, exist_ok=True)
    counts, bad = exclusions()
    print("== exclusions by reason:")
    for reason, text in REASONS.items():
        print(f"   {counts[reason]:3d}  {reason}: {text}")
    print("   and the exception edges of calls, as a class (--exclude-throw-branches)")
    if bad:
        print("== markers without a known reason:", *bad, sep="\n   ")
        return 1
    # fmt: off
    command = [
        sys.executable, "-m", "gcovr", "--root", str(ROOT), "--filter", f"{SOURCES}/",
        "--exclude-throw-branches", "--merge-mode-functions=separate",
        "--txt-metric=branch", "--txt", str(reports / "branches.txt"),
        "--txt-metric=line", "--txt", str(reports / "lines.txt"),
        "--html-details", str(reports / "index.html"),
        "--json-summary-pretty", "--json-summary", str(reports / "summary.json"),
        "--txt-summary", str(build),
    ]
    # fmt: on
    if subprocess.run(command, cwd=ROOT).returncode != 0:
        return 1
    print((reports / "lines.txt").read_text())
    gaps = measured_gaps(reports / "summary.json")
    table = json.loads(GAPS.read_text())
    if "--write-gaps" in argv:
        table[run] = gaps
        rows = [
            f"  {json.dumps(key)}: {{\n"
            + ",\n".join(f"    {json.dumps(name)}: {json.dumps(m)}" for name, m in entry.items())
            + "\n  }"
            for key, entry in sorted(table.items())
        ]
        GAPS.write_text("{\n" + ",\n".join(rows) + "\n}\n")
        print(f"== the measured gaps written to {GAPS.relative_to(ROOT)} as {run}'s")
        return 0
    admitted = table.get(run, {})
    worse, better = [], []
    for name in sorted(set(gaps) | set(admitted)):
        got, allowed = gaps.get(name, [0, 0]), admitted.get(name, [0, 0])
        if got[0] > allowed[0] or got[1] > allowed[1]:
            worse.append(f"{name}: {got[0]} lines, {got[1]} branches uncovered; {allowed} admitted")
        elif got != allowed:
            better.append(
                f"{name}: {got[0]} lines, {got[1]} branches uncovered; {allowed} admitted"
            )
    left = [sum(g[0] for g in gaps.values()), sum(g[1] for g in gaps.values())]
    print(f"== uncovered and not excluded: {left[0]} lines, {left[1]} branches")
    if better:
        print("== fewer gaps than admitted (lower tools/coverage_gaps.json):", *better, sep="\n   ")
    if worse:
        print("== COVERAGE FAILED: more gaps than admitted:", *worse, sep="\n   ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
