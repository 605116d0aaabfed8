"""Reports the coverage of torvane_core/src from a coverage build's counters, and gates it.

usage: python tools/coverage_gate.py BUILD_DIR REPORT_DIR

Runs gcovr over the counters (.gcda) under BUILD_DIR: the summary of lines, functions and
branches per file of torvane_core/src goes to the log, the full report (HTML, with every line,
and a JSON summary) to REPORT_DIR. The gate fails on any line or branch that is neither covered
nor excluded. Two kinds of exclusion only: the exception edges that the compiler adds to calls
(gcovr's --exclude-throw-branches), and a marker in the source, GCOVR_EXCL_LINE,
GCOVR_EXCL_BR_LINE or GCOVR_EXCL_START ... GCOVR_EXCL_STOP, followed on its line by ": " and
one of the REASONS below. The exclusions are printed counted by reason; tests/test_style.py
holds that count.
"""

import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = "torvane_core/src"
# Why a line or branch of the core cannot run in a test, each in one line.
REASONS = {
    "memory": "native memory exhausted: the process ends (the allocation-failure paths)",
    "cpython": "a guarantee CPython gives: the call cannot fail as it is made",
    "random": "the operating system refusing random bytes",
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


def main() -> int:
    build, reports = Path(sys.argv[1]), Path(sys.argv[2])
    reports.mkdir(parents=True, exist_ok=True)
    counts, bad = exclusions()
    print("== exclusions by reason:")
    for reason, text in REASONS.items():
        print(f"   {counts[reason]:3d}  {reason}: {text}")
    print("   the exception edges of calls, excluded as a class (--exclude-throw-branches)")
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
        "--txt-summary",
        "--print-summary",
        "--fail-under-line", "100", "--fail-under-branch", "100",
        str(build),
    ]
    # fmt: on
    result = subprocess.run(command, cwd=ROOT)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
