"""Windows x64: the release checks of the win_amd64 wheels' PE files, on this machine
(scripts/windows.sh runs them on the wheels it built, TORVANE_WHEELHOUSE), and, on the official
interpreter under Wine, the facts of the project's pyconfig.h against what that interpreter says
of itself. conftest.py collects this file for those two runs alone."""

import ctypes
import os
import re
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


# Instructions beyond the x86-64 baseline (SSE2): any VEX or EVEX form, and the later extensions
# that have legacy encodings. Not tzcnt: it is rep bsf, which older processors run as bsf, and
# the compiler emits it where the two agree (a nonzero operand), as in the Linux wheels, which
# run on qemu's baseline model.
NEWER = re.compile(
    r"\t(v\w+|popcnt|lzcnt|andn|bextr|bls\w+|bzhi|pdep|pext|rorx|sarx|shlx|shrx|movbe|crc32\w*"
    r"|pshufb|palignr|ptest|p?blendv?\w*|round[sp][sd]|pmulld|pmin[su][bdw]|pmax[su][bdw]|pextr[bdq]"
    r"|pinsr[bdq]|hadd\w+|hsub\w+|movddup|movs[hl]dup|lddqu|addsub\w+|pabs[bdw]|pmaddubsw|psign\w"
    r"|pcmp[eg]\w*q|dpp[sd]|insertps|extractps|pmov[sz]x\w+|pcmp[ei]str\w|pclmul\w*|aes\w+|sha\w+"
    r"|phadd\w+|phsub\w+|pmulhrsw|packusdw|mpsadbw|phminposuw|movntdqa|popcnt)\s"
)


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
