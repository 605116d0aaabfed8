"""House style: clang-format over the C++ sources, ruff over the Python. Both tools are pinned in
the test dependency group, so a verdict here is the same on every machine. And the coverage
gate's exclusions."""

import importlib.util
import json
import os
import re
import runpy
import subprocess
import sys
import types
from pathlib import Path

import pytest
from conftest import VERSION, subprocess_limit

ROOT = Path(__file__).resolve().parents[1]
CLANG_FORMAT = Path(sys.executable).parent / "clang-format"

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("TORVANE_SANITIZED") == "1",
        reason="checks the text of the sources, not the native code",
    ),
    # Not in the runs on other architectures: the sources are the same on every machine.
    pytest.mark.host_only,
    pytest.mark.source_check,
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
        [str(a) for a in args], cwd=ROOT, capture_output=True, text=True, timeout=subprocess_limit()
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


def _table(name: str) -> list[list[str]]:
    return [r.split("\t") for r in (ROOT / name).read_text().splitlines() if r[:1] != "#"][1:]


FACTS = {r[0]: r[1] for r in _table("facts.tsv")}


# The compilers the build asks for (CMakeLists.txt's messages, the fuzz preset's compiler) are
# facts.tsv's; the documents' sentences are made from that table (tools/platforms.py).
@pytest.mark.parametrize(
    ("pattern", "fact"),
    [
        (r"(?<!\w)g\+\+[\s-](\d+)", "gxx"),
        (r"(?<!\w)clang(?:\+\+)?[\s-](\d+)", "clang"),
        (r"libc\+\+[\s-](\d+)", "libcxx"),
    ],
)
def test_every_compiler_floor_stated_is_the_tables(pattern: str, fact: str) -> None:
    presets = json.loads((ROOT / "CMakePresets.json").read_text())["configurePresets"]
    compilers = " ".join(p.get("cacheVariables", {}).get("CMAKE_CXX_COMPILER", "") for p in presets)
    cmake = (ROOT / "CMakeLists.txt").read_text()
    messages = " ".join(re.findall(r'message\(FATAL_ERROR((?:\s*"[^"]*")+)', cmake))
    stated = re.findall(pattern, messages + " " + compilers)
    assert stated and set(stated) == {FACTS[fact]}, stated


def test_contributing_lists_every_preset_and_environment_variable() -> None:
    text = (ROOT / "CONTRIBUTING.md").read_text()
    presets = json.loads((ROOT / "CMakePresets.json").read_text())["configurePresets"]
    listed = re.search(r"the configure presets of `CMakePresets.json` \(([^)]*)\)", text)
    assert listed, "CONTRIBUTING.md names the presets"
    assert re.findall(r"`([\w-]+)`", listed[1]) == [p["name"] for p in presets]
    # The variables the scripts, CI and the tests read, against the table of them.
    reads = re.compile(r'(?:environ(?:\.get)?[\[(]"|\$\{?)(TORVANE_\w+)')
    read = set()
    for path in (
        p
        for top in ("scripts", ".ci", "tools", "tests", "fuzz", "noxfile.py")
        for p in [ROOT / top, *ROOT.joinpath(top).rglob("*")]
    ):
        if path.is_file() and path.suffix in {"", ".sh", ".py"}:
            read |= set(reads.findall(path.read_text(errors="replace")))
    assert read == set(re.findall(r"^\| `(TORVANE_\w+)", text, re.MULTILINE))


def test_the_changelogs_newest_version_is_the_one_that_ships() -> None:
    assert re.search(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(), re.MULTILINE)[1] == VERSION


def test_every_coverage_exclusion_names_a_known_reason() -> None:
    gate = runpy.run_path(str(ROOT / "tools" / "coverage_gate.py"))
    assert gate["exclusions"]()[1] == []


def test_the_coverage_gates_pattern_rule_takes_the_entries_closing_lines_only() -> None:
    # The gate leaves out the branches of every line its pattern matches (gcovr matches from the
    # start of the line): they must be exactly the closings of the bodies handed to the entry
    # wrapper, but for those of the compile-time tables of builtin_constants.hpp.
    gate = runpy.run_path(str(ROOT / "tools" / "coverage_gate.py"))
    closing = re.compile(gate["CLOSING"])
    matched, closings = set(), set()
    for path in sorted((ROOT / "torvane_core" / "src").rglob("*.[ch]pp")):
        lines = path.read_text().splitlines()
        matched |= {(path.name, n) for n, line in enumerate(lines) if closing.match(line)}
        for n, line in enumerate(lines):
            if re.search(r"\bentry(_len)?\(\[.*\{$", line):
                indent = line[: len(line) - len(line.lstrip())]
                closings.add((path.name, lines.index(f"{indent}}});", n)))
    assert {m for m in matched if m[0] != "builtin_constants.hpp"} == closings
    assert len(closings) >= 12


@pytest.mark.parametrize(("lines", "branches", "verdict"), [(0, 0, 0), (0, 1, 1), (1, 0, 1)])
def test_the_coverage_gate_fails_on_any_gap(tmp_path, lines, branches, verdict) -> None:
    gate = runpy.run_path(str(ROOT / "tools" / "coverage_gate.py"))
    file = {"filename": "torvane_core/src/x.cpp", "line_total": 9, "line_covered": 9 - lines,
            "branch_total": 4, "branch_covered": 4 - branches}  # fmt: skip
    (tmp_path / "summary.json").write_text(json.dumps({"files": [file]}))
    assert gate["judge"](tmp_path / "summary.json") == verdict


# The gate's run on a tree of one source, an earlier, passing summary in the report folder: an
# unknown reason, gcovr failing or the suite failing fails it.
@pytest.mark.parametrize(
    ("reason", "gcovr", "suite", "verdict"),
    [
        ("second", 0, "0", 0),
        ("whatever", 0, "0", 1),
        ("second", 2, "0", 1),
        ("second", 0, "3", 1),
    ],
)
def test_the_coverage_gate_run(tmp_path, monkeypatch, reason, gcovr, suite, verdict) -> None:
    found = importlib.util.spec_from_file_location("gate", ROOT / "tools" / "coverage_gate.py")
    found.loader.exec_module(gate := importlib.util.module_from_spec(found))
    (src := tmp_path / "torvane_core/src").mkdir(parents=True)
    (src / "x.cpp").write_text(f"int x;  // GCOVR_EXCL_LINE: {reason}\n")
    for name, text in [("summary.json", '{"files": []}'), ("lines.txt", "")]:
        (tmp_path / name).write_text(text)
    monkeypatch.setattr(gate, "ROOT", tmp_path)
    ran = types.SimpleNamespace(run=lambda *a, **k: subprocess.CompletedProcess(a, gcovr))
    monkeypatch.setattr(gate, "subprocess", ran)
    assert gate.main(["gate", str(tmp_path), str(tmp_path), suite]) == verdict
