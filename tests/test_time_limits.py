"""Every test has a time limit: a hang fails and names its test, even one in native code that
never gives up the GIL, where no Python signal handler can run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

# A check of the test harness, not of the module: not in the runs on other architectures.
pytestmark = pytest.mark.host_only

HANGS = """
import ctypes

api = ctypes.pythonapi  # called with the GIL held
api.PyThread_allocate_lock.restype = ctypes.c_void_p
api.PyThread_acquire_lock.argtypes = [ctypes.c_void_p, ctypes.c_int]
LOCK = api.PyThread_allocate_lock()
api.PyThread_acquire_lock(LOCK, 1)


def test_waits_forever_in_native_code():
    api.PyThread_acquire_lock(LOCK, 1)
"""


def test_a_hang_in_native_code_is_ended_and_named(tmp_path: Path) -> None:
    (tmp_path / "test_hangs.py").write_text(HANGS)
    tests = Path(__file__).parent
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "conftest", "--timeout=1", "-q", "test_hangs.py"],
        cwd=tmp_path,
        env=dict(os.environ, PYTHONPATH=str(tests)),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Timeout (0:00:03)!" in result.stderr
    assert "in test_waits_forever_in_native_code\n" in result.stderr
