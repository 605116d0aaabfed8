"""Runs the benchmarks and prints markdown tables: each entry point against its native floor and
its pure-Python twin, registry builds by shard count, and heap allocations per core operation."""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import time
from collections.abc import Sequence

from bench import twins
from bench.harness import Case, calibrate, make_loop, median_ns, quartiles, ratios, run_rounds
from orvantis import _torvane_core as core

try:
    import _torvane_benchfloors as floors
except ImportError as error:
    raise SystemExit(
        "_torvane_benchfloors is missing: scripts/nox -s bench-3.12 builds it with the module"
    ) from error

NAME = "b3"
TOL = 1e-12
SHARDS = (8, 32, 256, 1024)
BUILDS_PER_ITERATION = 16


def entry_cases() -> list[Case]:
    registry, floor, twin_registry = (
        core.PyFormulasRegistry(),
        floors.Floor(),
        twins.FormulasRegistry(),
    )
    quarks, twin_quarks = core.PyQuarkRegistry(), twins.QuarkRegistry()
    ckm, twin_ckm = core.PyCKMMatrix.from_topology(), twins.CKMMatrix.from_topology()

    def case(name: str, goal: float | None, statement: str, **variants: dict[str, object]) -> Case:
        loops = {label: make_loop(statement, **bound) for label, bound in variants.items()}
        return Case(name, loops, reference="floor", goal=goal)

    return [
        case(
            "py_list_constants()",
            1.3,
            "f()",
            ours={"f": core.py_list_constants},
            floor={"f": floors.list_constants},
            twin={"f": twins.list_constants},
        ),
        case(
            "py_list_quarks()",
            1.25,
            "f()",
            ours={"f": core.py_list_quarks},
            floor={"f": floors.list_quarks},
            twin={"f": twins.list_quarks},
        ),
        case(
            f'py_get_constant("{NAME}")',
            1.10,
            "f(name)",
            ours={"f": core.py_get_constant, "name": NAME},
            floor={"f": floors.get_constant, "name": NAME},
            twin={"f": twins.get_constant, "name": NAME},
        ),
        case(
            "PyFormulasRegistry()",
            5.0,
            "cls()",
            ours={"cls": core.PyFormulasRegistry},
            floor={"cls": floors.Floor},
            twin={"cls": twins.FormulasRegistry},
        ),
        case(
            f'PyFormulasRegistry.get("{NAME}")',
            1.35,
            "obj.get(name)",
            ours={"obj": registry, "name": NAME},
            floor={"obj": floor, "name": NAME},
            twin={"obj": twin_registry, "name": NAME},
        ),
        case(
            "len(PyFormulasRegistry)",
            1.5,
            "length(obj)",
            ours={"length": len, "obj": registry},
            floor={"length": len, "obj": floor},
            twin={"length": len, "obj": twin_registry},
        ),
        case(
            "PyQuarkRegistry()",
            None,
            "cls()",
            ours={"cls": core.PyQuarkRegistry},
            floor={"cls": floors.Floor},
            twin={"cls": twins.QuarkRegistry},
        ),
        case(
            "len(PyQuarkRegistry)",
            1.5,
            "length(obj)",
            ours={"length": len, "obj": quarks},
            floor={"length": len, "obj": floor},
            twin={"length": len, "obj": twin_quarks},
        ),
        case(
            "PyCKMMatrix.from_topology()",
            1.2,
            "cls.from_topology()",
            ours={"cls": core.PyCKMMatrix},
            floor={"cls": floors.Floor},
            twin={"cls": twins.CKMMatrix},
        ),
        case(
            f"PyCKMMatrix.is_unitary({TOL})",
            1.3,
            "obj.is_unitary(tol)",
            ours={"obj": ckm, "tol": TOL},
            floor={"obj": floor, "tol": TOL},
            twin={"obj": twin_ckm, "tol": TOL},
        ),
        case(
            "PyCKMMatrix.jarlskog()",
            1.1,
            "obj.jarlskog()",
            ours={"obj": ckm},
            floor={"obj": floor},
            twin={"obj": twin_ckm},
        ),
    ]


def build_case() -> Case:
    loops = {
        f"{shards} shards": make_loop(
            f"build(shards, {BUILDS_PER_ITERATION})", build=floors.build_registries, shards=shards
        )
        for shards in reversed(SHARDS)
    }
    return Case("registry build", loops, reference=f"{SHARDS[0]} shards", goal=1.5)


def check_variants_agree() -> None:
    """The three variants of each entry point give the same answers, so the timings compare
    like with like."""
    assert core.py_list_constants() == floors.list_constants() == twins.list_constants()
    assert core.py_list_quarks() == floors.list_quarks() == twins.list_quarks()
    assert core.py_get_constant(NAME) == floors.get_constant(NAME) == twins.get_constant(NAME)
    assert core.PyFormulasRegistry().get(NAME) == floors.Floor().get(NAME)
    assert core.PyFormulasRegistry().get(NAME) == twins.FormulasRegistry().get(NAME)
    assert len(core.PyFormulasRegistry()) == len(floors.Floor()) == len(twins.FormulasRegistry())
    ckm, twin = core.PyCKMMatrix.from_topology(), twins.CKMMatrix.from_topology()
    assert ckm.is_unitary(TOL) is floors.Floor().is_unitary(TOL) is twin.is_unitary(TOL) is True
    assert ckm.jarlskog() == floors.Floor().jarlskog() == twin.jarlskog() == 0.0
    for shards in SHARDS:
        assert floors.build_registries(shards, 3) == 3 * len(core.PyFormulasRegistry())


def verdict(ratio: float, goal: float | None) -> str:
    if goal is None:
        return "—"
    return "yes" if ratio <= goal else "**no**"


def entry_table(cases: Sequence[Case]) -> list[str]:
    lines = [
        "| entry point | ours ns | floor ns | twin ns | ratio to floor (p25–p75) | goal | met? |",
        "|---|---:|---:|---:|---:|---:|:---:|",
    ]
    for case in cases:
        q1, ratio, q3 = quartiles(ratios(case, "ours"))
        goal = "—" if case.goal is None else f"≤ {case.goal:g}"
        lines.append(
            f"| `{case.name}` | {median_ns(case, 'ours'):.1f} | {median_ns(case, 'floor'):.1f} "
            f"| {median_ns(case, 'twin'):.1f} | {ratio:.2f} ({q1:.2f}–{q3:.2f}) | {goal} "
            f"| {verdict(ratio, case.goal)} |"
        )
    return lines


def build_table(case: Case) -> list[str]:
    lines = [
        "| shards | ns per build | ratio to 8 shards (p25–p75) | goal | met? |",
        "|---:|---:|---:|---:|:---:|",
    ]
    for label in reversed(case.loops):
        per_build = median_ns(case, label) / BUILDS_PER_ITERATION
        q1, ratio, q3 = quartiles(ratios(case, label))
        judged = label == case.judged
        goal = f"≤ {case.goal:g}" if judged and case.goal is not None else "—"
        met = verdict(ratio, case.goal) if judged else "—"
        lines.append(
            f"| {label.split()[0]} | {per_build:.1f} | {ratio:.3f} ({q1:.3f}–{q3:.3f}) "
            f"| {goal} | {met} |"
        )
    return lines


def allocation_table() -> list[str]:
    # The counter first proves itself on allocations of known number.
    self_test = floors.count_allocations_self_test()
    assert self_test == (3, 1, 0, 1, 0), f"the allocation counter is off: {self_test}"
    lines = [
        "| core operation | heap blocks (malloc calls) |",
        "|---|---:|",
    ]
    for shards in SHARDS:
        blocks = floors.count_allocations_of_registry_build(shards)
        lines.append(f"| `FormulasRegistry::create({shards})` and destruction | {blocks} |")
    blocks = floors.count_allocations_of_quark_registry()
    lines.append(f"| `QuarkRegistry::standard_model()` and destruction | {blocks} |")
    for name in ("b3", "n_gen_sq", "sterile_check"):
        lookup, text, direct = floors.count_allocations_of_datasheet(name)
        lines.append(f'| `registry.lookup("{name}")` (the record copy) | {lookup} |')
        lines.append(f'| `datasheet_json(record of "{name}")` | {text} |')
        lines.append(
            f'| `datasheet_text(registry, "{name}")` (what `py_get_constant` takes) | {direct} |'
        )
    return lines


INSTANCES = 100_000

# Run in a fresh interpreter, so the heap it grows is not one the timing loops have shaped.
_INSTANCE_MEMORY = f"""
from orvantis import _torvane_core as core
from _torvane_benchfloors import resident_bytes

held = [None] * {INSTANCES}
before = resident_bytes()
for i in range({INSTANCES}):
    held[i] = core.PyFormulasRegistry()
print((resident_bytes() - before) / {INSTANCES})
"""


def memory_table() -> list[str]:
    instance = float(
        subprocess.run(
            [sys.executable, "-c", _INSTANCE_MEMORY], capture_output=True, text=True, check=True
        ).stdout
    )
    lines = [
        "| what lives | resident bytes each | goal | met? |",
        "|---|---:|---:|:---:|",
        f"| `PyFormulasRegistry()` instance ({shards_here()} shards), "
        f"{INSTANCES:,} alive | {instance:.0f} | ≤ 2048 | {verdict(instance, 2048)} |",
    ]
    for shards in SHARDS:
        per = floors.resident_bytes_of_registries(shards, INSTANCES)
        lines.append(
            f"| `FormulasRegistry::create({shards})` in an array slot, {INSTANCES:,} alive "
            f"| {per:.0f} | — | — |"
        )
    return lines


def shards_here() -> int:
    """The registry's shard count on this machine: 4 per processor, to a power of two."""
    return 1 << (4 * (os.cpu_count() or 1) - 1).bit_length()


def processor() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:  # not Linux: Windows names it in the environment
        pass
    return platform.processor() or platform.machine()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a short smoke run (noisy figures)")
    parser.add_argument("--rounds", type=int, help="rounds of interleaved timing")
    parser.add_argument("--loop-us", type=int, help="target duration of one timed loop, in µs")
    args = parser.parse_args(argv)
    rounds = args.rounds or (15 if args.quick else 400)
    target_ns = 1000 * (args.loop_us or (100 if args.quick else 1000))

    check_variants_agree()
    cases = entry_cases()
    build = build_case()
    for case in [*cases, build]:
        calibrate(case, target_ns)

    started = time.monotonic()
    run_rounds([*cases, build], rounds)
    elapsed = time.monotonic() - started

    print(
        f"orvantis._torvane_core {core.__version__}, Python {platform.python_version()}, "
        f"{processor()} ({os.cpu_count()} logical processors); "
        f"{rounds} interleaved rounds in {elapsed:.0f} s; "
        "ns per call are medians over rounds with the empty loop's cost taken off, ratios are "
        "medians of per-round ratios.\n"
        f"Module {core.__file__}; floors {floors.__file__}.\n"
    )
    print("\n".join(entry_table(cases)))
    print(f"\nRegistry builds, {BUILDS_PER_ITERATION} per iteration of a C loop:\n")
    print("\n".join(build_table(build)))
    print("\nHeap allocations (counter verified on known allocations):\n")
    print("\n".join(allocation_table()))
    print("\nNative memory, as growth of the resident size:\n")
    print("\n".join(memory_table()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
