"""Shared helpers for the test suite, and a watchdog for tests that hang in native code."""

import faulthandler
import importlib
import importlib.metadata
import os
import re
import subprocess
import sys
import textwrap
import threading
import tomllib
from pathlib import Path

import pytest
from hypothesis import settings

ROOT = Path(__file__).resolve().parents[1]

# Under emulation (scripts/test-arch.sh) every instruction costs about twenty: the tests that
# draw many random cases draw a tenth of them, and hypothesis tries fewer examples.
EMULATED = os.environ.get("TORVANE_EMULATED") == "1"


def scaled(cases: int) -> int:
    return max(1, cases // 10) if EMULATED else cases


# A child interpreter's time limit is three times as long under emulation, where a busy machine
# can double the twentyfold cost again (each test's own limit is scripts/test-arch.sh's).
TIME_SCALE = 3 if EMULATED else 1


# No verdict may depend on how busy the machine is: hypothesis's per-example deadline (200 ms by
# default) failed a test on a loaded machine, so there is none.
settings.register_profile("unhurried", deadline=None)
settings.register_profile("emulated", parent=settings.get_profile("unhurried"), max_examples=20)
settings.load_profile("emulated" if EMULATED else "unhurried")

# The release checks check the wheels that scripts/wheels.sh builds, and run there: it sets
# TORVANE_RELEASE_CHECKS=1. Every other run leaves them out.
collect_ignore = [] if os.environ.get("TORVANE_RELEASE_CHECKS") == "1" else ["test_packaging.py"]
# The Windows checks: the wheels' PE files with the release checks, the interpreter's on Windows.
if os.environ.get("TORVANE_RELEASE_CHECKS") != "1" and sys.platform != "win32":
    collect_ignore.append("test_windows.py")


# The version as written in the header, where the build takes it from: the release checks compare
# what they build with it. The installed module is compared with installed_version().
VERSION = re.search(
    r'kVersion = "([^"]+)";', (ROOT / "torvane_core/src/pyfacade/version.hpp").read_text()
)[1]


def installed_version() -> str:
    """The installed distribution's version, as its metadata gives it."""
    return importlib.metadata.version("orvantis-torvane-core")


# The module's __all__: every public name, in the order the module adds them.
MODULE_ALL = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]


# Prepended to code run by run_python: `run_in_subinterpreter(code, isolated=True)` runs code in
# a new sub-interpreter (isolated, or a legacy one that shares the main interpreter's ways) and
# returns None, or its failure as "<class 'ImportError'>: message". CPython's private module for
# them is `_xxsubinterpreters` in 3.12 and `_interpreters` in 3.13, which returns the failure.
SUBINTERPRETERS = """
import sys

if sys.version_info >= (3, 13):
    import _interpreters

    def run_in_subinterpreter(code, isolated=True):
        interp = _interpreters.create("isolated" if isolated else "legacy")
        try:
            failure = _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)
        return None if failure is None else f"<class '{failure.type.__name__}'>: {failure.msg}"
else:
    import _xxsubinterpreters

    def run_in_subinterpreter(code, isolated=True):
        interp = _xxsubinterpreters.create(isolated=isolated)
        try:
            _xxsubinterpreters.run_string(interp, code)
        except _xxsubinterpreters.RunFailedError as failure:
            return str(failure)
        finally:
            _xxsubinterpreters.destroy(interp)
        return None
"""


def run_python(code: str, *, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of this environment; process-wide behaviour
    (imports, sub-interpreters, standard error) is only observable there."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout * TIME_SCALE,
    )


def run_threads(n: int, target, *args):
    """Starts `n` threads that call target(i, *args) at the same moment; returns their results
    in thread order and re-raises the first failure."""
    barrier = threading.Barrier(n)
    results: list = [None] * n
    errors: list[BaseException] = []

    def worker(i: int) -> None:
        try:
            barrier.wait()
            results[i] = target(i, *args)
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


@pytest.fixture(scope="session")
def core():
    from orvantis import _torvane_core

    return _torvane_core


HOOKS_MISSING = (
    "needs _torvane_testhooks, the test-only module that the test sessions build "
    "(-C cmake.define.TORVANE_TEST_HOOKS=ON); a wheel never holds it"
)


def in_ci() -> bool:
    """Whether CI runs this (it sets CI=true)."""
    return os.environ.get("CI", "").lower() not in ("", "0", "false")


def hooks_required() -> str | None:
    """What requires the test hooks in this run, or None. TORVANE_REQUIRE_HOOKS=1: the commands
    that build the hooks set it. In CI they are required unless TORVANE_REQUIRE_HOOKS=0 says
    that a run is without them on purpose (the plain pytest of the release checks)."""
    setting = os.environ.get("TORVANE_REQUIRE_HOOKS")
    if setting == "1":
        return "TORVANE_REQUIRE_HOOKS=1"
    if in_ci() and setting != "0":
        return "CI (TORVANE_REQUIRE_HOOKS=0 for a run without them on purpose)"
    return None


def import_hooks():
    """The test hooks module. Without it the test (or, at module level, the file) skips, unless
    hooks_required(): then a missing module fails the run instead of skipping a good part of
    the suite."""
    try:
        return importlib.import_module("_torvane_testhooks")
    except ModuleNotFoundError as exc:
        if exc.name != "_torvane_testhooks":
            raise
    if (required_by := hooks_required()) is not None:
        pytest.fail(f"{HOOKS_MISSING}; {required_by} requires it", pytrace=False)
    pytest.skip(HOOKS_MISSING, allow_module_level=True)


@pytest.fixture(scope="session")
def hooks():
    return import_hooks()


# pytest-timeout (its limit is in pyproject.toml) fails a test that runs too long from a Python
# signal handler, and that handler never runs while native code holds the GIL: a look-up that
# probed a table forever would hang the whole run all the same. faulthandler's watchdog is a
# native thread. Armed with every test's limit plus a margin, it writes every thread's stack,
# the test's own frame among them, to the real standard error and ends the run.
_watchdog_fd: int | None = None


def pytest_configure(config):
    global _watchdog_fd
    # Here, between collection and the tests, fd 2 is not yet taken by the capture of output.
    _watchdog_fd = os.dup(2)


def pytest_unconfigure(config):
    faulthandler.cancel_dump_traceback_later()
    if _watchdog_fd is not None:
        os.close(_watchdog_fd)


# The running test's own time limit, in seconds: pyproject.toml's until pytest-timeout sets it.
_test_limit = float(
    tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["pytest"]["ini_options"]["timeout"]
)


def subprocess_limit() -> float:
    """A child process's time limit: a little less than the running test's own, so that a child
    that hangs fails its test, with the child's output, before the test's own limit ends it."""
    return max(1.0, 0.9 * _test_limit)


@pytest.hookimpl(optionalhook=True)
def pytest_timeout_set_timer(item, settings):
    global _test_limit
    if settings.timeout:
        _test_limit = settings.timeout
    if settings.timeout and _watchdog_fd is not None:
        limit = settings.timeout + max(2.0, 0.1 * settings.timeout)
        faulthandler.dump_traceback_later(limit, exit=True, file=_watchdog_fd)
    # None: pytest-timeout goes on to set its own timer.


@pytest.hookimpl(optionalhook=True)
def pytest_timeout_cancel_timer(item):
    faulthandler.cancel_dump_traceback_later()
