"""The internal-failure exception and the diagnostic that goes with it. An internal failure
needs the interpreter to fail a call the module treats as infallible, so these tests inject an
allocation failure in a subprocess."""

import ctypes
import os
import re
import sys
import threading
from pathlib import Path

import pytest
from conftest import run_python

# Fails the interpreter allocations one at a time while py_list_quarks() makes its list, until
# a call ends in the internal-failure exception.
PROBE = """
import sys, _torvane_testhooks as hooks
from orvantis import _torvane_core as core
for k in range(200):
    hooks.set_nomemory(k, k + 1)
    try:
        core.py_list_quarks()
    except BaseException as exc:
        hooks.remove_mem_hooks()
        if type(exc).__name__ == "PanicException":
            panic = type(exc)
            print(repr(exc.args))
            print(panic.__module__, panic.__qualname__, panic.__bases__ == (BaseException,))
            print(isinstance(exc, Exception), hasattr(core, "PanicException"))
            print(repr(panic.__doc__))
            print(core.py_list_quarks()[0])
            break
    else:
        hooks.remove_mem_hooks()
"""


def test_the_diagnostic_names_the_thread_as_the_system_does(hooks):
    # In a thread of its own, whose id is not the process's. Python gives Windows threads no
    # description before 3.14; Linux names a thread after the program.
    def label():
        tid = threading.get_native_id()
        comm = Path(f"/proc/self/task/{tid}/comm")
        name = comm.read_text().rstrip("\n") if sys.platform != "win32" else "<unnamed>"
        seen.append((hooks.thread_label(), (tid, name)))

    seen: list[tuple[object, object]] = []
    (thread := threading.Thread(target=label)).start()
    thread.join()
    ((got, expected),) = seen
    assert got == expected and expected[0] != os.getpid()


@pytest.mark.skipif(sys.platform != "win32", reason="Windows looks its thread names up at run time")
def test_a_windows_without_thread_descriptions_names_no_thread(hooks):
    # GetThreadDescription is Windows 10 1607's: looked up under a name no system exports, as on
    # an older one, it is not found and the thread goes unnamed; found, it names the thread.
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetCurrentThread.restype = ctypes.c_void_p
    kernel32.SetThreadDescription.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p]

    def label():
        kernel32.SetThreadDescription(kernel32.GetCurrentThread(), "worker \u00e9")
        seen.extend(hooks.thread_label(*s)[1] for s in [(), ("GetThreadDescription",), ("Nope",)])

    seen: list[str] = []
    (thread := threading.Thread(target=label)).start()
    thread.join()
    assert seen == ["worker \u00e9", "worker \u00e9", "<unnamed>"]


def test_api_failure_becomes_panic_exception(hooks):
    r = run_python(PROBE)
    assert r.returncode == 0, r.stderr
    args, names, flags, doc, after = r.stdout.splitlines()
    assert args == "('Python API call failed',)"
    assert names == "native_runtime PanicException True"
    assert flags == "False False"
    assert doc.startswith("'\\nThe exception raised when native code")
    assert doc.endswith(
        "Like SystemExit, this exception is derived from BaseException so that\\n"
        "it will typically propagate all the way through the stack and cause the\\n"
        "Python interpreter to exit.\\n'"
    )
    assert after == "bottom"
    # The interpreter's error is printed first, then the diagnostic naming thread and place.
    assert "MemoryError" in r.stderr
    diagnostic = r.stderr[r.stderr.index("MemoryError") :]
    # On every system in one form, with the thread as the system names it.
    assert re.search(
        r"^thread '[^']*' \(\d+\) hit an internal failure at "
        r"torvane_core/src/pyfacade/functions\.cpp:\d+:\d+:\nPython API call failed$",
        diagnostic.rstrip(),
        re.MULTILINE,
    )


@pytest.mark.usefixtures("hooks")  # its child imports them: without them, it skips
@pytest.mark.parametrize(("kind", "holds"), [("always", True), ("never", False)])
def test_a_claim_is_checked_in_the_coverage_build_and_defended_in_a_release_build(kind, holds):
    # runtime/claims.hpp: the coverage build (CI's debug stage) checks every claim as the tests
    # run it; a release build keeps the defence.
    r = run_python(
        f"""
        import _torvane_testhooks as hooks
        print(hooks.claim("{kind}", {holds}))
        print(hooks.claim("{kind}", {not holds}))
        """
    )
    if os.environ.get("TORVANE_COVERAGE"):
        assert (r.returncode, r.stdout) == (-6, "claimed\n")
        failed = rf".*hooks_runtime\.cpp:\d+: claim failed: {kind} value != 0\n"
        assert re.fullmatch(failed, r.stderr)
    else:
        assert (r.returncode, r.stdout, r.stderr) == (0, "claimed\ndefended\n", "")


# Not in the runs on other architectures (scripts/test-arch.sh): there the emulator adds a line of
# its own to the standard error of a process that a signal ends.
@pytest.mark.host_only
@pytest.mark.parametrize("stderr", ["open", "closed"])
def test_exhausted_native_memory_ends_the_process_with_one_line(hooks, stderr):
    # Past the largest object size (PTRDIFF_MAX) on 64-bit and 32-bit targets alike: the C
    # library refuses it without trying.
    too_large = sys.maxsize + 1
    r = run_python(
        f"""
        import os, _torvane_testhooks as hooks
        {"os.close(2)" if stderr == "closed" else ""}
        hooks.checked_alloc(0)
        hooks.checked_alloc(1 << 20)
        hooks.checked_alloc({too_large})
        print("not reached")
        """
    )
    # abort() ends the process by SIGABRT; on Windows with status 3.
    assert r.returncode == (3 if sys.platform == "win32" else -6)
    assert r.stdout == ""
    assert r.stderr == (
        "" if stderr == "closed" else f"memory allocation of {too_large} bytes failed\n"
    )
