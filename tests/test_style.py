"""House style: clang-format over the C++ sources, ruff over the Python. Both tools are pinned in
the test dependency group, so a verdict here is the same on every machine. And the count of the
coverage gate's exclusions, by reason."""

import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CLANG_FORMAT = Path(sys.executable).parent / "clang-format"

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("TORVANE_SANITIZED") == "1",
        reason="checks the text of the sources, not the native code",
    ),
    # Not in the runs on other architectures: the sources are the same on every machine.
    pytest.mark.host_only,
]


def cxx_sources() -> list[Path]:
    return sorted(
        path
        for top in ("torvane_core", "bench")
        for path in (ROOT / top).rglob("*")
        if path.suffix in {".cpp", ".hpp", ".h", ".cc"}
    )


def run(args: list[str | Path]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(a) for a in args], cwd=ROOT, capture_output=True, text=True, timeout=300
    )


def test_there_are_sources_to_check() -> None:
    assert len(cxx_sources()) > 10
    assert (ROOT / ".clang-format").is_file()
    assert CLANG_FORMAT.is_file(), f"{CLANG_FORMAT} is missing: install the test dependency group"


@pytest.mark.parametrize("path", cxx_sources(), ids=lambda p: str(p.relative_to(ROOT)))
def test_cxx_source_is_formatted(path: Path) -> None:
    result = run(
        [CLANG_FORMAT, f"--style=file:{ROOT / '.clang-format'}", "--dry-run", "--Werror", path]
    )
    assert result.returncode == 0, (
        f"{path.relative_to(ROOT)} differs from clang-format's layout; "
        f"apply with: clang-format -i {path.relative_to(ROOT)}\n{result.stderr}"
    )


def test_python_passes_lint() -> None:
    result = run([sys.executable, "-m", "ruff", "check", "--no-cache", "."])
    assert result.returncode == 0, result.stdout + result.stderr


def test_python_is_formatted() -> None:
    result = run([sys.executable, "-m", "ruff", "format", "--check", "--no-cache", "."])
    assert result.returncode == 0, result.stdout + result.stderr


def test_coverage_exclusions_are_counted_by_reason() -> None:
    # Each exclusion from the coverage gate (tools/coverage_gate.py) names a known reason; one
    # more is added here on purpose, never unnoticed.
    gate = runpy.run_path(str(ROOT / "tools" / "coverage_gate.py"))
    counts, bad = gate["exclusions"]()
    assert (dict(counts), bad) == ({"random": 1, "library": 1, "timing": 2}, [])
