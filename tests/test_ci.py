"""CI's own verdict (.ci/run): positive only when every stage of its plan reported passing exactly
once; a failed stage, a dead lane, a lost report or a hung stage fails the run and is named."""

import contextlib
import os
import re
import subprocess
import sys
import time

import pytest
from conftest import ROOT, subprocess_limit

# A check of CI's runner, not of the module: not in the runs on other architectures.
pytestmark = [pytest.mark.host_only, pytest.mark.source_check]

BUILD = 'build|build||touch "$CI_DIR/built"'
OWN = "own|own||true"
# Waits for stages 0 and 1 (side by side with 3 lanes, ending in either order), loses the reports.
WAIT = "until [ $(grep -c '^[a-z]* [01] ' $CI_DIR/reports) = 2 ]; do sleep 0.1; done"
LOSE = f"lose|loses||{WAIT}; : >$CI_DIR/reports"
# Kills the lane that runs it: its parent is `timeout`, whose parent is the lane.
KILL = "kill|kills its lane||kill -9 $(awk '{ print $4 }' /proc/$PPID/stat); sleep 60"
# Fails unless its limit (the first number of its `timeout`'s arguments) is under the run's 600 s.
UNDER = "test $(tr '\\0' '\\n' </proc/$PPID/cmdline | grep -xm1 '[0-9][0-9]*') -lt 600"
STRAY = 'stray|stray||echo "passed 2 0" >>$CI_DIR/reports'  # stage 2 of a plan of 0 and 1


@pytest.mark.parametrize(
    ("plan", "problems"),
    [
        ([BUILD, OWN, 'uses|uses|build|test -e "$CI_DIR/built"', "last|last||true"], []),
        ([BUILD, "bad|bad||exit 3", "dep|dep|bad|true"], ["failed: bad", "failed: dep"]),
        (
            [KILL, "after|after|kill|true"],
            ["lane [0-9] ended with status 137", "never reported: kills its lane", "failed: after"],
        ),
        ([BUILD, OWN, LOSE], ["never reported: build", "never reported: own"]),
        (
            [BUILD, OWN, 'twice|twice||echo "passed 1 0" >>$CI_DIR/reports'],
            ["reported 2 times: own"],
        ),
        (["hang|hangs||sleep 600"], ["failed: hangs"]),  # ended at the deadline (--limit)
        (["now|at the deadline||true"], ["failed: at the deadline"]),  # not run: no time left
        (["early|early||sleep 1", f"late|late|early|{UNDER}"], []),  # given the time left only
        ([OWN, STRAY], ["reports of no stage of the plan: passed 2 0"]),
    ],
    ids=["all-pass", "stage-fails", "lane-killed", "reports-lost", "reported-twice", "hangs",
         "at-the-deadline", "time-left", "stray"],
)  # fmt: skip
@pytest.mark.parametrize("lanes", ["2", "3"])
def test_the_verdict_names_every_stage_not_passed_once(tmp_path, plan, problems, lanes):
    (tmp_path / "plan").write_text("\n".join(plan) + "\n")
    limit = {"hang": "5", "now": "0"}.get(plan[0].split("|")[0], "600")
    if limit == "0":  # the deadline is the second the run starts in: start early in a second
        time.sleep(1 - time.time() % 1)
    args = ["--plan", tmp_path / "plan", "--dir", tmp_path / "ci", "--limit", limit]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer's preload
    run = ["bash", ROOT / ".ci/run", *args, "--lanes", lanes]
    r = subprocess.run(run, capture_output=True, text=True, env=env, timeout=700)
    verdict = [line for line in r.stdout.splitlines() if line.startswith("CI ")]
    passed = len(plan) - sum(not p.startswith(("lane", "reports")) for p in problems)
    assert r.stdout.splitlines()[-1] == f"stages: {passed} passed, {len(plan) - passed} failed"
    if problems:
        assert r.returncode == 1, r.stdout
        assert len(verdict) == len(problems) + 1, r.stdout
        for line, problem in zip(verdict, problems, strict=False):
            assert re.fullmatch(f"CI failed: {problem}", line), r.stdout
        assert verdict[-1].startswith(f"CI failed: {passed} of {len(plan)} stages passed"), r.stdout
    else:
        assert r.returncode == 0, r.stdout
        assert verdict[-1].startswith(
            f"CI passed: all {len(plan)} stages of the plan passed, each once"
        )


def test_the_plan_runs_every_platforms_wheels():
    plan = subprocess.run([ROOT / ".ci/plan"], capture_output=True, text=True, check=True).stdout
    stages = [line.split("|") for line in plan.splitlines()]
    keys = [s[0] for s in stages]
    assert set("tour asan tsan memcheck fuzz counts debug i386 release".split()) <= set(keys)
    assert all(need in keys[:i] for i, s in enumerate(stages) for need in s[2].split())
    lines = (ROOT / "platforms.tsv").read_text().splitlines()
    rows = [line.split("\t") for line in lines if line and not line.startswith("#")][1:]
    # The Windows row is one stage of scripts/windows.sh.
    assert [s[3] for s in stages if s[0] == "windows"] == ["scripts/windows.sh --out $CI_DIR/dist"]
    rows = [r for r in rows if r[7] != "wine"]
    every = sorted({m for r in rows for m in r[5].split()}, key=lambda m: int(m[2:]))
    for arch, pythons, suite, abi3 in ((r[0], r[5], r[6], r[14]) for r in rows):
        waiting = [s[3] for s in stages if s[2] == f"wheels-{arch}"]
        assert f"scripts/test-arch.sh {arch} $CI_DIR/dist/*_{arch}.whl" in waiting
        whole = [s.split("-s tests-")[1].split()[0] for s in waiting if "-s tests-" in s]
        assert whole == (pythons.split() if suite == "all" else []), arch
        # The stable-ABI wheel, where the suite runs natively: on every Python from its floor.
        stable = [s.split("-s abi3-")[1].split()[0] for s in waiting if "-s abi3-" in s]
        floor = int(abi3[2:]) if abi3 != "-" and suite == "all" else 99
        assert stable == [m for m in every if int(m[2:]) >= floor], arch
    assert len({s[1] for s in stages}) == len(set(keys)) == len(stages), "names and keys unique"


def test_every_stage_that_runs_a_session_names_one_of_the_noxfile() -> None:
    plan = subprocess.run([ROOT / ".ci/plan"], capture_output=True, text=True, check=True).stdout
    names = re.findall(r"scripts/nox -s (\S+)", plan)
    assert "tour" in names and any(n.startswith("tests-") for n in names), plan
    # nox fails when one of the sessions asked for is not in noxfile.py.
    listed = subprocess.run(["bash", ROOT / "scripts/nox", "-l", "-s", *names], capture_output=True,
                            text=True, timeout=subprocess_limit())  # fmt: skip
    assert listed.returncode == 0, listed.stdout + listed.stderr


@pytest.mark.parametrize("stale", [False, True])  # stale: a row less than the tables show
def test_the_docs_tables_are_made_from_the_platforms_table(monkeypatch, capsys, stale):
    monkeypatch.syspath_prepend(ROOT / "tools")
    import platforms

    table = platforms.rows()[: len(platforms.rows()) - stale]
    monkeypatch.setattr(platforms, "rows", lambda: table)
    monkeypatch.setattr(sys, "argv", ["tools/platforms.py", "--check"])
    assert platforms.main() == stale, capsys.readouterr().out


# What a run under Wine reports, judged by tools/windows/verdict.py: its status, 0 after a crash
# under Wine 8, does not pass a run whose report is cut short or shows tests not run.
CRASHED = "Windows fatal exception: access violation"
SUITE = "collected 3 items\n\n...\n==== 2 passed, 1 skipped in 4.20s ===="
CASES = '<testcase classname="tests.test_a.TestA" /><testcase classname="" name="tests.test_b" />'
BENCH = "orvantis._torvane_core 1.0\n\nNative memory, as growth of the resident size:\n\n| x |"


@pytest.mark.parametrize(
    ("kind", "log", "junit", "status", "failure"),
    [
        ("smoke", "smoke ok", None, "0", None),
        ("smoke", "smoke ok", None, "5", "Wine's exit status 5"),
        ("smoke", f"smoke ok\n{CRASHED}", None, "0", "its last line is not"),
        ("suite", SUITE, CASES, "0", None),
        ("suite", f"collected 3 items\n{CRASHED}", None, "0", "no result line"),
        ("suite", SUITE.replace("skipped", "deselected"), CASES, "0", "pytest's result"),
        ("suite", SUITE.replace("skipped", "failed"), CASES, "0", "pytest's result"),
        ("suite", SUITE, None, "0", "no JUnit report"),
        ("suite", SUITE, CASES.replace("test_b", "test_c"), "0", "from tests/test_b"),
        ("bench", BENCH, None, "0", None),
        ("bench", BENCH.replace("| x |", CRASHED), None, "0", "ends before its last table"),
    ],
)  # fmt: skip
def test_the_verdict_of_a_run_under_wine(tmp_path, kind, log, junit, status, failure):
    (tmp_path / "log").write_text(log)
    if junit is not None:
        (tmp_path / "junit.xml").write_text(
            f"<testsuites><testsuite>{junit}</testsuite></testsuites>"
        )
    files = ["junit.xml", "tests/test_a.py", "tests/test_b.py"] if kind == "suite" else []
    verdict = [sys.executable, ROOT / "tools/windows/verdict.py", kind, "log", status, *files]
    judged = subprocess.run(verdict, cwd=tmp_path, capture_output=True, text=True)
    assert judged.returncode == (failure is not None) and (failure or "") in judged.stderr


# The processor probe's verdicts (scripts/cpu-probe.sh), on a probe of its own: refused only by
# the illegal-instruction signal, each of the probes its file names; a probe that never started
# (127) or died of another signal proves nothing.
FAKE_PROBE = "#!/bin/sh\ncase $1 in ill) kill -ILL $$;; fpe) kill -FPE $$;; segv) kill -SEGV $$;;\
ran) exit 3; esac"


@pytest.mark.parametrize(
    ("verdict", "probes", "problem"),
    [
        ("refuses", "ill ill", None),
        ("refuses", "", "the probe was not refused where it runs (exit 127)"),
        ("refuses", "ill none", "the probe of none was not refused where it runs (exit 127)"),
        ("refuses", "ill segv", "the probe of segv was not refused where it runs (exit 139)"),
        ("refuses", "ill fpe", "the probe of fpe was not refused where it runs (exit 136)"),
        ("refuses", "fpe fpe\n// refused by: FPE", None),  # s390x's refusal
        ("refuses", "fpe ill\n// refused by: FPE", "the probe of ill was not refused"),
        ("refuses", "ran ill", "the probe of ran was not refused where it runs (ran)"),
        ("runs", "ran ran", None),
        ("runs", "ran ill", "the probe of ill failed on qemu's newest model (refused)"),
    ],
)  # fmt: skip
def test_the_processor_probes_verdicts(tmp_path, verdict, probes, problem):
    (tmp_path / "probe").write_text(FAKE_PROBE + "\nexit 127\n")
    (tmp_path / "probe").chmod(0o755)
    (tmp_path / "probe.c").write_text(f"// probes: {probes}\n")
    script = f"""source scripts/cpu-probe.sh; probe={tmp_path}/probe
        probe_names {tmp_path}/probe.c; {verdict} {"it" if verdict == "refuses" else ""} env"""
    run = subprocess.run(["bash", "-c", script], cwd=ROOT, capture_output=True, text=True)
    assert run.returncode == (problem is not None) and (problem or "") in run.stderr, run.stderr


@pytest.mark.parametrize("row", ["1\t2", "3", "3\t4\t5"])  # a row short of a column, or over
def test_a_tables_rows_have_its_columns(tmp_path, monkeypatch, row) -> None:
    monkeypatch.syspath_prepend(ROOT / "tools")
    import platforms

    (tmp_path / "t.tsv").write_text(f"# a comment\na\tb\n{row}\n")
    monkeypatch.setattr(platforms, "ROOT", tmp_path)
    with pytest.raises(ValueError) if row != "1\t2" else contextlib.nullcontext():
        assert platforms.table("t.tsv") == [{"a": "1", "b": "2"}]


# The scripts, tools and tests a table's header names read it: name it outside a comment, or
# source scripts/arches.sh, which reads both.
@pytest.mark.parametrize("table", ["facts.tsv", "platforms.tsv"])
def test_the_readers_a_table_names_read_it(table) -> None:
    header = "".join(re.findall(r"^#.*", (ROOT / table).read_text(), re.M))
    named = re.findall(r"(?:\.ci|scripts|tests|tools)/[\w./+-]*[\w+]", header)
    named = [p for p in named if (ROOT / p).is_file()]
    reads = rf"^(?!\s*#).*({re.escape(table)}|source \S*arches\.sh)"
    assert [p for p in named if not re.search(reads, (ROOT / p).read_text(), re.M)] == []
