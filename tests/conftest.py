"""Shared helpers for the test suite."""

import subprocess
import sys
import textwrap
import threading

import pytest

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
        timeout=timeout,
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


@pytest.fixture(scope="session")
def hooks():
    return pytest.importorskip("_torvane_testhooks")
