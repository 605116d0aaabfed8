"""The verdict of the instruction-count check (scripts/bench.sh --check-counts): a case fails
when it costs more than 5 % over its recorded count, or is on one side only."""

import pytest

from bench.instructions import compare

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
