#!/usr/bin/env python3
"""How far CI's fixed fuzz run reaches: faults planted for near-miss names, each found or not.

    tools/fuzz_reach.py [--plants N] [--seed S] [--jobs J] [--only I,J,...] [--scratch DIR]
                        [--out FILE]

Copies the tree (the files git tracks or would track, as they are in the working tree) to a
scratch folder (J of them, one for each run side by side, default 1), then, for each of N faults
drawn at random (default 20, from seed S), plants it in a copy and runs CI's fixed run there
(scripts/nox -s fuzz). --only runs the plants of those numbers alone, so that two runs of the
tool can share one draw. A fault is one name a near miss from one of the module's names,
which the look-up answers as if it were a name held: a prefix, a byte changed, one or two bytes
added, or a longer name (three to eight bytes added), each in an equal share; the bytes are ASCII
(a name comes from a str: a lone byte above 0x7F is not UTF-8). Each copy's run without any plant
comes first (--no-clean-run skips it): a finding there would be no plant's.

A plant counts as found when the run failed on the oracle's Mismatch for that very name; the
inputs it took are libFuzzer's count at the finding. The table (and the command, commit and
load) goes to FILE (default fuzz/RESULTS.md) and to the output. Not part of CI: about two
minutes a plant on an idle machine. The copies (default build/fuzz-reach/tree-1 and so on) and
their environments are kept for the next run, which then builds only what the plant changes.
"""

from __future__ import annotations

import argparse
import ast
import concurrent.futures
import datetime
import os
import queue
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LOOKUP = Path("torvane_core/src/formulas/formulas_registry.hpp")
# The first statement of the look-up that every entry point taking a name goes through.
ANCHOR = "        const Prehash words = name_words(name);\n"
CLASSES = ["a prefix", "a byte changed", "one or two bytes added", "a longer name"]


def module_names(tree: Path) -> list[str]:
    """The module's names, as the fuzzer's oracle holds them."""
    source = (tree / "fuzz" / "oracle.py").read_text()
    for node in ast.parse(source).body:
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", "") == "CONSTANTS":
            assert isinstance(node.value, ast.Dict)
            return sorted(ast.literal_eval(k) for k in node.value.keys if k is not None)
    raise SystemExit("fuzz/oracle.py holds no CONSTANTS")


def near_miss(rng: random.Random, kind: str, name: bytes) -> bytes:
    def ascii_bytes(n: int) -> bytes:
        return bytes(rng.randrange(128) for _ in range(n))

    at = rng.randrange(len(name) + 1)
    if kind == "a prefix":
        return name[: rng.randrange(1, len(name))]
    if kind == "a byte changed":
        at = min(at, len(name) - 1)
        return name[:at] + ascii_bytes(1) + name[at + 1 :]
    added = rng.randint(1, 2) if kind == "one or two bytes added" else rng.randint(3, 8)
    return name[:at] + ascii_bytes(added) + name[at:]


def draw(rng: random.Random, names: list[str], count: int) -> list[tuple[str, str, bytes]]:
    plants: list[tuple[str, str, bytes]] = []
    held = {n.encode() for n in names}
    while len(plants) < count:
        kind, name = rng.choice(CLASSES), rng.choice(names)
        miss = near_miss(rng, kind, name.encode())
        if miss not in held and all(miss != p[2] for p in plants):
            plants.append((kind, name, miss))
    return plants


def plant_code(miss: bytes) -> str:
    literal = "".join(f"\\x{b:02x}" for b in miss)
    return (
        f'        if (name == std::string_view("{literal}", {len(miss)})) [[unlikely]]\n'
        f"            return found(builtin::kEntries[0]);  // planted\n"
    )


def copy_tree(scratch: Path) -> None:
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT,
        capture_output=True,
        check=True,
    ).stdout.split(b"\0")
    for raw in filter(None, listed):
        source = ROOT / os.fsdecode(raw)
        if source.is_file():  # not deleted in the working tree
            target = scratch / os.fsdecode(raw)
            target.parent.mkdir(parents=True, exist_ok=True)
            if not target.exists() or target.read_bytes() != source.read_bytes():
                shutil.copy2(source, target)


def fixed_run(scratch: Path) -> tuple[int, str, float]:
    start = time.monotonic()
    run = subprocess.run(
        ["scripts/nox", "-s", "fuzz"], cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
    )
    wall = time.monotonic() - start
    log = scratch / "build" / "logs" / "fuzz.log"
    return run.returncode, log.read_text(errors="replace") if log.exists() else "", wall


def executed(log: str) -> int | None:
    found = re.findall(r"stat::number_of_executed_units: (\d+)", log)
    return int(found[-1]) if found else None


def plant_and_run(
    scratch: Path, number: int, plant: tuple[str, str, bytes]
) -> tuple[bool, int | None, float]:
    kind, name, miss = plant
    pristine = (scratch / LOOKUP).read_text()
    (scratch / LOOKUP).write_text(pristine.replace(ANCHOR, plant_code(miss) + ANCHOR))
    try:
        status, log, wall = fixed_run(scratch)
    finally:
        (scratch / LOOKUP).write_text(pristine)
    message = f"constant `{miss.decode('ascii')}` not found in registry"
    found = status != 0 and "Mismatch" in log and repr(message) in log
    if status != 0 and not found:
        print(log[-3000:])
    said = f"found after {executed(log)} inputs" if found else f"not found (status {status})"
    print(f"{number:2}. {kind}: {name} -> {miss!r}: {said}, {wall:.0f} s", flush=True)
    return found, executed(log) if found else None, wall


def worker(scratch: Path, todo: queue.Queue, results: dict, clean_run: bool) -> None:
    copy_tree(scratch)
    text = (scratch / LOOKUP).read_text()
    assert text.count(ANCHOR) == 1 and "planted" not in text, f"{LOOKUP}: no look-up, or a plant"
    if clean_run:
        status, log, wall = fixed_run(scratch)
        if status != 0:
            print(log[-3000:])
            raise SystemExit(f"the fixed run fails in {scratch} without any plant")
        print(f"no plant ({scratch.name}): passed, {executed(log)} inputs, {wall:.0f} s")
    while True:
        try:
            number, plant = todo.get_nowait()
        except queue.Empty:
            return
        results[number] = plant_and_run(scratch, number, plant)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plants", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--scratch", type=Path, default=ROOT / "build" / "fuzz-reach")
    parser.add_argument("--out", type=Path, default=ROOT / "fuzz" / "RESULTS.md")
    parser.add_argument("--no-clean-run", action="store_true", help="skip the run without plants")
    parser.add_argument("--only", help="the plants of these numbers alone (3,7,...)")
    args = parser.parse_args()
    plants = draw(random.Random(args.seed), module_names(ROOT), args.plants)
    todo: queue.Queue = queue.Queue()
    chosen = {int(n) for n in args.only.split(",")} if args.only else None
    for number, plant in enumerate(plants, 1):
        if chosen is None or number in chosen:
            todo.put((number, plant))
    results: dict[int, tuple[bool, int | None, float]] = {}
    copies = [args.scratch.resolve() / f"tree-{j}" for j in range(1, args.jobs + 1)]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for done in [pool.submit(worker, c, todo, results, not args.no_clean_run) for c in copies]:
            done.result()
    rows = [(n, *plants[n - 1], *results[n]) for n in sorted(results)]
    report(args, rows)
    return 0


def report(args: argparse.Namespace, rows: list[tuple]) -> None:
    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True
    ).stdout.strip()
    found = [r for r in rows if r[4]]
    lines = [
        f"`tools/fuzz_reach.py --plants {args.plants} --seed {args.seed} --jobs {args.jobs}`"
        f" at {commit}"
        f" ({datetime.date.today()}, load average {os.getloadavg()[0]:.1f} at the end):"
        f" {len(found)} of {len(rows)} planted near misses found by CI's fixed run.",
        "",
        "| # | class | name | planted near miss | found after (inputs) | wall time (s) |",
        "|---|---|---|---|---|---|",
    ]
    for number, kind, name, miss, hit, inputs, wall in rows:
        shown = repr(miss)[2:-1].replace("|", "\\|").replace("`", "\\x60")
        after = f"{inputs:,}" if hit else "not found"
        lines.append(f"| {number} | {kind} | `{name}` | `{shown}` | {after} | {wall:.0f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    args.out.write_text(text)


if __name__ == "__main__":
    sys.exit(main())
