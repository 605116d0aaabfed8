"""Rules the headers enforce at compile time: the facade's refuse an Owned (or a type holding
one) inside std::optional or std::expected, whose noexcept destructors would end the process on
the forced unwind at exit; the CKM matrix's refuse arithmetic that is not IEEE double's."""

import os
import shutil
import subprocess
import sysconfig

import pytest
from conftest import ROOT

COMPILER = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
# Not in the runs on other architectures: the headers are the same on every machine.
pytestmark = [pytest.mark.host_only, pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")]
SOURCE = '#include <optional>\n#include "pyfacade/errors.hpp"\nusing namespace torvane::py;\n'


def compile_cxx(*args: str, source: str = "-") -> subprocess.CompletedProcess[str]:
    include = [f"-I{ROOT / 'torvane_core/src'}", f"-I{sysconfig.get_paths()['include']}"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer's preload
    args = (str(COMPILER), "-std=c++23", *include, *args, source)
    return subprocess.run(args, capture_output=True, text=True, env=env, timeout=120)


def predefined(*flags: str) -> dict[str, str]:
    """The compiler's predefined macros under `flags`."""
    out = compile_cxx(*flags, "-x", "c++", "-dM", "-E", source=os.devnull).stdout
    return {m[1]: m[2] for m in (line.split(maxsplit=2) + [""] for line in out.splitlines())}


@pytest.mark.parametrize(
    "held", ["Result<Owned>", "std::optional<Holder>", "std::expected<int, Owned>", "Result<int>"]
)
def test_owned_cannot_live_in_a_wrapper(tmp_path, held):
    (tmp_path / "held.cpp").write_text(f"{SOURCE}struct Holder {{ Owned o; }};\n{held} held;\n")
    result = compile_cxx("-fsyntax-only", source=str(tmp_path / "held.cpp"))
    refused = "Owned" in held or "Holder" in held
    said = "must not live in std::optional or std::expected" in result.stderr
    assert (result.returncode != 0, said) == (refused, refused), result.stderr


# SSE2 arithmetic (x86_64's default, and what the build asks of a 32-bit x86 compiler) rounds
# every operation to double; the x87 unit keeps 80-bit intermediates (FLT_EVAL_METHOD 2).
@pytest.mark.parametrize(
    ("flags", "eval_method"),
    [(["-msse2", "-mfpmath=sse"], "0"), (["-mfpmath=387"], "2")],
    ids=["SSE2", "x87"],
)
def test_the_ckm_matrix_refuses_x87_arithmetic(tmp_path, flags, eval_method):
    if predefined().keys().isdisjoint({"__x86_64__", "__i386__"}):
        pytest.skip("the compiler does not target x86, the only one with x87 arithmetic")
    assert predefined(*flags)["__FLT_EVAL_METHOD__"] == eval_method
    (tmp_path / "ckm.cpp").write_text('#include "ckm/ckm_matrix.hpp"\n')
    result = compile_cxx("-fsyntax-only", *flags, source=str(tmp_path / "ckm.cpp"))
    refused = eval_method != "0"
    said = "double arithmetic is not IEEE double" in result.stderr
    assert (result.returncode != 0, said) == (refused, refused), result.stderr
