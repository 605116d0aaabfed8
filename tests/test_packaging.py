"""The release checks, run by scripts/wheels.sh on the wheels it builds (TORVANE_WHEELHOUSE)
and left out of the default test run (tests/conftest.py): what users get, a wheel for each
Python and architecture and an sdist built the standard way, with metadata an index accepts,
installed into fresh virtual environments, where the module works and the test suite passes
without the test hooks; and what contributors get: an editable install that rebuilds."""

import email.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest
from conftest import HOOKS_MISSING, ROOT, VERSION

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
DIST = f"orvantis_torvane_core-{VERSION}"


def cp(minor: str) -> str:
    return "cp" + minor.replace(".", "")


# platforms.tsv: every wheel scripts/wheels.sh builds, (Python tag, architecture), and the facts
# of each row (its header says what each means) the wheels are checked against.
_LINES = [r.split("\t") for r in (ROOT / "platforms.tsv").read_text().splitlines() if r[:1] != "#"]
# The Windows row's wheels are scripts/windows.sh's, its PE facts tests/test_windows.py's.
ARCHES = {row[0]: dict(zip(_LINES[0], row, strict=True)) for row in _LINES[1:] if row[7] != "wine"}
# A row's stable-ABI wheel is ("abi3", arch), cp312-abi3 (its abi3 column's floor) in its name.
ALL_WHEELS = [
    *((cp(m), a) for a, row in ARCHES.items() for m in row["pythons"].split()),
    *(("abi3", a) for a, row in ARCHES.items() if row["abi3"] != "-"),
]
TAGS = {a: row["tag"] for a, row in ARCHES.items()}
_PYTHONS = {m for r in ARCHES.values() for m in r["pythons"].split()}
PYTHONS = sorted(_PYTHONS, key=lambda m: tuple(map(int, m.split("."))))
REFERENCE = (ROOT / ".python-version").read_text().strip()
# Those it built in this run (TORVANE_WHEELS, "cp312-x86_64 cp313-aarch64 ..."): only these are
# checked, never an older file of another.
_BUILT = os.environ.get("TORVANE_WHEELS", "").split() or [f"{p}-{a}" for p, a in ALL_WHEELS]
WHEELS = [(p, a) for p, a in ALL_WHEELS if f"{p}-{a}" in _BUILT]
EACH_WHEEL = pytest.mark.parametrize(("py", "arch"), WHEELS, ids=[f"{p}-{a}" for p, a in WHEELS])
# The rebuild takes one wheel of each architecture: the compiler, its flags and the core are the
# architecture's, and only the headers differ between its Pythons. x86_64's reference Python is
# built natively, the others' newest in the Debian root. The stable-ABI wheels, built with
# another preset, are rebuilt too.
SAMPLE = [
    min(
        (w for w in WHEELS if w[1] == arch and w[0] != "abi3"),
        key=lambda w: w[0] != cp(REFERENCE if arch == "x86_64" else PYTHONS[-1]),
    )
    for arch in dict.fromkeys(a for p, a in WHEELS if p != "abi3")
] + [w for w in WHEELS if w[0] == "abi3"]
# The checks made once per run, not for each architecture's wheels: the sources, the sdist, the
# table of platforms, and the reference wheel installed as a user would (wheels.sh --checks).
ONCE = pytest.mark.once
# The wheel that this Python installs and runs.
PY = f"cp{sys.version_info[0]}{sys.version_info[1]}"
# Subprocesses that build run up to this many seconds, under a test limit of LONG_TEST.
LONG, LONG_TEST = 540, 600

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("TORVANE_SANITIZED") == "1",
        reason="builds with the release flags; the sanitizers' preload would reach the compilers",
    ),
    # Not in the runs on other architectures: these are the release checks of scripts/wheels.sh.
    pytest.mark.host_only,
]


def tags(py: str, arch: str) -> str:
    """The Python and ABI tags of the wheel `py` of `arch`: cp313-cp313, or cp312-abi3."""
    return f"{cp(ARCHES[arch]['abi3'])}-abi3" if py == "abi3" else f"{py}-{py}"


def so_name(py: str, arch: str) -> str:
    if py == "abi3":
        return "_torvane_core.abi3.so"
    return f"_torvane_core.cpython-{py[2:]}-{ARCHES[arch]['triplet']}.so"


def clean_env() -> dict[str, str]:
    # Build settings from the caller's environment (a cmake define turning the test hooks on,
    # say) must not leak into artifacts that claim to be built the standard way.
    # Nor may the test command's own settings (TORVANE_REQUIRE_HOOKS) reach a run without hooks:
    # such a run says TORVANE_REQUIRE_HOOKS=0 itself.
    drop = ("SKBUILD_", "CMAKE_", "PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "TORVANE_")
    return {k: v for k, v in os.environ.items() if not k.startswith(drop)}


def run(
    args: list[str | Path], cwd: Path, timeout: float = 240, env: dict[str, str] | None = None
) -> str:
    result = subprocess.run(
        [str(a) for a in args],
        cwd=cwd,
        env={**clean_env(), **(env or {})},
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def fresh_venv(where: Path, *installs: str | Path) -> Path:
    # Installed by this environment's pip, which knows dependency groups, so the new one needs
    # no pip of its own.
    run([sys.executable, "-m", "venv", "--without-pip", where], cwd=where.parent)
    python = where / "bin" / "python"
    if installs:
        pip = [sys.executable, "-m", "pip", "--python", python, "install", "--quiet"]
        run([*pip, *installs], cwd=where.parent, timeout=LONG)
    return python


def wheel_of(py: str, arch: str) -> Path:
    """The wheel scripts/wheels.sh built for Python tag `py` on `arch`, from the folder that
    TORVANE_WHEELHOUSE names."""
    house = os.environ.get("TORVANE_WHEELHOUSE")
    if not house:
        pytest.fail("no TORVANE_WHEELHOUSE: scripts/wheels.sh builds the wheels and checks them")
    if (py, arch) not in WHEELS:
        pytest.skip(f"no {py}-{arch} wheel was built in this run")
    (built,) = Path(house).glob(f"{DIST}-{tags(py, arch)}-*_{arch}.whl")
    return built


@pytest.fixture(scope="session")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT], cwd=out)
    (built,) = out.glob("*.tar.gz")
    return built


def smoke(python: Path) -> None:
    script = ROOT / "tests" / "smoke.py"
    assert run([python, "-I", script, VERSION], cwd=python.parents[2]).strip() == "smoke ok"


@EACH_WHEEL
def test_wheel_holds_the_module_its_stub_and_metadata_only(py: str, arch: str) -> None:
    wheel = wheel_of(py, arch)
    # manylinux_2_17 is also called manylinux2014.
    platforms = [f"{TAGS[arch]}_{arch}"]
    if TAGS[arch] == "manylinux_2_17":
        platforms.append(f"manylinux2014_{arch}")
    assert wheel.name == f"{DIST}-{tags(py, arch)}-{'.'.join(reversed(platforms))}.whl", wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = sorted(archive.namelist())
        wheel_info = archive.read(f"{DIST}.dist-info/WHEEL").decode()
        licence = archive.read(f"{DIST}.dist-info/licenses/LICENSE")
        stub = archive.read("orvantis/_torvane_core.pyi")
    # auditwheel's repair also writes entries for the folders.
    package = [n for n in names if not n.startswith(f"{DIST}.dist-info/") and n[-1] != "/"]
    assert package == [
        f"orvantis/{so_name(py, arch)}",
        "orvantis/_torvane_core.pyi",
        "orvantis/py.typed",
    ]
    assert {"METADATA", "WHEEL", "RECORD"} <= {
        n.rsplit("/", 1)[1] for n in names if n not in package
    }
    assert "Root-Is-Purelib: false" in wheel_info
    assert re.findall(r"^Tag: (.*)$", wheel_info, re.MULTILINE) == [
        f"{tags(py, arch)}-{p}" for p in platforms
    ]
    # The licence and the stub shipped are the ones in the source tree.
    assert licence == (ROOT / "LICENSE").read_bytes()
    assert stub == (ROOT / "python" / "orvantis" / "_torvane_core.pyi").read_bytes()


@EACH_WHEEL
def test_wheel_metadata(py: str, arch: str) -> None:
    with zipfile.ZipFile(wheel_of(py, arch)) as archive:
        text = archive.read(f"{DIST}.dist-info/METADATA").decode()
    # Every wheel, whatever its Python or architecture, describes the same project.
    with zipfile.ZipFile(wheel_of(*WHEELS[0])) as archive:
        assert text == archive.read(f"{DIST}.dist-info/METADATA").decode()
    metadata = email.parser.Parser().parsestr(text)
    assert metadata["Metadata-Version"] == "2.4"
    assert metadata["Name"] == "orvantis-torvane-core"
    assert metadata["Version"] == VERSION
    assert metadata["Requires-Python"] == f">={PYTHONS[0]}"
    assert metadata["Summary"] == PYPROJECT["description"]
    # The licence as an SPDX expression with its file; the older field and classifier are gone.
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    assert metadata["License"] is None
    classifiers = metadata.get_all("Classifier")
    assert classifiers == PYPROJECT["classifiers"]
    assert not [c for c in classifiers if c.startswith("License ::")]
    # A classifier for every Python a wheel is built for.
    for expected in (
        *sorted({f"Programming Language :: Python :: 3.{p[3:]}" for p, _ in WHEELS if p != "abi3"}),
        "Programming Language :: Python :: Implementation :: CPython",
        "Typing :: Typed",
    ):
        assert expected in classifiers
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload() == (ROOT / "README.md").read_text()
    # No runtime dependencies, and the development groups stay out of the metadata.
    assert metadata.get_all("Requires-Dist") is None
    assert metadata.get_all("Provides-Extra") is None


def test_distributions_pass_the_index_checks(sdist: Path) -> None:
    # What an index would refuse or render badly (twine renders the Markdown README), what a
    # wheel should not hold, and the schema of pyproject.toml with its tool tables.
    wheels = [wheel_of(*w) for w in WHEELS]
    bin_dir = Path(sys.executable).parent
    run([bin_dir / "twine", "check", "--strict", *wheels, sdist], cwd=sdist.parent)
    run([bin_dir / "check-wheel-contents", *wheels], cwd=sdist.parent)
    run([bin_dir / "validate-pyproject", ROOT / "pyproject.toml"], cwd=ROOT)


# What every manylinux2014 system has: these libraries, glibc's symbols up to version 2.17 and
# libgcc_s's up to 4.8.0 (the module takes its unwinder from libgcc_s, as the C library does).
SYSTEM_LIBRARIES = {
    "libgcc_s.so.1",
    "libc.so.6",
    "libm.so.6",
    "libdl.so.2",
    "libpthread.so.0",
    "librt.so.1",
}


@EACH_WHEEL
def test_wheel_runs_on_every_manylinux2014_system(py: str, arch: str, tmp_path: Path) -> None:
    from elftools.elf.elffile import ELFFile

    wheel, so, target = wheel_of(py, arch), so_name(py, arch), ARCHES[arch]
    shown = " ".join(run([sys.executable, "-m", "auditwheel", "show", wheel], cwd=tmp_path).split())
    platform = f"{TAGS[arch]}_{arch}"
    glibc = tuple(map(int, TAGS[arch].split("_")[1:]))
    libgcc = tuple(map(int, target["libgcc"].split(".")))
    assert f'consistent with the following platform tag: "{platform}"' in shown, shown
    with zipfile.ZipFile(wheel) as archive:
        (tmp_path / so).write_bytes(archive.read(f"orvantis/{so}"))
    with open(tmp_path / so, "rb") as f:
        elf = ELFFile(f)
        assert elf["e_machine"] == target["elf"]
        # Stripped: no symbol table but the dynamic one, no debug information.
        assert elf.get_section_by_name(".symtab") is None
        assert not [s.name for s in elf.iter_sections() if s.name.startswith((".debug", ".zdebug"))]
        needed = {t.needed for t in elf.get_section_by_name(".dynamic").iter_tags("DT_NEEDED")}
        assert needed <= SYSTEM_LIBRARIES | {target["loader"]}, needed
        if arch == "armv7l":
            # What the code assumes of the processor, as the compiler recorded it: ARMv7-A with
            # VFPv3-D16 (4; plain VFPv3, 3, has 32 double registers) and no NEON.
            build = {
                a.tag: a.value
                for sub in elf.get_section_by_name(".ARM.attributes").iter_subsections()
                for subsub in sub.iter_subsubsections()
                for a in subsub.iter_attributes()
            }
            assert (build["TAG_CPU_ARCH"], build["TAG_FP_ARCH"]) == (10, 4), build
            assert build.get("TAG_ADVANCED_SIMD_ARCH", 0) == 0, build
        versions = {
            aux["vna_other"]: aux.name
            for _, auxes in elf.get_section_by_name(".gnu.version_r").iter_versions()
            for aux in auxes
        }
        versym = elf.get_section_by_name(".gnu.version")
        exported, too_new = [], []
        for i, sym in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
            if not sym.name:
                continue
            if sym["st_shndx"] != "SHN_UNDEF":
                exported.append(sym.name)
                continue
            # An unversioned import resolves against whatever the system has: only the
            # interpreter's own API may be one. glibc's and libgcc_s's no newer than the row says.
            version = versions.get(versym.get_symbol(i)["ndx"])
            if version is None:
                if not sym.name.startswith(("Py", "_Py")):
                    too_new.append(sym.name)
            elif version.startswith("GLIBC_"):
                if tuple(map(int, version[6:].split("."))) > glibc:
                    too_new.append(f"{sym.name}@{version}")
            elif version.startswith("GCC_"):
                if tuple(map(int, version[4:].split("."))) > libgcc:
                    too_new.append(f"{sym.name}@{version}")
            else:
                too_new.append(f"{sym.name}@{version}")
    assert exported == ["PyInit__torvane_core"]
    assert too_new == []


STABLE = [w for w in WHEELS if w[0] == "abi3"]


@pytest.mark.parametrize("arch", [a for _, a in STABLE])
def test_stable_abi_wheel_imports_only_the_stable_abi(arch: str, tmp_path: Path) -> None:
    # abi3audit reads every interpreter symbol the module imports and fails (--strict) on one
    # outside the stable ABI, or newer than the wheel's tag.
    wheel = wheel_of("abi3", arch)
    audit = Path(sys.executable).parent / "abi3audit"
    report = json.loads(run([audit, "--strict", "--report", wheel], cwd=tmp_path))
    floor = ARCHES[arch]["abi3"]
    (audited,) = report.values()  # the report's one section: each wheel it was given
    assert audited[str(wheel)]["wheel"] == [
        {
            "name": "_torvane_core.abi3.so",
            "result": {
                "is_abi3": True,
                "is_abi3_baseline_compatible": True,
                "baseline": floor,
                "computed": floor,
                "non_abi3_symbols": [],
                "future_abi3_objects": {},
            },
        }
    ]


@pytest.mark.parametrize("arch", [a for _, a in STABLE])
def test_pip_takes_a_python_s_own_wheel_where_one_fits_else_the_abi3_one(
    arch: str, tmp_path: Path
) -> None:
    # This run's wheels of the architecture in one folder, as an index would offer them.
    house = tmp_path / "house"
    house.mkdir()
    for py, a in WHEELS:
        if a == arch:
            shutil.copy(wheel_of(py, a), house)
    floor = tuple(map(int, ARCHES[arch]["abi3"].split(".")))
    newest = max(tuple(map(int, m.split("."))) for m in PYTHONS)
    chosen, expected = {}, {}
    # Every CPython from the floor to one minor past the newest with a wheel (3.16: a Python
    # released after this one).
    for minor in range(floor[1], newest[1] + 2):
        version = f"3.{minor}"
        own = (cp(version), arch) in WHEELS
        expected[version] = wheel_of(*((cp(version), arch) if own else ("abi3", arch))).name
        out = tmp_path / version
        platform = f"{TAGS[arch]}_{arch}"
        run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "--quiet",
                "--no-deps",
                "--no-index",
                "--only-binary",
                ":all:",
                "--python-version",
                version,
                "--implementation",
                "cp",
                "--platform",
                platform,
                "--find-links",
                house,
                "--dest",
                out,
                "orvantis-torvane-core",
            ],
            cwd=tmp_path,
        )
        chosen[version] = " ".join(p.name for p in out.iterdir())
    assert chosen == expected


@pytest.fixture(scope="module")
def rebuilt(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The SAMPLE wheels, built again by scripts/wheels.sh in a copy of the tree, with the tools
    of this one (this Python's environment is the cache's wheels/.venv-wheels) and the time
    stamps of this work tree's commit."""
    tree = tmp_path_factory.mktemp("rebuild") / "elsewhere"
    shutil.copytree(
        ROOT,
        tree,
        ignore=shutil.ignore_patterns(
            ".git",
            ".venv*",
            ".nox",
            "build",
            "dist",
            "__pycache__",
            ".*_cache",
            ".hypothesis",
            "*.so",
        ),
    )
    env = {"TORVANE_CACHE": str(Path(sys.prefix).parents[1])}
    if (ROOT / ".git").exists():
        env["SOURCE_DATE_EPOCH"] = run(["git", "log", "-1", "--format=%ct"], cwd=ROOT).strip()
    out = tree.parent / "out"
    wanted = [f"{py}-{arch}" for py, arch in SAMPLE]
    run(
        [tree / "scripts" / "wheels.sh", "--no-check", "--out", out, *wanted],
        cwd=tree,
        env=env,
        timeout=3 * LONG,
    )
    return out


@pytest.mark.parametrize(("py", "arch"), SAMPLE, ids=[f"{p}-{a}" for p, a in SAMPLE])
@pytest.mark.timeout(3 * LONG_TEST)  # the first one waits for the rebuild of every architecture
def test_two_builds_in_different_places_give_the_same_bytes(
    py: str, arch: str, rebuilt: Path
) -> None:
    wheel = wheel_of(py, arch)
    (again,) = rebuilt.glob(f"{DIST}-{tags(py, arch)}-*_{arch}.whl")
    assert again.name == wheel.name
    with zipfile.ZipFile(wheel) as first, zipfile.ZipFile(again) as second:
        so = f"orvantis/{so_name(py, arch)}"
        assert first.read(so) == second.read(so)
    assert again.read_bytes() == wheel.read_bytes()


@ONCE
def test_wheel_installs_into_a_fresh_venv_and_works(tmp_path: Path) -> None:
    smoke(fresh_venv(tmp_path / "venv", wheel_of(PY, "x86_64")))


def pytest_run(python: Path, *args: str, env: dict[str, str] | None = None):
    return subprocess.run(
        [python, "-m", "pytest", "-p", "no:cacheprovider", "-rs", *args],
        cwd=ROOT,
        env={**clean_env(), **(env or {})},
        capture_output=True,
        text=True,
        timeout=LONG,
    )


@ONCE
@pytest.mark.timeout(3 * LONG_TEST)
def test_plain_pytest_after_the_documented_install(tmp_path: Path) -> None:
    # The module and the test group, installed as CONTRIBUTING.md says (`pip install . --group
    # test`, from the wheel here), then `pytest`, which leaves these release checks out by itself.
    wheel = wheel_of(PY, "x86_64")
    python = fresh_venv(tmp_path / "venv", wheel, "--group", f"{ROOT / 'pyproject.toml'}:test")
    # Without hooks on purpose: in CI (CI=true) they would be required otherwise.
    r = pytest_run(python, "-q", env={"TORVANE_REQUIRE_HOOKS": "0"})
    assert r.returncode == 0, r.stdout + r.stderr
    assert re.search(r"\b\d+ passed\b", r.stdout), r.stdout
    assert "test_packaging" not in r.stdout, r.stdout
    # The only tests that skip are those needing the hooks, each saying so, and Windows' own.
    skipped = re.findall(r"^SKIPPED \[\d+\] (\S+): (.*)$", r.stdout, re.MULTILINE)
    assert skipped, r.stdout
    windows = {"Windows looks its thread names up at run time"}
    assert {reason for _, reason in skipped} - windows == {HOOKS_MISSING}, skipped

    # Where the hooks are required, a file importing them and a test taking them fail instead.
    r = pytest_run(
        python,
        "--continue-on-collection-errors",
        "tests/test_json_writer.py",
        "tests/test_quarks_ckm.py::TestQuarks::test_empty_registry",
        env={"TORVANE_REQUIRE_HOOKS": "1"},
    )
    assert r.returncode == 1, r.stdout + r.stderr
    assert r.stdout.count("TORVANE_REQUIRE_HOOKS=1 requires it") == 2, r.stdout
    assert re.search(r"=+ 2 errors in ", r.stdout.rstrip().splitlines()[-1]), r.stdout


@ONCE
def test_sdist_holds_the_sources_only(sdist: Path) -> None:
    assert sdist.name == f"{DIST}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {n.removeprefix(f"{DIST}/") for n in archive.getnames()}
        member = archive.extractfile(f"{DIST}/PKG-INFO")
        assert member is not None
        pkg_info = member.read().decode()
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
        "CHANGELOG.md",
        "PKG-INFO",
        "python/orvantis/_torvane_core.pyi",
        "python/orvantis/py.typed",
        "torvane_core/src/pyfacade/module.cpp",
        "torvane_core/src/pyfacade/version.hpp",
        "torvane_core/src/formulas/formulas_registry.cpp",
    ):
        assert needed in names, needed
    for name in names:
        top = name.split("/", 1)[0]
        assert top not in {"build", "dist", ".ci", ".git", ".hypothesis", ".nox"}, name
        assert not top.startswith(".venv"), name
        assert not name.endswith((".so", ".o", ".pyc")), name
    metadata = email.parser.Parser().parsestr(pkg_info)
    assert (metadata["Version"], metadata["License-Expression"]) == (VERSION, "MIT")
    assert metadata.get_all("License-File") == ["LICENSE"]


@ONCE
@pytest.mark.timeout(LONG_TEST)
def test_sdist_installs_into_a_fresh_venv_and_works(sdist: Path, tmp_path: Path) -> None:
    build = tmp_path / "build"
    smoke(fresh_venv(tmp_path / "venv", sdist, "-C", f"build-dir={build}"))
    # A user's build warns but never stops at a warning: a newer compiler's new warning must not
    # break an install (the project's own builds turn TORVANE_WERROR on).
    flags = (build / "build.ninja").read_text()
    assert "-Wall" in flags and "-Werror" not in flags


@ONCE
@pytest.mark.timeout(LONG_TEST)
def test_sdist_without_a_compiler_says_what_it_needs(sdist: Path, tmp_path: Path) -> None:
    # The build backend passes on the interpreter's own CXX (g++) as if the user had set it.
    r = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", tmp_path, sdist],
        env={**clean_env(), "CXX": str(tmp_path / "no-such-c++")},
        capture_output=True,
        text=True,
        timeout=LONG,
    )
    assert r.returncode != 0
    said = r.stdout + r.stderr
    assert "No C++ compiler found: building this module needs a C++23 compiler" in said


# Microsoft's compiler (cl), or clang in its guise (clang-cl), as CMake identifies them on
# Windows: a toolchain file names one and skips the identification, which needs the compiler.
@ONCE
@pytest.mark.parametrize("compiler_id", ["MSVC", "Clang"])
def test_msvc_stops_the_configure_step(tmp_path: Path, compiler_id: str) -> None:
    toolchain = tmp_path / "msvc.cmake"
    settings = {"": sys.executable, "_ID_RUN": "TRUE", "_ID": compiler_id, "_VERSION": "19.40",
                "_FRONTEND_VARIANT": "MSVC", "_FORCED": "TRUE"}  # fmt: skip
    toolchain.write_text("".join(f"set(CMAKE_CXX_COMPILER{k} {v})\n" for k, v in settings.items()))
    tools = Path(sys.executable).parent  # the environment's cmake and ninja
    r = subprocess.run(
        ["cmake", "-S", ROOT, "-B", tmp_path / "build", "-G", "Ninja",
         "-DSKBUILD_PROJECT_VERSION=" + VERSION, f"--toolchain={toolchain}"],
        env={**clean_env(), "PATH": f"{tools}{os.pathsep}{os.environ['PATH']}"},
        capture_output=True, text=True, timeout=LONG,
    )  # fmt: skip
    errors = re.findall(r"^CMake Error.*\n +(.*)", r.stderr, re.M)
    assert r.returncode != 0 and errors == [
        f"{compiler_id} 19.40 ({sys.executable}) cannot build this module from source: it needs"
        " a C++23 compiler with GCC's extensions, g++ 12 or newer, or clang 16 or newer with"
        " libc++ 16 or newer (set CXX to one). The wheels need no compiler."
    ], r.stderr


def readme_command(marker: str) -> str:
    """The one line of a shell block in CONTRIBUTING.md that contains `marker`."""
    text = (ROOT / "CONTRIBUTING.md").read_text()
    blocks = re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)
    (line,) = [line for block in blocks for line in block.splitlines() if marker in line]
    return line


@ONCE
@pytest.mark.timeout(LONG_TEST)
def test_editable_install_rebuilds_after_a_cxx_edit(sdist: Path, tmp_path: Path) -> None:
    # The documented command, run in a copy of the sources (the unpacked sdist) and a fresh
    # environment: the import after an edit to the C++ sources sees the edit.
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path, filter="data")
    tree = tmp_path / DIST
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--upgrade-deps", venv], cwd=tmp_path)
    env = {"PATH": f"{venv / 'bin'}:{os.environ['PATH']}"}
    run(["bash", "-c", readme_command("pip install -e .")], cwd=tree, env=env, timeout=LONG)

    version = [
        venv / "bin" / "python",
        "-c",
        "import orvantis._torvane_core as m; print(m.__version__)",
    ]
    # Nothing changed: the import says nothing of the build.
    quiet = subprocess.run(
        version,
        cwd=tmp_path,
        env={**clean_env(), **env},
        capture_output=True,
        text=True,
        timeout=LONG,
    )
    assert (quiet.stdout, quiet.stderr) == (f"{VERSION}\n", "")
    header = tree / "torvane_core/src/pyfacade/version.hpp"
    header.write_text(header.read_text().replace(f'"{VERSION}"', '"9.8.7"'))
    assert run(version, cwd=tmp_path, env=env, timeout=LONG).splitlines()[-1] == "9.8.7"
