"""Where the time goes: instructions per call of one entry point, ours against its floor (and
twin), counted by callgrind. Each variant's loop runs twice, with a short and a long count; the
difference per extra call cancels start-up and import, and the same difference per function
shows which code pays for it.

    python -m bench.instructions "PyFormulasRegistry.get(\\"b3\\")" --top 12

Build with `-C install.strip=false` for function names inside the extensions.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Sequence
from pathlib import Path

SHORT, LONG = 200, 2200
_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$")


def run_loop(case_name: str, variant: str, count: int) -> None:
    from bench.run import build_case, entry_cases

    cases = {case.name: case for case in [*entry_cases(), build_case()]}
    cases[case_name].loops[variant](count)


def per_function(profile: Path) -> Counter[str]:
    out = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", str(profile)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    body = out.split("file:function", 1)[-1]
    costs: Counter[str] = Counter()
    for line in body.splitlines():
        if (m := _LINE.match(line)) is not None:
            name = re.sub(r"\s+\[[^\]]*\]$", "", m.group(2))
            costs[name] += int(m.group(1).replace(",", ""))
    return costs


def profile(case_name: str, variant: str, count: int, workdir: Path) -> Counter[str]:
    out = workdir / f"{variant}.{count}.callgrind"
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            "-m",
            "bench.instructions",
            "--loop",
            case_name,
            variant,
            str(count),
        ],
        capture_output=True,
        check=True,
        cwd=Path(__file__).resolve().parents[1],
        # A fixed hash seed gives both runs the same dictionary probes, which then cancel.
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    return per_function(out)


def per_call(case_name: str, variant: str, workdir: Path) -> Counter[str]:
    short = profile(case_name, variant, SHORT, workdir)
    long = profile(case_name, variant, LONG, workdir)
    delta: Counter[str] = Counter()
    for name in short.keys() | long.keys():
        d = (long[name] - short[name]) / (LONG - SHORT)
        if abs(d) >= 0.5:
            delta[name] = round(d)
    return delta


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.instructions", description=__doc__)
    parser.add_argument(
        "case",
        nargs="?",
        help='a case name as the benchmark table shows it, e.g. "py_list_quarks()"',
    )
    parser.add_argument(
        "--variants", default="ours,floor", help="comma-separated (ours,floor,twin)"
    )
    parser.add_argument("--top", type=int, default=15, help="functions to list per variant")
    parser.add_argument(
        "--loop", nargs=3, metavar=("CASE", "VARIANT", "COUNT"), help=argparse.SUPPRESS
    )
    args = parser.parse_args(argv)
    if args.loop:
        run_loop(args.loop[0], args.loop[1], int(args.loop[2]))
        return 0
    if args.case is None:
        parser.error("the case to count is missing")
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        print("valgrind (callgrind) is needed", file=sys.stderr)
        return 2

    variants = args.variants.split(",")
    with tempfile.TemporaryDirectory() as tmp:
        costs = {v: per_call(args.case, v, Path(tmp)) for v in variants}
    totals = {v: sum(c.values()) for v, c in costs.items()}
    print(f"{args.case}: instructions per call")
    for v in variants:
        ratio = f"  ({totals[v] / totals['floor']:.2f}x floor)" if "floor" in totals else ""
        print(f"  {v:<6} {totals[v]:>8}{ratio}")
    for v in variants:
        print(f"\n{v}: top functions, instructions per call (self cost)")
        for name, n in costs[v].most_common(args.top):
            print(f"  {n:>7}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
