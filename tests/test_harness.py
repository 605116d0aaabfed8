"""The guards of the project's own runs: a run that should have the test hooks fails without
them, and the sanitizer run's verdict (tools/sanitizer_verdict.sh) fails on an error report and
on a run where no process was leak-checked."""

import fnmatch
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ROOT, in_ci, subprocess_limit

FACTS = {
    row.split("\t")[0]: row.split("\t")[1]
    for row in (ROOT / "facts.tsv").read_text().splitlines()
    if row and not row.startswith("#")
}
# The harness is the same for every build: checked once, with the reference Python.
pytestmark = pytest.mark.source_check

NEEDS_HOOKS = """
import sys

from conftest import import_hooks

sys.modules["_torvane_testhooks"] = None  # unimportable, whether built or not


def test_needs_the_hooks():
    import_hooks()
"""


# A check of the harness, not of the module: not in the runs on other architectures.
@pytest.mark.host_only
@pytest.mark.parametrize(
    ("settings", "outcome"),
    [
        ({}, "1 skipped"),
        ({"TORVANE_REQUIRE_HOOKS": "1"}, "1 failed"),
        ({"CI": "true"}, "1 failed"),
        ({"CI": "true", "TORVANE_REQUIRE_HOOKS": "0"}, "1 skipped"),  # without them on purpose
    ],
    ids=["unset", "required", "in CI", "in CI, not required"],
)
def test_missing_hooks_fail_where_required(tmp_path: Path, settings, outcome) -> None:
    (tmp_path / "test_needs_hooks.py").write_text(NEEDS_HOOKS)
    env = {k: v for k, v in os.environ.items() if k not in {"CI", "TORVANE_REQUIRE_HOOKS"}}
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "conftest", "-p", "no:cacheprovider", "-q"],
        cwd=tmp_path,
        env={**env, **settings, "PYTHONPATH": str(ROOT / "tests")},
        capture_output=True,
        text=True,
        timeout=subprocess_limit(),
    )
    assert outcome in result.stdout.splitlines()[-1], result.stdout + result.stderr


def test_a_run_with_the_hooks_requires_them(hooks) -> None:
    # Every command that builds the hooks exports TORVANE_REQUIRE_HOOKS=1, so that it fails
    # without them, in CI or not: a CI run that has them but not the setting lost that export.
    required = os.environ.get("TORVANE_REQUIRE_HOOKS") == "1"
    assert required or not in_ci(), "the hooks were built, but not TORVANE_REQUIRE_HOOKS=1"


CHECKED = {"checked-a1": ""}


@pytest.mark.host_only
@pytest.mark.parametrize(
    ("records", "reports", "status", "verdict", "said"),
    [
        ({}, {}, 0, 1, "leak check: no process of this run was checked"),
        ({"skipped-a1": "daemon threads"}, {}, 0, 1, "0 processes checked, 1 skipped"),
        ({**CHECKED, "skipped-a1": "x", "skipped-a2": "x"}, {}, 0, 0, "   2 skipped: x\n"),
        (CHECKED, {}, 3, 3, "sanitizers: no reports"),  # the tests' own status
        (CHECKED, {"asan.7": "==7==ERROR: AddressSanitizer: heap-use-after-free"}, 0, 1,
         "sanitizer reports (1 files):"),
        (CHECKED, {"ubsan.7": "a.cpp:3:5: runtime error: signed integer overflow"}, 0, 1,
         "sanitizer reports (1 files):"),
        (CHECKED, {"asan.7": "==7==WARNING: AddressSanitizer failed to allocate 0x1 bytes"}, 0, 0,
         "sanitizer note from asan.7: ==7==WARNING"),
    ],
    ids=["no record", "skipped only", "skips counted", "the tests' status", "ASan error",
         "UBSan error", "warning only"],
)  # fmt: skip
def test_the_sanitizer_verdict(tmp_path: Path, records, reports, status, verdict, said) -> None:
    for folder, files in (("records", records), ("reports", reports)):
        (tmp_path / folder).mkdir()
        for name, text in files.items():
            (tmp_path / folder / name).write_text(text)
    script = ROOT / "tools" / "sanitizer_verdict.sh"
    args = ["bash", script, tmp_path / "records", tmp_path / "reports", str(status)]
    assert_verdict(args, verdict, said)


def assert_verdict(args: list, verdict: int, said: str) -> None:
    result = subprocess.run(args, capture_output=True, text=True, timeout=subprocess_limit())
    said_all = result.stdout + result.stderr
    assert (result.returncode, said in said_all) == (verdict, True), said_all


# A stand-in for libFuzzer: says, as libFuzzer does, the seed and the dictionary's entries it
# took, ran -runs inputs (or 7), then ends as told: "ok", a "crash" that saves its input, a
# "finding" that saves none, "slow": ok, having saved a slow input; or "short": 100 inputs fewer
# than asked, "no-dict": the dictionary not taken, "seed-1": another seed, "no-mutator": the
# custom mutator not found.
FAKE_FUZZER = """
import sys
ending = sys.argv[1]
if ending != "no-mutator":
    print("INFO: found LLVMFuzzerCustomMutator (0x7f0000000000).")
flags = dict(a[1:].split("=", 1) for a in sys.argv if a.startswith("-"))
seed = 1 if ending == "seed-1" else flags["seed"]
print(f"INFO: Seed: {seed}")
if "dict" in flags and ending != "no-dict":
    words = [w for w in open(flags["dict"]).read().splitlines() if w.startswith('"')]
    print(f"Dictionary: {len(words)} entries")
runs = int(flags.get("runs", 7)) - (100 if ending == "short" else 0)
if ending in ("crash", "slow"):
    print(f"artifact_prefix='x/'; Test unit written to x/{ending}-unit-1")
if ending in ("crash", "finding"):
    sys.exit(1)
print(f"#{runs}\\tDONE   cov: 1 ft: 1 corp: 1/1b")
"""
RUNS = FACTS["fuzz_runs"]
WORDS = sum(w.startswith('"') for w in (ROOT / FACTS["fuzz_dict"]).read_text().splitlines())


@pytest.mark.host_only
@pytest.mark.parametrize(
    ("limit", "ending", "verdict", "said"),
    [
        (["fixed"], "ok", 0, f"no finding: #{RUNS}\tDONE"),
        (["minutes", "1"], "ok", 0, "no finding: #7\tDONE"),
        (["fixed"], "crash", 1, "scripts/nox -s fuzz -- --replay x/crash-unit-1"),
        (["fixed"], "finding", 1, "the fuzzer found a fault (exit status 1)"),
        (["fixed"], "slow", 0, f"no finding: #{RUNS}\tDONE"),
        (["fixed"], "short", 1, f"the fixed run did not report {RUNS} inputs done"),
        (["minutes", "1"], "no-dict", 1, f"the run did not take the {WORDS} words of"),
        (["fixed"], "seed-1", 1, f"the run did not take the seed {FACTS['fuzz_seed']}"),
        (["fixed"], "no-mutator", 1, "the run did not use the harness's mutator"),
    ],
    ids=["fixed run", "timed run", "crash", "finding without an input", "a slow input",
         "fewer inputs", "no dictionary", "another seed", "no mutator"],
)  # fmt: skip
def test_the_fuzz_run_verdict(tmp_path: Path, limit, ending, verdict, said) -> None:
    (tmp_path / "fuzzer.py").write_text(FAKE_FUZZER)
    script = ROOT / "tools" / "fuzz_run.sh"
    args = ["bash", script, *limit, tmp_path / "log", tmp_path / "findings", "--"]
    args += [sys.executable, tmp_path / "fuzzer.py", ending]
    assert_verdict(args, verdict, said)


def test_the_documents_state_the_fuzz_runs_facts() -> None:
    # What CONTRIBUTING.md says of CI's fixed run: its inputs and its dictionary, facts.tsv's,
    # which tools/fuzz_run.sh gives the fuzzer and finds in its report.
    text = (ROOT / "CONTRIBUTING.md").read_text()
    stated = {m.replace(",", "") for m in re.findall(r"([\d,]+) inputs", text)}
    assert stated == {RUNS}
    assert re.findall(r"`(fuzz/\w+\.dict)`", text) == [FACTS["fuzz_dict"]]
    assert WORDS > 20


# No suppression may hide the module's own code. The sanitizers drop a report when a pattern (*
# for anything) matches part of any frame's function, file or library: none may match a name in
# torvane_core/'s sources (defined or called there), a source or the module's library. Valgrind
# matches frames whole: none may match the module's own; each entry names a foreign function.
SOURCES = sorted((ROOT / "torvane_core").rglob("*.[ch]pp"))
NAMES = {w for p in SOURCES for w in re.findall(r"[A-Za-z_]\w+", p.read_text())}
OWN = [*(str(p.relative_to(ROOT)) for p in SOURCES), *(f"torvane::{n}" for n in NAMES)]
OWN += ["/site-packages/orvantis/_torvane_core.so", "/site-packages/_torvane_testhooks.so"]


@pytest.mark.parametrize("file", ["tsan.supp", "lsan.supp", "valgrind.supp"])
def test_no_suppression_hides_the_modules_own_frames(file) -> None:
    text = (ROOT / "tools" / file).read_text()
    if file == "valgrind.supp":
        entries = re.findall(r"^\{\n(.*?)^\}", text, re.M | re.S)
        frames = [re.findall(r"^\s*(?:fun|obj):(.+)$", e, re.M) for e in entries]
        hidden = [f for e in frames for f in e if fnmatch.filter(OWN, f)]
        hidden += [e for e in frames if all(fnmatch.filter(NAMES, f) for f in e)]
    else:
        frames = re.findall(r"^\w+:(.+)$", text, re.M)
        hidden = [f for f in frames if fnmatch.filter([*OWN, *NAMES], f"*{f.strip('^$')}*")]
    assert frames and hidden == []


def test_no_hypothesis_example_has_a_deadline() -> None:
    # A deadline makes a verdict depend on the machine's load.
    from hypothesis import settings

    assert settings().deadline is None
