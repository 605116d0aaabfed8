"""Interleaved timing: every variant of a case runs in the same round, in rotating order, so a
drift of the machine (frequency, a neighbour's load) moves all of them together and cancels in
the per-round ratios, whose median is what gets reported."""

from __future__ import annotations

import gc
import itertools
import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

Loop = Callable[[int], object]

# Every loop comes from this one template, so variants differ only in the statement they repeat.
# Bound objects arrive as default arguments: locals, read without a dictionary look-up.
_TEMPLATE = """
def loop(n, _repeat=_repeat, {params}):
    for _ in _repeat(None, n):
        {statement}
"""


def make_loop(statement: str, **bound: object) -> Loop:
    namespace: dict[str, object] = {"_repeat": itertools.repeat, **bound}
    params = ", ".join(f"{name}={name}" for name in bound)
    exec(_TEMPLATE.format(params=params, statement=statement), namespace)
    loop = namespace["loop"]
    assert callable(loop)
    return loop


# The loop's own cost per iteration, measured in every round and taken off each variant.
EMPTY: Loop = make_loop("pass")


@dataclass
class Case:
    """One entry point: its variants' loops (the first is the one judged), the variant whose
    time is the denominator of the ratios, and the goal for the judged one's ratio."""

    name: str
    loops: dict[str, Loop]
    reference: str
    goal: float | None = None
    inner: int = 0  # iterations per loop, fixed once calibrated
    samples: dict[str, list[float]] = field(default_factory=dict)  # ns per iteration

    @property
    def judged(self) -> str:
        return next(iter(self.loops))


def _time(loop: Loop, n: int) -> int:
    start = time.perf_counter_ns()
    loop(n)
    return time.perf_counter_ns() - start


def calibrate(case: Case, target_ns: int) -> None:
    """Fixes the inner size so the slowest variant's loop takes about target_ns."""
    n = 1
    while True:
        slowest = max(_time(loop, n) for loop in case.loops.values())
        if slowest >= target_ns // 4 or n >= 1 << 24:
            break
        n *= 2
    case.inner = max(1, round(n * target_ns / max(slowest, 1)))


def run_rounds(cases: Sequence[Case], rounds: int, warmup: int = 3) -> None:
    """Times every variant of every case once per round, in an order that rotates each round."""
    for case in cases:
        case.samples = {label: [] for label in case.loops}
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()  # collections triggered by one variant's garbage would land on another
    try:
        for r in range(warmup + rounds):
            for case in cases:
                entries = [("", EMPTY), *case.loops.items()]
                shift = r % len(entries)
                timed = {}
                for label, loop in entries[shift:] + entries[:shift]:
                    timed[label] = _time(loop, case.inner)
                if r < warmup:
                    continue
                empty = timed.pop("")
                for label, ns in timed.items():
                    case.samples[label].append((ns - empty) / case.inner)
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()


def ratios(case: Case, label: str) -> list[float]:
    """Per-round ratios of `label` to the case's reference variant."""
    ref = case.samples[case.reference]
    return [a / b for a, b in zip(case.samples[label], ref, strict=True) if b > 0]


def quartiles(values: Sequence[float]) -> tuple[float, float, float]:
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


def median_ns(case: Case, label: str) -> float:
    return statistics.median(case.samples[label])
