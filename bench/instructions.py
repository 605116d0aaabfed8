"""Where the time goes: instructions per call of one entry point, ours against its floor (and
twin), counted by callgrind. Each variant's loop runs twice, with a short and a long count; the
difference per extra call cancels start-up and import, and the same difference per function
shows which code pays for it.

    python -m bench.instructions "PyFormulasRegistry.get(\\"b3\\")" --top 12

--check counts every entry point of the benchmark table (ours) and both ends of the registry
build's shard ratio, and fails when one costs more than 5 % over its count in
bench/instructions.json; --record writes that file. The counts hold for the build they were
recorded on (its Python and compiler, which the file names).

Build with `-C install.strip=false` for function names inside the extensions.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from collections import Counter
from collections.abc import Sequence
from pathlib import Path

from bench.harness import Loop

SHORT, LONG = 200, 2200
RECORD = Path(__file__).with_name("instructions.json")
TOLERANCE = 5  # per cent over the recorded count
# Calls made before counting, so that the interpreter has specialised the loop's bytecode.
WARM = 20
# CPython's C function behind os.getppid, which nothing else calls: callgrind writes out the
# counts gathered so far each time it is entered, so one process counts every case in turn.
MARK = "os_getppid"
# What makes a count the same wherever it is taken (whatever the environment's size, the
# checkout's path or the cases before). A fixed hash seed: the same dictionary probes. glibc's
# allocator for Python's objects too, with a per-thread cache that keeps every freed block of up
# to 1 KiB and hands it back, last in first out, at a fixed cost: pymalloc's pools and glibc's
# bins cost more or less by where earlier allocations left the heap (up to 1.5 % of a case).
# run_segments adds a thread of its own, whose stack and heap start at the same alignment
# every time (on the main thread's stack a 1 KiB memset of the registry build cost one loop
# turn more or less with the environment's size).
STEADY = {
    "PYTHONHASHSEED": "0",
    "PYTHONMALLOC": "malloc",
    "GLIBC_TUNABLES": "glibc.malloc.tcache_count=65535",
}
_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$")


def run_loop(case_name: str, variant: str, count: int) -> None:
    from bench.run import build_case, entry_cases

    cases = {case.name: case for case in [*entry_cases(), build_case()]}
    cases[case_name].loops[variant](count)


def counted_loops() -> dict[str, Loop]:
    """Ours of every entry point, and the registry build at both ends of its shard ratio."""
    from bench.run import build_case, entry_cases

    loops = {case.name: case.loops["ours"] for case in entry_cases()}
    build = build_case()
    for label in (build.judged, build.reference):
        loops[f"{build.name}, {label}"] = build.loops[label]
    return loops


def run_segments() -> None:
    """Each case's loop, short then long, between marks; prints the cases' names in order."""
    loops = counted_loops()

    failed: list[BaseException] = []

    def segments() -> None:
        try:
            for loop in loops.values():
                loop(WARM)
                gc.collect()
                os.getppid()
                loop(SHORT)
                os.getppid()
                loop(LONG)
                os.getppid()
        except BaseException as error:
            failed.append(error)

    # The start-up's garbage goes here, not in the thread's heap.
    gc.collect()
    worker = threading.Thread(target=segments)
    worker.start()
    worker.join()
    if failed:
        raise failed[0]
    print(json.dumps(list(loops)))


def total(profile: Path) -> int:
    with profile.open() as lines:
        for line in lines:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise ValueError(f"no totals in {profile}")


def count_all(workdir: Path) -> dict[str, int]:
    """Instructions per call of every counted case, from one run under callgrind."""
    out = workdir / "segments"
    run = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            f"--dump-before={MARK}",
            sys.executable,
            "-m",
            "bench.instructions",
            "--segments",
        ],
        capture_output=True,
        text=True,
        cwd=Path(__file__).resolve().parents[1],
        env={**os.environ, **STEADY},
    )
    if run.returncode != 0:
        raise SystemExit(f"the counted run failed:\n{run.stderr[-3000:]}")
    return counts_per_call(json.loads(run.stdout.splitlines()[-1]), workdir)


def extra_per_call(short: float, long: float) -> float:
    """What one call costs, from the costs of the same loop run SHORT and LONG times: the
    difference cancels what both runs pay once."""
    return (long - short) / (LONG - SHORT)


def counts_per_call(names: list[str], workdir: Path) -> dict[str, int]:
    """Instructions per call of each of the cases `names`, in run_segments' order, from the
    callgrind dumps segments.1, segments.2, ... in `workdir`."""
    # Dump k (from 1) ends at the k-th mark: 3i+1 ends case i's warm-up, 3i+2 its short loop,
    # 3i+3 its long one. Another caller of the mark would add dumps and shift them all.
    dumps = sorted(workdir.glob("segments.*"), key=lambda p: int(p.suffix[1:]))
    if len(dumps) != 3 * len(names):
        raise SystemExit(
            f"{len(dumps)} dumps for {len(names)} cases: {MARK} is not called only as the mark "
            "(or the interpreter has no symbols for callgrind to find it by)"
        )
    totals = [total(p) for p in dumps]
    return {
        name: round(extra_per_call(totals[3 * i + 1], totals[3 * i + 2]))
        for i, name in enumerate(names)
    }


def build_identity() -> dict[str, str]:
    """The Python and the compiler of the module (from its ELF .comment) counted here."""
    where = importlib.util.find_spec("orvantis._torvane_core")
    assert where is not None and where.origin is not None, "orvantis._torvane_core is not installed"
    comment = subprocess.run(
        ["readelf", "--string-dump=.comment", where.origin], capture_output=True, text=True
    ).stdout
    found = dict.fromkeys(
        m.group(1) for m in re.finditer(r"^\s*\[\s*\w+\]\s+(.*?)\s*$", comment, re.M)
    )
    return {
        "python": platform.python_version(),
        "python_compiler": platform.python_compiler(),
        "compiler": "; ".join(found) or "unknown",
    }


def compare(recorded: dict[str, int], now: dict[str, int]) -> tuple[list[str], bool]:
    """One line per case, recorded against now; true when a case grew more than TOLERANCE per
    cent over its record or is on one side only."""
    width = max(map(len, recorded.keys() | now.keys()))
    lines, failed = [], False
    for name in [*now, *(n for n in recorded if n not in now)]:
        old, new = recorded.get(name), now.get(name)
        if old is None or new is None:
            failed = True
            verdict = "not recorded" if old is None else "recorded but no longer counted"
            lines.append(
                f"FAIL {name:<{width}}  recorded {old or '-':>7}  now {new or '-':>7}  {verdict}"
            )
            continue
        grew = new * 100 > old * (100 + TOLERANCE)
        failed |= grew
        verdict = f"more than {TOLERANCE} % over" if grew else ""
        if new * 100 < old * (100 - TOLERANCE):
            verdict = "fewer: record the new count"
        lines.append(
            f"{'FAIL' if grew else 'ok  '} {name:<{width}}  recorded {old:>7}  now {new:>7}  "
            f"ratio {new / old:.3f}  {verdict}".rstrip()
        )
    return lines, failed


def minor(version: str) -> str:
    return ".".join(version.split(".")[:2])


def check(record: Path) -> int:
    if not record.is_file():
        print(f"no recorded counts at {record}: make them with --record", file=sys.stderr)
        return 2
    saved = json.loads(record.read_text())
    here = build_identity()
    print(
        f"instructions per call under callgrind, against {record.name}\n"
        f"  recorded on Python {saved['python']}, module built by {saved['compiler']}\n"
        f"  counted on Python {here['python']}, module built by {here['compiler']}"
    )
    for what in ("python", "compiler"):
        ours, theirs = saved[what], here[what]
        if what == "python":
            ours, theirs = minor(ours), minor(theirs)
        if ours != theirs:
            print(
                f"FAIL: the counts were recorded on another build ({what} {ours}, here "
                f"{theirs}) and mean nothing on this one: check on that build, or, if this "
                "one is now the reference, record its counts "
                "(scripts/nox -s bench-3.12 -- --record-counts)",
                file=sys.stderr,
            )
            return 2
    if saved["python"] != here["python"] or saved["python_compiler"] != here["python_compiler"]:
        print(
            f"note: Python {saved['python']} ({saved['python_compiler']}) recorded, "
            f"{here['python']} ({here['python_compiler']}) here: counts may shift a little"
        )
    with tempfile.TemporaryDirectory() as tmp:
        now = count_all(Path(tmp))
    lines, failed = compare(saved["instructions_per_call"], now)
    print("\n".join(lines))
    if failed:
        print(
            f"instruction counts: a case costs more than {TOLERANCE} % over its recorded "
            "count (or the cases changed); if that is deliberate, record again "
            "(scripts/nox -s bench-3.12 -- --record-counts) and say why in the commit",
            file=sys.stderr,
        )
        return 1
    print(f"instruction counts: no case more than {TOLERANCE} % over its record ({len(now)} cases)")
    return 0


def record_counts(record: Path) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        now = count_all(Path(tmp))
    saved = {
        **build_identity(),
        "calls": [SHORT, LONG],
        "instructions_per_call": now,
    }
    record.write_text(json.dumps(saved, indent=2) + "\n")
    width = max(map(len, now))
    for name, n in now.items():
        print(f"{name:<{width}}  {n:>7}")
    print(f"recorded in {record} (Python {saved['python']}, {saved['compiler']})")
    return 0


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
        d = extra_per_call(short[name], long[name])
        if abs(d) >= 0.5:
            delta[name] = round(d)
    return delta


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m bench.instructions",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "case",
        nargs="?",
        help='a case name as the benchmark table shows it, e.g. "py_list_quarks()"',
    )
    parser.add_argument(
        "--variants", default="ours,floor", help="comma-separated (ours,floor,twin)"
    )
    parser.add_argument("--top", type=int, default=15, help="functions to list per variant")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument(
        "--check",
        action="store_true",
        help=f"count every case; fail if one grew more than {TOLERANCE} %% over its record",
    )
    mode.add_argument("--record", action="store_true", help="count every case and record it")
    parser.add_argument("--file", type=Path, default=RECORD, help="the recorded counts")
    parser.add_argument(
        "--loop", nargs=3, metavar=("CASE", "VARIANT", "COUNT"), help=argparse.SUPPRESS
    )
    parser.add_argument("--segments", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.loop:
        run_loop(args.loop[0], args.loop[1], int(args.loop[2]))
        return 0
    if args.segments:
        run_segments()
        return 0
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        print("valgrind (callgrind) is needed", file=sys.stderr)
        return 2
    if args.check:
        return check(args.file)
    if args.record:
        return record_counts(args.file)
    if args.case is None:
        parser.error("the case to count is missing")

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
