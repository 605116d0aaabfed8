"""The pure-Python twins: what a Python programmer would write for each entry point, with the
same data, so the native module's figures can be read against them."""

from __future__ import annotations

import math

PHI = 1.618033988749895

# name -> (value, units, status); derived constants are not evaluated and hold 0.0.
CONSTANTS: dict[str, tuple[float, str, str]] = {
    "b3": (24.0, "dimensionless", "Seed"),
    "chi_eff": (72.0, "dimensionless", "Seed"),
    "n_gen": (3.0, "count", "Seed"),
    "roots_total": (288.0, "count", "Seed"),
    "visible_sector": (125.0, "count", "Seed"),
    "sterile_sector": (163.0, "count", "Seed"),
    "phi": (PHI, "dimensionless", "Seed"),
    "gamma_em": (0.5772156649015329, "dimensionless", "Seed"),
    "jc_constant": (153.0, "count", "Seed"),
    "logic_closure": (288.0, "count", "Seed"),
    "v_higgs_mev": (0.0, "MeV", "Pending"),
    "sterile_check": (0.0, "count", "Pending"),
    "n_gen_sq": (0.0, "count", "Pending"),
    "h0_central": (0.0, "km/s/Mpc", "Pending"),
    "w0_central": (0.0, "dimensionless", "Pending"),
    "m_tau_mev": (0.0, "MeV", "Pending"),
    "topo_gen_check": (0.0, "count", "Pending"),
}

# name -> (generation, phi exponent, yukawa, mass in MeV)
QUARKS: dict[str, tuple[int, int, float, float]] = {
    "up": (1, 12, 0.003105620015141857, 764.665760128228),
    "down": (1, 11, 0.005024998740641489, 1237.2551899207474),
    "strange": (2, 8, 0.02128623625220818, 5241.0970900186985),
    "charm": (2, 5, 0.09016994374947422, 22201.643549995544),
    "bottom": (3, 4, 0.14589803375031543, 35923.013870002665),
    "top": (3, 0, 1.0, 246220.0),
}


def list_constants() -> list[str]:
    return sorted(CONSTANTS)


def list_quarks() -> list[str]:
    return sorted(QUARKS)


def get_constant(name: str) -> dict[str, object]:
    value, units, status = CONSTANTS[name]
    return {
        "name": name,
        "status": status,
        "uncertainty": None,
        "units": units,
        "value": value if math.isfinite(value) else None,
    }


class FormulasRegistry:
    __slots__ = ("_values",)

    def __init__(self) -> None:
        self._values = {name: record[0] for name, record in CONSTANTS.items()}

    def __len__(self) -> int:
        return len(self._values)

    def get(self, name: str) -> float:
        return self._values[name]


class QuarkRegistry:
    __slots__ = ("_quarks",)

    def __init__(self) -> None:
        self._quarks = dict(QUARKS)

    def __len__(self) -> int:
        return len(self._quarks)


class CKMMatrix:
    __slots__ = ("_rows", "_j")

    def __init__(self, rows: tuple[tuple[float, float, float], ...], j: float) -> None:
        self._rows = rows
        self._j = j

    @staticmethod
    def from_topology() -> CKMMatrix:
        return CKMMatrix(((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)), 0.0)

    def is_unitary(self, tol: float) -> bool:
        return all(abs(a * a + b * b + c * c - 1.0) <= tol for a, b, c in self._rows)

    def jarlskog(self) -> float:
        return self._j
