"""Injected allocation failures: one interpreter allocation fails, at every point of each entry
point's run and of the module's import, and the process neither crashes nor leaks, the call
ends in its own outcome, MemoryError or the documented internal failure, and afterwards every
entry point works again.

Every sweep runs in its own interpreter: `_testcapi.set_nomemory(k, k + 1)` fails exactly the
(k+1)-th allocation after it is set, in all three allocator domains.
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import pytest
from conftest import MODULE_ALL, subprocess_limit

# Not in the runs on other architectures (scripts/test-arch.sh): a sweep runs each path once per
# allocation, hours there.
pytestmark = pytest.mark.host_only

pytest.importorskip("_testcapi")

WORKLOAD = Path(__file__).with_name("reliability_workload.py")

# Written only if the process is about to die; any of them fails the sweep.
FATAL_MARKERS = (
    "Fatal Python error",
    "uncaught panic at ffi boundary",
    "memory allocation of",
    "Segmentation fault",
    "AddressSanitizer",
    "LeakSanitizer",
    "runtime error:",
)
# The diagnostic of an internal failure; the message on the next line.
DIAGNOSTIC = re.compile(
    r"^thread '[^']*' \(\d+\) hit an internal failure at torvane_core/src/"
    r"pyfacade/[a-z_]+\.cpp:\d+:\d+:$"
)
INTERNAL_MESSAGES = (
    "Python API call failed",
    "could not append __name__ to __all__",
)


def _path_names() -> list[str]:
    out = subprocess.run(
        [sys.executable, str(WORKLOAD), "list"], capture_output=True, text=True, check=True
    )
    return [p["name"] for p in json.loads(out.stdout)["paths"]]


PATH_NAMES = _path_names()


def check_stderr(stderr: str) -> None:
    for marker in FATAL_MARKERS:
        assert marker not in stderr, stderr[-4000:]
    lines = stderr.splitlines()
    for i, line in enumerate(lines):
        if "hit an internal failure" in line:
            assert DIAGNOSTIC.match(line), line
            message = lines[i + 1] if i + 1 < len(lines) else ""
            assert message in INTERNAL_MESSAGES or message.startswith(
                "failed to allocate a new PyCKMMatrix: "
            ), message


@pytest.mark.parametrize("path", PATH_NAMES)
def test_every_failure_point_of_every_path(path: str) -> None:
    result = subprocess.run(
        [sys.executable, str(WORKLOAD), "nomemory", path],
        capture_output=True,
        text=True,
        timeout=subprocess_limit(),
    )
    check_stderr(result.stderr)
    assert result.returncode == 0, result.stderr[-4000:]
    report = json.loads(result.stdout)
    assert report["problems"] == []
    assert report["refcount_changes"] == {}
    # A reference kept at one failure point would leave a block behind on every sweep.
    settled = report["blocks_growth"] < report["measured_sweeps"] // 2
    if not settled and sys.version_info >= (3, 13) and "PanicException" in report["outcomes"]:
        # 3.13 prints the pending exception (PyErr_Print) through Python code of its own, whose
        # allocations keep changing from sweep to sweep by an amount that depends on how the
        # interpreter was started (-I, -s, -E give other figures): not a measure of the module.
        # The reference counts above and the leak loops still hold it to account.
        warnings.warn(
            f"{path}: allocated blocks grew by {report['blocks_growth']} over"
            f" {report['measured_sweeps']} sweeps on {sys.version.split()[0]}, whose printing"
            " of the internal failures' pending exceptions drifts; not counted",
            stacklevel=1,
        )
    else:
        assert settled, report
    assert report["after"] == []
    # Every sweep went all the way: its last run had no failure (and ended as the path should,
    # or "problems" would say so).
    low, high = report["points_range"]
    assert 0 <= low <= high < 20_000
    assert report["outcomes"]["ok" if report["error"] is None else report["error"]] > 0


def test_the_sweeps_reach_the_documented_outcomes() -> None:
    """The outcomes the conventions single out do occur, so the sweeps do exercise them."""
    seen: dict[str, set[str]] = {}
    for path in (
        "list_constants",
        "registry_get",
        "ckm_from_topology",
        "registry_new",
        "get_constant",
        "registry_get_not_found",
        "ckm_jarlskog",
    ):
        result = subprocess.run(
            [sys.executable, str(WORKLOAD), "nomemory", path],
            capture_output=True,
            text=True,
            timeout=subprocess_limit(),
        )
        assert result.returncode == 0, result.stderr[-4000:]
        seen[path] = set(json.loads(result.stdout)["outcomes"])
    # A result object that cannot be made: the internal failure, after PyErr_Print.
    assert "PanicException" in seen["list_constants"]
    assert "PanicException" in seen["registry_get"]
    # The float of jarlskog's fast path: the internal failure, never a bare MemoryError.
    assert seen["ckm_jarlskog"] == {"PanicException", "ok"}
    # from_topology's instance allocation: the internal failure carrying the allocation error.
    assert "PanicException" in seen["ckm_from_topology"]
    # A constructor's instance allocation: the allocator's own MemoryError.
    assert seen["registry_new"] == {"MemoryError", "ok"}
    # json.loads and the key error's message: MemoryError, and the outcome itself otherwise.
    assert seen["get_constant"] == {"MemoryError", "ok"}
    assert seen["registry_get_not_found"] == {"MemoryError", "KeyError"}


def test_from_topology_reports_the_allocation_error() -> None:
    code = """
        import sys
        sys.path.insert(0, WORKLOAD_DIR)
        import reliability_workload as w
        import _testcapi
        result, exc, complete = w._attempt(w.BY_NAME["ckm_from_topology"].call, 0,
                                           _testcapi.set_nomemory, _testcapi.remove_mem_hooks)
        print(type(exc).__module__, type(exc).__qualname__, exc.args)
        print(issubclass(type(exc), Exception), issubclass(type(exc), BaseException))
    """.replace("WORKLOAD_DIR", repr(str(WORKLOAD.parent)))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "native_runtime PanicException ('failed to allocate a new PyCKMMatrix: MemoryError',)",
        "False True",
    ]
    lines = result.stderr.splitlines()
    assert len(lines) == 2
    assert DIAGNOSTIC.match(lines[0]), lines
    assert lines[1] == "failed to allocate a new PyCKMMatrix: MemoryError"


def test_a_result_that_cannot_be_made_is_printed_then_raised_as_internal_failure() -> None:
    code = """
        import sys
        sys.path.insert(0, WORKLOAD_DIR)
        import reliability_workload as w
        import _testcapi
        result, exc, complete = w._attempt(w.BY_NAME["registry_get"].call, 0,
                                           _testcapi.set_nomemory, _testcapi.remove_mem_hooks)
        print(type(exc).__qualname__, exc.args)
    """.replace("WORKLOAD_DIR", repr(str(WORKLOAD.parent)))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException ('Python API call failed',)\n"
    lines = result.stderr.splitlines()
    # PyErr_Print's report of the MemoryError, then the diagnostic.
    assert lines[0] == "MemoryError"
    assert DIAGNOSTIC.match(lines[1]), lines
    assert lines[2] == "Python API call failed"
    assert len(lines) == 3


# ---------------------------------------------------------------------------------------------
# The import. Each attempt runs in a child forked from an interpreter that has imported the
# package but never the module, so every attempt meets the state of a first import.

CLASSES = ("PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix")


def module_outcome_problem(report: dict) -> str | None:
    """None when a failed import ended as the module's conventions say."""
    error, args, cause = report["error"], report.get("args"), report.get("cause")
    if error is None or (error == "MemoryError" and args == []):
        return None
    if (
        error == "RuntimeError"
        and len(args) == 1
        and args[0] in {f"An error occurred while initializing class {c}" for c in CLASSES}
    ):
        if cause in (
            ["MemoryError", []],
            ["SystemError", ["attempted to fetch exception but none was set"]],
        ):
            return None
        return f"class creation failed with cause {cause}"
    if (
        error == "PanicException"
        and report["error_module"] == "native_runtime"
        and args == ["could not append __name__ to __all__"]
    ):
        return None
    return f"{error}({args}) caused by {cause}"


def interpreter_outcome(report: dict) -> bool:
    """Failures of the import machinery around the module, which never come from the module:
    a lock the machinery could not allocate, and an exception the interpreter lost while
    leaving a Python frame of the machinery (a SystemError naming that Python function)."""
    error, args = report["error"], report.get("args") or [""]
    if error == "RuntimeError" and args == ["can't allocate lock"]:
        return True
    return (
        error == "SystemError"
        and args[0].startswith("<function ")
        and args[0].endswith(" returned NULL without setting an exception")
    )


def import_sweep(mode: str, tmp_path: Path) -> list[dict]:
    result = subprocess.run(
        [sys.executable, str(WORKLOAD), "import-sweep", mode, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=subprocess_limit(),
    )
    assert result.returncode == 0, result.stderr[-4000:]
    reports = [json.loads(line) for line in result.stdout.splitlines()]
    assert reports, result.stderr
    return reports


# CPython 3.13 and later crash inside their own import at some failure points (see
# crashed_in_interpreter in the workload); those points are skipped there, and said so.
INTERPRETER_CRASHES = sys.version_info >= (3, 13)


def check_import_reports(reports: list[dict], strict: bool) -> dict[str, int]:
    outcomes: dict[str, int] = {}
    problems = []
    skipped = []
    for r in reports:
        k = r["k"]
        if INTERPRETER_CRASHES and r.get("interpreter_crash"):
            # Named by its innermost frame that has a name, past the C library's.
            names = [f.split()[0] for f in r["crash_frames"] if "libc.so" not in f]
            skipped.append(f"{k} (in {next((n for n in names if n != '??'), '??')})")
            continue
        check_stderr(r["stderr"])
        if r["status"] != 0:
            problems.append(f"k={k}: the child died ({r['status']}): {r['stderr'][-2000:]}")
            continue
        if "harness_error" in r:
            problems.append(f"k={k}: {r['harness_error']}")
            continue
        outcome = r["error"] or "ok"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        problem = module_outcome_problem(r)
        if problem is not None and (strict or not interpreter_outcome(r)):
            problems.append(f"k={k}: {problem}")
        if r["error"] != "PanicException":
            # Nothing printed, but for the internal failure's diagnostic.
            if r["stderr"]:
                problems.append(f"k={k}: wrote {r['stderr']!r}")
        second = r["second"]
        if second != {
            "same": True,
            "all": MODULE_ALL,
            "quarks": ["bottom", "charm", "down", "strange", "top", "up"],
            "b3": 24.0,
            "len": [17, 6],
            "sheet": {
                "name": "b3",
                "status": "Seed",
                "uncertainty": None,
                "units": "dimensionless",
                "value": 24.0,
            },
            "unitary": True,
            "panic_classes": 1,
        }:
            problems.append(f"k={k}: the second import gave {second}")
    assert problems == []
    if skipped:
        warnings.warn(
            f"skipped failure points {', '.join(skipped)}: CPython {sys.version.split()[0]}"
            " crashed there inside its own code, with no frame of the module on the stack",
            stacklevel=2,
        )
    last = reports[-1]
    assert last["complete"] and last["error"] is None, last
    return outcomes


def test_every_failure_point_of_the_init_entry(tmp_path: Path) -> None:
    reports = import_sweep("entry", tmp_path)
    outcomes = check_import_reports(reports, strict=True)
    # Each kind of failure the conventions name for the import did occur.
    assert outcomes.get("MemoryError", 0) > 0
    assert outcomes.get("RuntimeError", 0) > 0
    assert outcomes.get("PanicException", 0) > 0
    causes = {tuple(r["args"]) for r in reports if r.get("error") == "RuntimeError"}
    assert causes == {(f"An error occurred while initializing class {c}",) for c in CLASSES}


def test_every_failure_point_of_the_import_statement(tmp_path: Path) -> None:
    reports = import_sweep("statement", tmp_path)
    outcomes = check_import_reports(reports, strict=False)
    assert outcomes.get("MemoryError", 0) > 0
    assert len(reports) > 100
