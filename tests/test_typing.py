"""The type stub: it matches the installed module, ships beside it, and typed code using the
module passes mypy --strict while misuse is caught."""

import os
import re
import subprocess
import sys
import textwrap
from importlib.util import find_spec
from pathlib import Path

import pytest
from conftest import subprocess_limit

ROOT = Path(__file__).resolve().parents[1]
SOURCE_PACKAGE = ROOT / "python" / "orvantis"

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("TORVANE_SANITIZED") == "1",
        reason="checks the stub, not the native code; "
        "the type checker is not built for the sanitizers",
    ),
    # Not in the runs on other architectures: the stub is the same on every machine.
    pytest.mark.host_only,
    pytest.mark.source_check,
]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # One cache for the module's runs: the standard library is analysed once, and nothing is
    # written into the work tree.
    return tmp_path_factory.mktemp("mypy-cache")


def run(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=subprocess_limit(),
    )


def mypy_strict(path: Path, cache: Path, cwd: Path = ROOT) -> subprocess.CompletedProcess[str]:
    return run(["mypy", "--strict", "--no-color-output", "--cache-dir", str(cache), str(path)], cwd)


def test_installed_package_carries_the_source_stub() -> None:
    module_spec = find_spec("orvantis._torvane_core")
    assert module_spec is not None and module_spec.origin is not None
    installed = Path(module_spec.origin).parent
    assert installed != SOURCE_PACKAGE, "the tests must import the installed module"
    # A stale install would make every check below judge an old stub: reinstall first.
    assert (installed / "_torvane_core.pyi").read_bytes() == (
        SOURCE_PACKAGE / "_torvane_core.pyi"
    ).read_bytes()
    assert (installed / "py.typed").is_file()


def test_stub_matches_runtime(tmp_path: Path) -> None:
    # No allowlist: every name, signature, parameter kind and @final must agree with what the
    # module reports at run time.
    result = run(["mypy.stubtest", "--concise", "orvantis._torvane_core"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("example", ["tour.py", "typed_usage.py"])
def test_example_passes_strict(example: str, mypy_cache: Path) -> None:
    result = mypy_strict(ROOT / "examples" / example, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# E: code" must draw exactly that error, and no other line any error; each
# reveal_type must show exactly the type after "# R:".
MISUSE = """
from typing import Literal

from orvantis import _torvane_core as core

class Sub(core.PyFormulasRegistry): ...  # E: misc
core.PyCKMMatrix()  # E: call-arg
core.PyCKMMatrix(1)  # E: arg-type
core.PyFormulasRegistry(1)  # E: call-arg
core.PyQuarkRegistry(size=1)  # E: call-arg
registry = core.PyFormulasRegistry()
registry.get(1)  # E: arg-type
registry.get(key="phi")  # E: call-arg
registry.get()  # E: call-arg
ckm = core.PyCKMMatrix.from_topology()
ckm.is_unitary("0.1")  # E: arg-type
ckm.is_unitary()  # E: call-arg
ckm.jarlskog(1)  # E: call-arg
sheet = core.py_get_constant("b3")
sheet["expression"]  # E: typeddict-item
core.py_get_constant(3)  # E: arg-type
core.py_list_constants(1)  # E: call-arg
core.__version__ = 2  # E: assignment
text: str = sheet["value"]  # E: assignment

class Number:
    def __index__(self) -> int:
        return 0

ckm.is_unitary(0)
ckm.is_unitary(True)
ckm.is_unitary(tol=Number())
ckm.is_unitary(tol=1e-9)
reveal_type(core.py_list_constants())  # R: list[str]
reveal_type(core.py_list_quarks())  # R: list[str]
status: Literal["Seed", "Cached", "Pending", "External"] = sheet["status"]
seed: Literal["Seed"] = sheet["status"]  # E: assignment
reveal_type(sheet["uncertainty"])  # R: float | None
reveal_type(registry.get("phi"))  # R: float
reveal_type(core.PyFormulasRegistry.version())  # R: str
reveal_type(len(core.PyQuarkRegistry()))  # R: int
reveal_type(core.PyCKMMatrix.from_topology())  # R: orvantis._torvane_core.PyCKMMatrix
reveal_type(ckm.is_unitary(0.5))  # R: bool
reveal_type(ckm.jarlskog())  # R: float
"""


def test_stub_rejects_misuse(tmp_path: Path, mypy_cache: Path) -> None:
    source = textwrap.dedent(MISUSE).lstrip()
    (tmp_path / "misuse.py").write_text(source)
    expected_errors = set()
    expected_reveals = {}
    for number, line in enumerate(source.splitlines(), start=1):
        if (m := re.search(r"# E: (\S+)$", line)) is not None:
            expected_errors.add((number, m.group(1)))
        if (m := re.search(r"# R: (.+)$", line)) is not None:
            expected_reveals[number] = m.group(1)

    result = mypy_strict(tmp_path / "misuse.py", mypy_cache, cwd=tmp_path)
    errors = set()
    reveals = {}
    for line in result.stdout.splitlines():
        if (m := re.match(r"misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", line)) is not None:
            errors.add((int(m.group(1)), m.group(2)))
        elif (m := re.match(r'misuse\.py:(\d+): note: Revealed type is "(.+)"$', line)) is not None:
            reveals[int(m.group(1))] = m.group(2)
    assert errors == expected_errors, result.stdout
    assert reveals == expected_reveals, result.stdout
