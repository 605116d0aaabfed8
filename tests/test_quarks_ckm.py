"""The quark registry and the CKM matrix."""

import math
import random
import struct

import pytest

from orvantis import _torvane_core as core

QUARKS = {
    "up": (1, 12, 0.003105620015141857, 764.665760128228),
    "down": (1, 11, 0.005024998740641489, 1237.2551899207474),
    "strange": (2, 8, 0.02128623625220818, 5241.0970900186985),
    "charm": (2, 5, 0.09016994374947422, 22201.643549995544),
    "bottom": (3, 4, 0.14589803375031543, 35923.013870002665),
    "top": (3, 0, 1.0, 246220.0),
}

QUARK_FIELDS = ("name", "mass_mev", "yukawa", "phi_exponent", "generation")


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


class TestQuarks:
    def test_listing_is_sorted_by_bytes_and_new_each_call(self):
        first = core.py_list_quarks()
        assert first == ["bottom", "charm", "down", "strange", "top", "up"]
        first.append("extra")
        assert core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"]

    def test_registry_holds_the_six_quarks(self):
        registry = core.PyQuarkRegistry()
        assert len(registry) == 6
        assert bool(registry) is True

    def test_records(self, hooks):
        records = {q["name"]: q for q in hooks.standard_model_quarks()}
        assert sorted(records) == sorted(QUARKS)
        for name, (generation, exponent, yukawa, mass) in QUARKS.items():
            q = records[name]
            assert (q["generation"], q["phi_exponent"]) == (generation, exponent)
            assert bits(q["yukawa"]) == bits(yukawa)
            assert bits(q["mass_mev"]) == bits(mass) == bits(246220.0 * yukawa)

    def test_yukawa_is_the_golden_ratio_power(self, hooks):
        phi = (1 + math.sqrt(5)) / 2
        for q in hooks.standard_model_quarks():
            assert math.isclose(q["yukawa"], phi ** -q["phi_exponent"], rel_tol=4e-16)

    def test_insert_replaces_a_record_of_the_same_name(self, hooks):
        count, records = hooks.insert_quark("up", 1.0, 2.0, 3, 1)
        assert count == 6
        up = [q for q in records if q["name"] == "up"]
        assert up == [{"name": "up", "mass_mev": 1.0, "yukawa": 2.0, "phi_exponent": 3,
                       "generation": 1}]  # fmt: skip
        count, _ = hooks.insert_quark("upper", 1.0, 2.0, 3, 1)
        assert count == 7
        # Replaced again once owned; a name never inserted is not found.
        again = [("charm", 1.0, 2.0, 3, 2), ("up", 1.0, 2.0, 3, 1), ("up", 5.0, 6.0, 7, 2)]
        for found, record in (("up", again[2]), ("upper", None)):
            count, records, got = hooks.quark_inserts(again, found)
            assert (count, [q["name"] for q in records].count("up")) == (6, 1)
            assert got == (record and dict(zip(QUARK_FIELDS, record, strict=True)))

    @pytest.mark.parametrize(
        ("inserted", "from_table", "listed"),
        [
            (None, True, ["bottom", "charm", "down", "strange", "top", "up"]),
            ("upper", False, ["bottom", "charm", "down", "strange", "top", "up", "upper"]),
            ("up", False, ["bottom", "charm", "down", "strange", "top", "up"]),
        ],
    )
    def test_table_order_only_for_the_table(self, hooks, inserted, from_table, listed):
        assert hooks.quark_listing(inserted) == (listed, from_table)
        assert listed == sorted(listed, key=str.encode)

    def test_empty_registry(self, hooks):
        assert hooks.empty_quark_registry_len() == 0


class TestCKMFromPython:
    ckm = core.PyCKMMatrix.from_topology()

    def test_new_instance_each_call(self):
        a, b = core.PyCKMMatrix.from_topology(), core.PyCKMMatrix.from_topology()
        assert type(a) is core.PyCKMMatrix and a is not b
        assert (a.jarlskog(), a.is_unitary(0.0)) == (b.jarlskog(), b.is_unitary(0.0))

    def test_instance_is_the_header_and_ten_doubles(self):
        assert core.PyCKMMatrix.__basicsize__ == object.__basicsize__ + 10 * 8

    def test_jarlskog(self):
        j = self.ckm.jarlskog()
        assert type(j) is float and bits(j) == 0

    @pytest.mark.parametrize(
        ("tol", "expected"),
        [
            (0.0, True),
            (-0.0, True),
            (1e-9, True),
            (float("inf"), True),
            (0, True),
            (True, True),
            (False, True),
            (-1e-300, False),
            (-5e-324, False),
            (float("-inf"), False),
            (float("nan"), False),
        ],
    )
    def test_is_unitary(self, tol, expected):
        assert self.ckm.is_unitary(tol) is expected
        assert self.ckm.is_unitary(tol=tol) is expected


class TestCKMCore:
    IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]

    def test_from_topology(self, hooks):
        elements, j = hooks.ckm_from_topology()
        assert list(elements) == self.IDENTITY
        assert [bits(x) for x in elements].count(0) == 6 and bits(j) == 0

    def test_rotation_is_unitary_exactly(self, hooks):
        rotation = [0.6, 0.8, 0.0, -0.8, 0.6, 0.0, 0.0, 0.0, 1.0]
        assert hooks.ckm_is_unitary(rotation, 0.0) is True

    @pytest.mark.parametrize(
        ("diagonal", "tol", "expected"),
        [
            ((1.0, 1.0, 2.0), 0.5, False),  # a row of squared norm 4: deviation 3
            ((1.0, 1.0, 2.0), 3.0, True),
            ((0.5, 1.0, 1.0), 0.5, False),  # squared norm 0.25: deviation 0.75
            ((0.5, 1.0, 1.0), 0.75, True),
        ],
    )
    def test_rows_of_other_than_unit_length(self, hooks, diagonal, tol, expected):
        a, b, c = diagonal
        assert hooks.ckm_is_unitary([a, 0.0, 0.0, 0.0, b, 0.0, 0.0, 0.0, c], tol) is expected

    def test_equal_rows_are_not_unitary(self, hooks):
        # Each row has unit norm, but the rows are not orthogonal.
        assert hooks.ckm_is_unitary([1.0, 0.0, 0.0] * 3, 0.0) is False
        assert hooks.ckm_is_unitary([1.0, 0.0, 0.0] * 3, 0.5) is False
        assert hooks.ckm_is_unitary([1.0, 0.0, 0.0] * 3, 1.0) is True

    @pytest.mark.parametrize("bad", [float("nan"), float("inf"), float("-inf")])
    @pytest.mark.parametrize("where", [0, 4, 8, 1, 7])
    def test_non_finite_elements_fail(self, hooks, bad, where):
        elements = list(self.IDENTITY)
        elements[where] = bad
        assert hooks.ckm_is_unitary(elements, float("inf")) is False

    def test_everything_infinite_fails_even_at_infinite_tolerance(self, hooks):
        assert hooks.ckm_is_unitary([float("inf")] * 9, float("inf")) is False

    def test_overflow_to_nan_fails_even_at_infinite_tolerance(self, hooks):
        # Finite elements whose products give inf - inf.
        big = [1e200, 1e200, 0.0, 1e200, -1e200, 0.0, 0.0, 0.0, 1.0]
        assert hooks.ckm_is_unitary(big, float("inf")) is False
        # Overflow to a mere infinity is within an infinite tolerance, like any finite matrix.
        assert hooks.ckm_is_unitary([1e200, 0, 0, 0, 1, 0, 0, 0, 1], float("inf")) is True

    def test_perturbed_identity_passes_exactly_when_tol_covers_it(self, hooks):
        eps = 1e-6
        elements = list(self.IDENTITY)
        elements[1] = eps  # row 0 gains norm eps**2 and meets row 1 with dot product eps
        assert hooks.ckm_is_unitary(elements, eps) is True
        assert hooks.ckm_is_unitary(elements, math.nextafter(eps, 0)) is False
        assert hooks.ckm_is_unitary(elements, 0.0) is False

    def test_every_element_of_the_product_is_tested_on_its_boundary(self, hooks):
        # Perturbed rotations against the same sums in the same order; each tol is one of the
        # six deviations or the next float below it, so an element tested in the wrong place
        # shows.
        rng = random.Random(20261208)
        for _ in range(500):
            a, b = rng.uniform(0, math.pi), rng.uniform(0, math.pi)
            ca, sa, cb, sb = math.cos(a), math.sin(a), math.cos(b), math.sin(b)
            m = [ca, sa, 0.0, -sa * cb, ca * cb, sb, sa * sb, -ca * sb, cb]
            m = [x + rng.choice((0.0, rng.uniform(-1e-3, 1e-3))) for x in m]
            rows = [m[0:3], m[3:6], m[6:9]]
            deviations = [
                abs(
                    (rows[i][0] * rows[j][0] + rows[i][1] * rows[j][1])
                    + rows[i][2] * rows[j][2]
                    - (1.0 if i == j else 0.0)
                )
                for i in range(3)
                for j in range(i, 3)
            ]
            for tol in (d := rng.choice(deviations), math.nextafter(d, 0)):
                assert hooks.ckm_is_unitary(m, tol) is all(x <= tol for x in deviations)

    @pytest.mark.parametrize("tol", [float("nan"), -1.0, -1e-300])
    def test_nan_or_negative_tol_fails(self, hooks, tol):
        assert hooks.ckm_is_unitary(self.IDENTITY, tol) is False
