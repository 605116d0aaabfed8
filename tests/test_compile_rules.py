"""What the facade's headers refuse to compile: an Owned (or a type holding one) inside
std::optional or std::expected, whose noexcept destructors would end the process when the
interpreter ends a thread inside a finalizer that releasing it runs."""

import os
import shutil
import subprocess
import sysconfig

import pytest
from conftest import ROOT

# Not in the emulated aarch64 run: the headers are the same on every machine.
pytestmark = pytest.mark.host_only

COMPILER = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
REFUSED = "must not live in std::optional or std::expected"


@pytest.mark.parametrize(
    ("held", "refused"),
    [
        ("Result<Owned>", True),
        ("std::optional<Owned>", True),
        ("std::expected<int, Owned>", True),
        ("std::optional<Holder>", True),
        ("Result<PyObject*>", False),
        ("std::optional<int>", False),
    ],
)
def test_owned_cannot_live_in_a_wrapper(tmp_path, held, refused):
    if COMPILER is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "held.cpp"
    source.write_text(
        '#include <optional>\n#include "pyfacade/errors.hpp"\nusing namespace torvane::py;\n'
        f"struct Holder {{ Owned o; }};\n{held} held;\n"
    )
    # The compiler runs without the sanitizers' preload of a sanitized run.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    include = sysconfig.get_paths()["include"]
    args = [COMPILER, "-std=c++23", "-fsyntax-only", f"-I{ROOT / 'torvane_core/src'}"]
    result = subprocess.run(
        [*args, f"-I{include}", str(source)], capture_output=True, text=True, env=env, timeout=120
    )
    assert (result.returncode != 0, REFUSED in result.stderr) == (refused, refused), result.stderr
