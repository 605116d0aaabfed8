"""The facade's headers refuse to compile an Owned (or a type holding one) inside std::optional or
std::expected, whose noexcept destructors would end the process on the forced unwind at exit."""

import os
import shutil
import subprocess
import sysconfig

import pytest
from conftest import ROOT

# Not in the runs on other architectures: the headers are the same on every machine.
pytestmark = pytest.mark.host_only
COMPILER = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
SOURCE = '#include <optional>\n#include "pyfacade/errors.hpp"\nusing namespace torvane::py;\n'


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
@pytest.mark.parametrize(
    "held", ["Result<Owned>", "std::optional<Holder>", "std::expected<int, Owned>", "Result<int>"]
)
def test_owned_cannot_live_in_a_wrapper(tmp_path, held):
    (tmp_path / "held.cpp").write_text(f"{SOURCE}struct Holder {{ Owned o; }};\n{held} held;\n")
    include = [f"-I{ROOT / 'torvane_core/src'}", f"-I{sysconfig.get_paths()['include']}"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer's preload
    args = [COMPILER, "-std=c++23", "-fsyntax-only", *include, str(tmp_path / "held.cpp")]
    result = subprocess.run(args, capture_output=True, text=True, env=env, timeout=120)
    refused = "Owned" in held or "Holder" in held
    said = "must not live in std::optional or std::expected" in result.stderr
    assert (result.returncode != 0, said) == (refused, refused), result.stderr
