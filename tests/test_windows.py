"""Windows x64: the release checks of the win_amd64 wheels' PE files, on this machine
(scripts/windows.sh runs them on the wheels it built, TORVANE_WHEELHOUSE), and, on the official
interpreter under Wine, the facts of the project's pyconfig.h against what that interpreter says
of itself. conftest.py collects this file for those two runs alone."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest
from conftest import ROOT

ON_WINDOWS = sys.platform == "win32"
ROW = next(r.split("\t") for r in (ROOT / "platforms.tsv").read_text().splitlines()
           if r.startswith("win_amd64\t"))  # fmt: skip
PYTHONS = ROW[5].split()


def pyconfig() -> dict[str, str]:
    text = (ROOT / "tools/windows/pyconfig.h").read_text()
    return {m[1]: m[2].strip() for m in re.finditer(r"^#define (\w+)[ \t]*(.*)$", text, re.M)}


@pytest.mark.skipif(not ON_WINDOWS, reason="the facts of the interpreter the header is for")
def test_the_headers_configuration_is_the_interpreters():
    facts = pyconfig()
    c = ctypes
    sizes = {"SHORT": c.c_short, "INT": c.c_int, "LONG": c.c_long, "LONG_LONG": c.c_longlong,
             "VOID_P": c.c_void_p, "SIZE_T": c.c_size_t, "WCHAR_T": c.c_wchar,
             "DOUBLE": c.c_double, "FLOAT": c.c_float, "TIME_T": c.c_int64}  # fmt: skip
    assert {k: int(facts[f"SIZEOF_{k}"]) for k in sizes} == {
        k: c.sizeof(t) for k, t in sizes.items()
    }
    assert (
        c.sizeof(c.c_ssize_t) == 8
        and "long long Py_ssize_t" in (ROOT / "tools/windows/pyconfig.h").read_text()
    )
    assert sys.maxsize == 2**63 - 1
    assert sysconfig.get_platform() == "win-amd64"
    assert (
        sysconfig.get_config_var("EXT_SUFFIX")
        == f".cp{sys.version_info[0]}{sys.version_info[1]}-win_amd64.pyd"
    )
    # The interpreter's own build: python.org's, a shared DLL, with the GIL.
    assert not sysconfig.get_config_var("Py_GIL_DISABLED")
    assert "MSC" in sys.version and "Py_GIL_DISABLED" not in facts
    assert {"MS_WIN64", "MS_WINDOWS", "Py_ENABLE_SHARED", "HAVE_DECLSPEC_DLL"} <= facts.keys()
    assert f"{sys.version_info[0]}.{sys.version_info[1]}" in PYTHONS


def objdump(*args: str) -> str:
    return subprocess.run(["objdump", *args], capture_output=True, text=True, check=True).stdout


# Instructions beyond the x86-64 baseline (SSE2), as objdump prints them (a lock prefix before
# some): SSE3's, SSSE3's, SSE4.1's, SSE4.2's, POPCNT, LZCNT, BMI1's, BMI2's, MOVBE, LAHF and SAHF
# (64-bit mode), CMPXCHG16B, any VEX or EVEX form, AES, CLMUL, SHA, RDRAND, RDSEED and ADX. Not
# tzcnt: it is rep bsf, which older processors run as bsf, and the compiler emits it where the two
# agree (a nonzero operand), as in the Linux wheels, which run on qemu's baseline model.
NEWER = re.compile(
    r"\t(?:lock )?(fisttp\w*|hadd\w+|hsub\w+|addsub\w+|movddup|movs[hl]dup|lddqu|monitor|mwait"
    r"|pshufb|palignr|pabs[bdw]|pmaddubsw|psign\w|phadd\w+|phsub\w+|pmulhrsw|ptest|p?blendv?\w*"
    r"|round[sp][sd]|pmulld|pmuldq|pmin[su][bdw]|pmax[su][bdw]|pextr[bdq]|pinsr[bdq]|dpp[sd]"
    r"|insertps|extractps|pmov[sz]x\w+|packusdw|mpsadbw|phminposuw|movntdqa|pcmpeqq|pcmpgtq"
    r"|pcmp[ei]str\w|crc32\w*|popcnt|lzcnt|andn|bextr|bls\w+|bzhi|pdep|pext|rorx|sarx|shlx|shrx"
    r"|movbe|lahf|sahf|cmpxchg16b|v\w+|aes\w+|pclmul\w*|sha\w+|rdrand|rdseed|adcx|adox)\s"
)


@pytest.mark.parametrize(
    "line, newer",
    [("lahf", True), ("sahf", True), ("lock cmpxchg16b (%rdi)", True), ("fisttpl (%rax)", True),
     ("movddup %xmm1,%xmm0", True), ("popcnt %rax,%rax", True), ("pmuldq %xmm1,%xmm0", True),
     ("tzcnt %rax,%rax", False), ("pextrw $0x1,%xmm0,%eax", False),
     ("lock cmpxchg %rcx,(%rdi)", False), ("pshufd $0x0,%xmm0,%xmm0", False)],
)  # fmt: skip
def test_the_instructions_past_the_baseline(line, newer):
    assert bool(NEWER.search(f"  1000:\t{line}\n")) == newer


@pytest.mark.skipif(ON_WINDOWS, reason="checks the wheels on the machine that built them")
@pytest.mark.parametrize("python", PYTHONS)
def test_the_pe_file(tmp_path, python):
    house = Path(os.environ.get("TORVANE_WHEELHOUSE", "dist"))
    tag = f"cp{python.replace('.', '')}"
    (wheel,) = house.glob(f"orvantis_torvane_core-*-{tag}-{tag}-win_amd64.whl")
    with zipfile.ZipFile(wheel) as z:
        (name,) = [n for n in z.namelist() if n.endswith(".pyd")]
        assert name == f"orvantis/_torvane_core.{tag}-win_amd64.pyd"
        pyd = tmp_path / Path(name).name
        pyd.write_bytes(z.read(name))
    headers = objdump("-p", str(pyd))
    assert "file format pei-x86-64" in headers
    exports = re.findall(
        r"^\s*\[\s*\d+\] (\S+)$", headers.split("[Ordinal/Name Pointer] Table")[1], re.M
    )
    assert exports == ["PyInit__torvane_core"]
    dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
    ucrt = {d for d in dlls if d.startswith("api-ms-win-crt-") and d.endswith("-l1-1-0.dll")}
    assert dlls - ucrt == {f"python{tag[2:]}.dll", "kernel32.dll", "bcrypt.dll"}
    # What is newer than the interpreter's own floor (Windows 8.1) is looked up at run time.
    assert "ThreadDescription" not in headers
    # Stripped: no symbol table, no debug information.
    assert "no symbols" in objdump("-t", str(pyd))
    assert ".debug" not in objdump("-h", str(pyd))
    # The x86-64 baseline that the row promises, in every instruction of the module.
    newer = sorted({m[1] for m in NEWER.finditer(objdump("-d", "--no-show-raw-insn", str(pyd)))})
    assert newer == []


# A crash planted where a run of the stage under Wine meets it, with faulthandler on and writing
# to a copy of standard error, as pytest has it, after which Wine 8 exits 0: the stage, run from a
# copy of the tree on the wheel it built, must fail on what the run itself reported.
CRASH = "faulthandler._read_null()"
PLANTS = {
    "smoke": ("tests/smoke.py", 'print("smoke ok")', "import faulthandler, os\n"
              f"faulthandler.enable(os.fdopen(os.dup(2), 'w'))\n{CRASH}\nprint('smoke ok')"),
    "suite": ("tests/conftest.py", "def pytest_configure(",
              f"def pytest_runtest_call(item):\n    if sys.platform == 'win32':\n        {CRASH}"
              "\n\n\ndef pytest_configure("),
    # The stage itself checking only the row's first Python: its ledger must miss the others.
    "ledger": ("scripts/windows.sh", 'mkdir -p "$out/win_amd64"',
               'versions=("${versions[0]}")\nmkdir -p "$out/win_amd64"'),
}  # fmt: skip


@pytest.mark.skipif(ON_WINDOWS, reason="runs the stage, under Wine")
@pytest.mark.timeout(1800)  # a copy of the stage, which may wait for another's use of Wine
@pytest.mark.parametrize("run", PLANTS)
def test_a_fault_planted_under_wine_fails_the_stage(tmp_path, run):
    house = Path(os.environ.get("TORVANE_WHEELHOUSE", "dist"))
    tag = sorted(house.glob("*-win_amd64.whl"))[0].name.split("-")[2]
    tree, out = tmp_path / "tree", tmp_path / "dist"
    skip = shutil.ignore_patterns(".git", "build", "dist", ".venv*", ".nox")
    shutil.copytree(ROOT, tree, ignore=skip)
    (out / "win_amd64").mkdir(parents=True)
    for wheel in [*house.glob("*-win_amd64.whl"), *house.glob("win_amd64/_torvane_testhooks.*")]:
        shutil.copy(wheel, out / wheel.relative_to(house))
    path, where, planted = PLANTS[run]
    text = (tree / path).read_text()
    assert where in text
    (tree / path).write_text(text.replace(where, planted, 1))
    env = {k: v for k, v in os.environ.items() if k == "TORVANE_CACHE" or "TORVANE_" not in k}
    # The ledger's case asks for the whole row (its PE checks alone); a crash, for one Python.
    args = ["--no-test"] if run == "ledger" else [f"3.{tag[3:]}"]
    stage = subprocess.run(
        [tree / "scripts/windows.sh", "--no-build", "--out", out, *args],
        capture_output=True, text=True, env=env,
    )  # fmt: skip
    want = f"== the {run} run did not pass"
    if run == "ledger":
        want = "did not check everything asked for: no 3."
    assert stage.returncode != 0 and want in stage.stderr, (
        stage.stdout[-3000:] + stage.stderr[-3000:]
    )
