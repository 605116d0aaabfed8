"""The instruction-count check (scripts/nox -s bench-3.12 -- --check-counts): the counts per call
it takes from callgrind's dumps, and its verdict: a case fails when it costs more than 5 % over
its recorded count, or is on one side only."""

from pathlib import Path

import pytest

from bench.instructions import LONG, SHORT, WARM, compare, counts_per_call

# A check of the benchmark tools, not of the module: not in the runs on other architectures.
pytestmark = pytest.mark.host_only
RECORDED = {"get": 1000, "len": 300}


@pytest.mark.parametrize(
    ("now", "failing"),
    [
        ({"get": 1050, "len": 300}, []),  # 5 % over, no more
        ({"get": 1051, "len": 300}, ["get"]),
        ({"get": 800, "len": 316}, ["len"]),
        ({"get": 1000}, ["len"]),  # no longer counted
        ({"get": 1000, "len": 300, "new": 5}, ["new"]),  # not recorded
    ],
)
def test_a_case_fails_past_five_percent_over_its_record(
    now: dict[str, int], failing: list[str]
) -> None:
    lines, failed = compare(RECORDED, now)
    assert failed is bool(failing)
    assert [line.split()[1] for line in lines if line.startswith("FAIL")] == failing
    assert len(lines) == len(RECORDED.keys() | now.keys()), "a line for every case"


def test_counts_per_call_from_the_dumps(tmp_path: Path) -> None:
    # Each case's warm-up, short and long loop end in a dump of their own (callgrind starts
    # counting again after each): a segment costs what it pays once plus its calls. Four cases
    # make twelve dumps, so that segments.10 comes after segments.9.
    per_call = {"get": 1234, "len": 77, "build, 1024 shards": 50_321, "build, 8 shards": 9}
    totals = []
    for i, cost in enumerate(per_call.values()):
        totals += [10**6 + WARM * cost, 5000 + 7 * i + SHORT * cost, 5000 + 7 * i + LONG * cost]
    for k, ir in enumerate(totals, 1):
        (tmp_path / f"segments.{k}").write_text(
            f"# callgrind format\nversion: 1\ncreator: callgrind-3.19.0\npid: 7\npart: {k}\n\n"
            f"positions: line\nevents: Ir\nsummary: {ir}\n\nfn=(1) loop\n0 {ir}\n\ntotals: {ir}\n"
        )
    assert counts_per_call(list(per_call), tmp_path) == per_call
