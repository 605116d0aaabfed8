"""Interpreter exit and restart: daemon threads that are inside the module when the interpreter
finalises end as quietly as threads inside the interpreter's own C code, and an application
that finalises the interpreter and starts it again gets a working module.

At exit CPython 3.12 and 3.13.0 end every daemon thread that waits for the GIL with pthread_exit,
a forced unwind through every native frame on its stack, run without the GIL; 3.14 on (and later
3.13 releases) leave such a thread hanging in the wait until the process ends. Either way the
process ends with its own exit status and writes nothing. Each run is a fresh interpreter whose
daemon threads are inside one of the module's calls into Python code.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from conftest import installed_version, run_python, scaled

# Interpreters started for each route, each ending while its threads are inside the module:
# twenty, or two under emulation, where each one costs seconds (the native runs of every Python
# version give the race its twenty chances).
RUNS = scaled(20)

# Each route: the set-up, then one call that runs Python code from inside the module.
EXIT_ROUTES = {
    # json.loads, as the module calls it, sleeps.
    "loads": (
        """
        import types
        sys.modules["json"] = fake = types.ModuleType("json")
        fake.loads = lambda text: time.sleep(0.002)
        """,
        "core.py_get_constant('b3')",
    ),
    # The tolerance's __float__ sleeps.
    "float": (
        """
        class Tol:
            def __float__(self):
                time.sleep(0.002)
                return 0.5
        """,
        "core.PyCKMMatrix.from_topology().is_unitary(Tol())",
    ),
    # str() of an unexpected keyword, put into the message, sleeps.
    "str": (
        """
        class Key(str):
            def __str__(self):
                time.sleep(0.002)
                return "slow"
        """,
        "core.PyFormulasRegistry().get(**{Key('nme'): 1})",
    ),
    # The real json, busy in Python code when the GIL is handed over.
    "json": ("", "core.py_get_constant('b3')"),
    # A finalizer, run by a reference the module drops: the argument error it wrapped.
    "finalizer": (
        """
        class Slow:
            def __del__(self):
                time.sleep(0.002)
        class Tol:
            def __float__(self):
                raise TypeError(Slow())
        """,
        "core.PyCKMMatrix.from_topology().is_unitary(Tol())",
    ),
}

EXIT_CHILD = """
import sys, threading, time
from orvantis import _torvane_core as core
{setup}
def run():
    while True:
        try:
            {call}
        except TypeError:
            pass
for _ in range(4):
    threading.Thread(target=run, daemon=True).start()
time.sleep(0.05)
"""


@pytest.mark.parametrize("route", sorted(EXIT_ROUTES))
def test_daemon_threads_inside_the_module_end_quietly_at_exit(route: str) -> None:
    setup, call = EXIT_ROUTES[route]
    code = EXIT_CHILD.format(setup=textwrap.dedent(setup), call=call)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: run_python(code, timeout=60), range(RUNS)))
    outcomes = [(r.returncode, r.stderr[-2000:]) for r in results]
    assert outcomes == [(0, "")] * RUNS


# ---------------------------------------------------------------------------------------------
# A second and a third runtime in the same process.

EMBED = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Three rounds of initialise, import, call, finalise; each prints what the module answers. */
int main(void) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(
            "import sys\n"
            "from orvantis import _torvane_core as core\n"
            "registry = core.PyFormulasRegistry()\n"
            "print(core.__version__, registry.get('b3'), core.py_list_quarks()[0],\n"
            "      core.py_get_constant('phi')['status'],\n"
            "      core.PyCKMMatrix.from_topology().is_unitary(0.0), len(core.PyQuarkRegistry()))\n"
            "del sys.modules['orvantis._torvane_core']\n"
            "from orvantis import _torvane_core as again\n"
            "print(again is core)\n"
            "try:\n"
            "    core.PyCKMMatrix()\n"
            "except TypeError as e:\n"
            "    print(e)\n"
            "try:\n"
            "    registry.get('x', name=1)\n"
            "except TypeError as e:\n"
            "    print(e)\n");
        if (failed != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""


def _config_script() -> Path:
    # LDVERSION carries the ABI flags ("3.14d" for a debug build, whose library differs).
    version = sysconfig.get_config_var("LDVERSION")
    return Path(sys.base_prefix) / "bin" / f"python{version}-config"


def test_a_second_runtime_gets_a_working_module(tmp_path: Path) -> None:
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    config = _config_script()
    flags = subprocess.run(
        [str(config), "--cflags", "--ldflags", "--embed"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    source = tmp_path / "embed.c"
    source.write_text(EMBED)
    program = tmp_path / "embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    build = subprocess.run(
        [compiler, str(source), "-o", str(program), *flags, f"-Wl,-rpath,{libdir}"],
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    site = Path(sysconfig.get_paths()["purelib"])
    # Not this environment's own bin folder: the embedded interpreter looks for its home through
    # PATH, and 3.15 warns when that leads into a virtual environment.
    path = os.pathsep.join(
        p
        for p in os.environ.get("PATH", "").split(os.pathsep)
        if Path(p) != Path(sys.prefix, "bin")
    )
    env = dict(os.environ, PYTHONPATH=str(site), PATH=path)
    result = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    one_round = [
        f"{installed_version()} 24.0 bottom Seed True 6",
        "True",
        "No constructor defined for PyCKMMatrix",
        "PyFormulasRegistry.get() got multiple values for argument 'name'",
    ]
    assert result.stdout.splitlines() == one_round * 3
