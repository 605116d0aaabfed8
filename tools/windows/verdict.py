"""The verdict of a run under Wine, from what the run itself reported. Wine 8 exits 0 when the
process dies of an unhandled exception with faulthandler on (pytest turns it on), so its status
alone proves nothing: it counts, but the run's own report decides.

    python tools/windows/verdict.py smoke LOG STATUS
    python tools/windows/verdict.py suite LOG STATUS JUNIT FILE...
    python tools/windows/verdict.py bench LOG STATUS

LOG is the run's output, STATUS Wine's exit status. smoke: tests/smoke.py's own last line.
suite: pytest's result line (passes and skips alone, nothing deselected) and its JUnit report,
which holds tests of every FILE (what the run must collect).
bench: the harness's report, from its first line to its last table. Prints what failed; exits 1
unless the run passed."""

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

SMOKE = "smoke ok"
# pytest's result line: "= 671 passed, 6 skipped in 42.10s =", and the words it may hold when
# every test passed.
RESULT = re.compile(r"^=+ (.+) in [\d.]+s(?: \([\d:]+\))? =+$")
PASSING = {"passed", "skipped", "xfailed", "warning", "warnings"}
# The harness's first line names the module, its last section is the memory table.
BENCH_FIRST = "orvantis._torvane_core "
BENCH_LAST = "Native memory, as growth of the resident size:"


def smoke(lines: list[str]) -> str | None:
    last = lines[-1] if lines else "nothing"
    return None if last == SMOKE else f'its last line is not "{SMOKE}": {last}'


def suite(lines: list[str], junit: str, *files: str) -> str | None:
    results = [m[1] for m in map(RESULT.match, lines) if m]
    if not results:
        return "no result line of pytest's"
    counts = {word: int(n) for n, word in re.findall(r"(\d+) (\w+)", results[-1])}
    if not counts.keys() <= PASSING or not counts.get("passed"):
        return f"pytest's result: {results[-1]}"
    try:
        cases = list(ET.parse(junit).getroot().iter("testcase"))
    except (OSError, ET.ParseError) as error:
        return f"no JUnit report: {error}"
    # A test file skipped whole is a case with no class, named by the file's module.
    names = {case.get("classname") or case.get("name", "") for case in cases}
    missing = [
        f for f in files if not any(n == module(f) or n.startswith(module(f) + ".") for n in names)
    ]
    return f"no test collected from {', '.join(missing)}" if missing else None


def module(file: str) -> str:
    return Path(file).with_suffix("").as_posix().replace("/", ".")


def bench(lines: list[str]) -> str | None:
    if not lines or not lines[0].startswith(BENCH_FIRST):
        return "not the harness's report"
    if BENCH_LAST not in lines or not lines[-1].startswith("|"):
        return "the harness's report ends before its last table"
    return None


def main(argv: list[str]) -> int:
    kind, log, status, *rest = argv
    lines = [line.rstrip() for line in Path(log).read_text(errors="replace").splitlines()]
    lines = [line for line in lines if line]
    failure = {"smoke": smoke, "suite": suite, "bench": bench}[kind](lines, *rest)
    if failure is None and status != "0":
        failure = f"Wine's exit status {status}"
    if failure is not None:
        print(f"== the {kind} run did not pass: {failure} (its output: {log})", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
