"""orvantis._torvane_core as a type checker sees it: run `mypy --strict examples/typed_usage.py`."""

from __future__ import annotations

from typing import TYPE_CHECKING

from orvantis import _torvane_core as core

if TYPE_CHECKING:
    # The datasheet's shape lives in the stub only: at run time the function returns a plain
    # dict, so the name can be imported for annotations alone.
    from orvantis._torvane_core import _ConstantDatasheet


def describe(sheet: _ConstantDatasheet) -> str:
    # value and uncertainty are None when not finite, so they must be narrowed before use.
    value = "not finite" if sheet["value"] is None else f"{sheet['value']:g}"
    if sheet["uncertainty"] is not None:
        value += f" ± {sheet['uncertainty']:g}"
    return f"{sheet['name']} = {value} {sheet['units']} [{sheet['status']}]"


def seeded_values(registry: core.PyFormulasRegistry) -> dict[str, float]:
    # Derived constants are reported, not evaluated: their values would all read 0.0.
    return {
        name: registry.get(name)
        for name in core.py_list_constants()
        if core.py_get_constant(name)["status"] == "Seed"
    }


def ckm_report(tolerances: list[float]) -> list[tuple[float, bool]]:
    ckm = core.PyCKMMatrix.from_topology()
    return [(tol, ckm.is_unitary(tol)) for tol in tolerances]


def main() -> None:
    registry = core.PyFormulasRegistry()
    version: str = core.PyFormulasRegistry.version()
    assert version == core.__version__
    print(f"{len(registry)} constants in registry version {version}")

    for name, value in seeded_values(registry).items():
        print(f"  {name:<16} {value!r}")
    print(describe(core.py_get_constant("phi")))
    print(describe(core.py_get_constant(name="n_gen_sq")))

    quarks: list[str] = core.py_list_quarks()
    print(
        "quarks:",
        ", ".join(quarks),
        f"(a fresh PyQuarkRegistry holds {len(core.PyQuarkRegistry())})",
    )

    for tol, unitary in ckm_report([0, 1e-12, -1e-300]):
        print(f"unitary within {tol!r}: {unitary}")
    jarlskog: float = core.PyCKMMatrix.from_topology().jarlskog()
    print("Jarlskog invariant:", jarlskog)

    try:
        registry.get("PHI")
    except KeyError as error:
        print("look-ups are exact:", error.args[0])


if __name__ == "__main__":
    main()
