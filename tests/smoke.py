"""The module as a user gets it, installed from a wheel: run as `python -I tests/smoke.py VERSION`
in an environment that holds the wheel alone (-I: neither the work tree nor the caller's
environment can supply the module). Prints "smoke ok"."""

import importlib.metadata
import importlib.util
import sys
from pathlib import Path

from orvantis import _torvane_core as core

origin = Path(core.__file__)
assert origin.is_relative_to(sys.prefix), origin
assert (origin.parent / "_torvane_core.pyi").is_file()
assert (origin.parent / "py.typed").is_file()
for absent in ("_torvane_testhooks", "_torvane_benchfloors", "pytest"):
    assert importlib.util.find_spec(absent) is None, f"{absent} is importable"

assert core.__version__ == sys.argv[1] == importlib.metadata.version("orvantis-torvane-core")
assert core.py_list_constants() == [
    "b3",
    "chi_eff",
    "gamma_em",
    "h0_central",
    "jc_constant",
    "logic_closure",
    "m_tau_mev",
    "n_gen",
    "n_gen_sq",
    "phi",
    "roots_total",
    "sterile_check",
    "sterile_sector",
    "topo_gen_check",
    "v_higgs_mev",
    "visible_sector",
    "w0_central",
]
assert core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"]
sheet = core.py_get_constant("b3")
assert sheet == {
    "name": "b3",
    "status": "Seed",
    "uncertainty": None,
    "units": "dimensionless",
    "value": 24.0,
}, sheet
assert list(core.py_get_constant("n_gen_sq")) == ["name", "status", "uncertainty", "units", "value"]
registry = core.PyFormulasRegistry()
assert len(registry) == 17 and registry.get("phi") == 1.618033988749895
ckm = core.PyCKMMatrix.from_topology()
assert ckm.is_unitary(0.0) is True and ckm.jarlskog() == 0.0
print("smoke ok")
