"""A short tour of orvantis._torvane_core: constants, quarks and the CKM check."""

from orvantis import _torvane_core as core


def main() -> None:
    print(f"orvantis._torvane_core {core.__version__}")

    registry = core.PyFormulasRegistry()
    print(f"\n{len(registry)} constants:")
    for name in core.py_list_constants():
        sheet = core.py_get_constant(name)
        print(f"  {name:<16} {registry.get(name)!r:<20} {sheet['units']:<14} {sheet['status']}")
    print("\ndatasheet of phi:", core.py_get_constant("phi"))

    print(f"\n{len(core.PyQuarkRegistry())} quarks:", ", ".join(core.py_list_quarks()))

    ckm = core.PyCKMMatrix.from_topology()
    print("\nCKM matrix from the topology:")
    print("  unitary within 1e-12:", ckm.is_unitary(1e-12))
    print("  Jarlskog invariant J:", ckm.jarlskog())


if __name__ == "__main__":
    main()
