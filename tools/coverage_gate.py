"""Reports the coverage of torvane_core/src from a coverage build's counters, and gates it.

usage: python tools/coverage_gate.py BUILD_DIR REPORT_DIR [SUITE_STATUS]

Runs gcovr over the counters (.gcda) under BUILD_DIR: the summary of lines, functions and
branches per file of torvane_core/src goes to the log, the full report (HTML, with every line,
and a JSON summary) to REPORT_DIR. Two kinds of exclusion only. As a class, the code the
compiler adds for exceptions: gcovr's --exclude-throw-branches for the edges it adds to calls;
--exclude-noncode-lines and --exclude-unreachable-branches for the unwinding clean-ups it puts
on a closing brace, which run only when a call throws; and the branches of an entry's closing
line, `});` alone (CLOSING), where the body handed to the entry wrapper ends and no C++
exception arrives (failures are values). And a marker in the source, GCOVR_EXCL_LINE,
GCOVR_EXCL_BR_LINE or GCOVR_EXCL_START ... GCOVR_EXCL_STOP, followed on its line by ": " and one
of the REASONS below; the exclusions are printed counted by reason.

What the module's own code or the interpreter guarantees is no marker's: it is a claim
(TV_ALWAYS, TV_NEVER, TV_ASSERT of runtime/claims.hpp), which this build checks as it runs the
tests and compiles as a constant, so that the path it rules out is not code here.

The gate: every line and branch of every file covered or excluded; the run fails on any other,
and names the files that have them (the HTML report shows where). It also fails when gcovr
fails (an earlier run's summary is never judged), and when SUITE_STATUS, the exit status of the
suite that made the counters, is not 0: the report is made after a failed suite all the same.
"""

import json
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = "torvane_core/src"
# Why a line or branch of the core cannot run in a test, each in one line.
REASONS = {
    "random": "the operating system refusing random bytes",
    "timing": "a path that only the threads' timing takes: covered or not as they happen to meet",
    "compiler": "a test the compiler adds that cannot go the other way: a moved-from temporary's "
    "buffer to free, a switch's default over an enum",
    "system": "a frame outside the thread's stack, which no test runs on",
    "interpreter": "paths 3.14 leaves to itself, which the 3.12 and 3.13 runs take: its own stack "
    "check raises before the module's; it never ends a thread that waits for the lock; every call "
    "that fails sets its error",
    "assertion": "an assertion inside a CPython macro of the debug build, which holds",
    "second": "a second failure on the path of a first: the sweeps fail one allocation a run",
    "sweeps": "an allocation the sweeps cannot fail: from a free list, or made once before them",
    "boundary": "the boundary's last guard: no C++ exception reaches it (failures are values, and "
    "a failed native allocation ends the process)",
}
MARKER = re.compile(r"GCOVR_EXCL_(LINE|BR_LINE|START|STOP)\b(?::\s*([a-z]+))?")
# The closing line of an entry's body, whose branches gcovr leaves out (matched from the start
# of the line, as gcovr matches).
CLOSING = r"\s*\}\);$"


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
    suite = int(argv[3]) if len(argv) > 3 else 0
    verdict = gate(Path(argv[1]), Path(argv[2]))
    if suite != 0:
        print(f"== the suite failed (exit status {suite}): so does the run")
    return 1 if suite != 0 else verdict


def gate(build: Path, reports: Path) -> int:
    reports.mkdir(parents=True, exist_ok=True)
    counts, bad = exclusions()
    print("== exclusions by reason:")
    for reason, text in REASONS.items():
        print(f"   {counts[reason]:3d}  {reason}: {text}")
    print("   and, as a class, the code the compiler adds for exceptions and the branches of an")
    print(f"   entry's closing line, {CLOSING!r} (see the docstring)")
    if bad:
        print("== markers without a known reason:", *bad, sep="\n   ")
        return 1
    # fmt: off
    command = [
        sys.executable, "-m", "gcovr", "--root", str(ROOT), "--filter", f"{SOURCES}/",
        "--exclude-throw-branches", "--exclude-noncode-lines",
        "--exclude-unreachable-branches", "--exclude-branches-by-pattern", CLOSING,
        "--merge-mode-functions=separate",
        "--txt-metric=branch", "--txt", str(reports / "branches.txt"),
        "--txt-metric=line", "--txt", str(reports / "lines.txt"),
        "--html-details", str(reports / "index.html"),
        "--json-summary-pretty", "--json-summary", str(reports / "summary.json"),
        "--txt-summary", str(build),
    ]
    # fmt: on
    if subprocess.run(command, cwd=ROOT).returncode != 0:
        print("== gcovr failed: no report to judge")
        return 1
    print((reports / "lines.txt").read_text())
    return judge(reports / "summary.json")


def judge(summary: Path) -> int:
    """0 when gcovr's JSON summary has every line and branch covered (or excluded), else 1,
    naming each file with what it leaves uncovered."""
    gaps = measured_gaps(summary)
    left = [sum(g[0] for g in gaps.values()), sum(g[1] for g in gaps.values())]
    print(f"== uncovered and not excluded: {left[0]} lines, {left[1]} branches")
    if gaps:
        print(
            "== COVERAGE FAILED: cover these, or mark them with their reason:",
            *(f"{name}: {m[0]} lines, {m[1]} branches" for name, m in gaps.items()),
            sep="\n   ",
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
