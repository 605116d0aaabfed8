"""The constants registry: its seventeen records, look-up, listing and errors."""

import json
import math
import random
import string
import struct
import sys

import pytest
from conftest import installed_version

from orvantis import _torvane_core as core

NAMES = [
    "b3", "chi_eff", "gamma_em", "h0_central", "jc_constant", "logic_closure", "m_tau_mev",
    "n_gen", "n_gen_sq", "phi", "roots_total", "sterile_check", "sterile_sector",
    "topo_gen_check", "v_higgs_mev", "visible_sector", "w0_central",
]  # fmt: skip

SEED, PENDING = 0, 2


def seed(value, units):
    return {"value": value, "units": units, "uncertainty": None, "status": SEED,
            "expression": None, "depends_on": []}  # fmt: skip


def pending(expression, units, *depends_on):
    return {"value": 0.0, "units": units, "uncertainty": None, "status": PENDING,
            "expression": expression, "depends_on": list(depends_on)}  # fmt: skip


PHI = struct.unpack("<d", struct.pack("<Q", 0x3FF9E3779B97F4A8))[0]
GAMMA_EM = struct.unpack("<d", struct.pack("<Q", 0x3FE2788CFC6FB619))[0]

TABLE = {
    "b3": seed(24.0, "dimensionless"),
    "chi_eff": seed(72.0, "dimensionless"),
    "n_gen": seed(3.0, "count"),
    "roots_total": seed(288.0, "count"),
    "visible_sector": seed(125.0, "count"),
    "sterile_sector": seed(163.0, "count"),
    "phi": seed(PHI, "dimensionless"),
    "gamma_em": seed(GAMMA_EM, "dimensionless"),
    "jc_constant": seed(153.0, "count"),
    "logic_closure": seed(288.0, "count"),
    "v_higgs_mev": pending("246220", "MeV"),
    "sterile_check": pending(
        "roots_total - visible_sector", "count", "roots_total", "visible_sector"
    ),
    "n_gen_sq": pending("n_gen * n_gen", "count", "n_gen"),
    "h0_central": pending("70", "km/s/Mpc"),
    "w0_central": pending("-1", "dimensionless"),
    "m_tau_mev": pending("1776.86", "MeV"),
    "topo_gen_check": pending("chi_eff / b3", "count", "chi_eff", "b3"),
}  # fmt: skip


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# 64-bit targets have a 128-bit integer, 32-bit ones have not.
NATIVE_WIDE = struct.calcsize("P") == 8

# A processor count for each shard count the rule gives to 1 to 4096 processors: 4 to 16384
# shards, through the direct placement (up to 32), the chained one (up to 4096) and the general
# insertion (above). test_processor_counts_reach_every_shard_count holds it to the rule.
PROCESSORS = [1, *(2**k + 1 for k in range(12))]


# The registry's keyed hash (formulas/keyed_hash.hpp), modelled from its definition: mix folds
# the 128-bit product of two words into 64 bits. Words are read in the machine's byte order, so
# the answers differ between little- and big-endian machines, and are the same on 32 and 64 bits.
M64, GOLDEN, ODD = (1 << 64) - 1, 0x9E3779B97F4A7C15, 0xE7037ED1A0B428DB


def mix(a: int, b: int) -> int:
    product = a * b
    return (product ^ product >> 64) & M64


def keyed_hash(k0: int, k1: int, name: bytes) -> int:
    n = len(name)

    def word(at: int, size: int) -> int:
        return int.from_bytes(name[at : at + size], sys.byteorder)

    if n <= 16:  # two words from both ends, which with the length identify the name
        a = b = 0
        if n >= 4:
            step = (n >> 3) << 2
            a, b = word(0, 4) << 32 | word(step, 4), word(n - 4, 4) << 32 | word(n - 4 - step, 4)
        elif n > 0:
            a = name[0] << 16 | name[n >> 1] << 8 | name[n - 1]
        return mix(mix(a ^ k1, b ^ k0 ^ mix(n ^ ODD, GOLDEN)) ^ ODD, k1 ^ n)
    seed, at = k0 ^ mix(n ^ ODD, GOLDEN), 0
    while n - at > 16:
        seed = mix(word(at, 8) ^ k1, word(at + 8, 8) ^ seed)
        at += 16
    return mix(mix(word(n - 16, 8) ^ k1, word(n - 8, 8) ^ seed) ^ ODD, k1 ^ n)


def builds_to_share_a_shard(shards: int) -> int:
    """Fresh registries enough that in one of them two built-in names share a shard, but for a
    chance of 1e-12: each has its own random hash key."""
    apart = math.prod(1 - i / shards for i in range(len(NAMES)))
    return math.ceil(math.log(1e-12) / math.log(apart)) if apart > 0 else 1


class TestPythonSurface:
    def test_listing(self):
        listed = core.py_list_constants()
        assert listed == NAMES
        assert all(type(n) is str for n in listed)
        assert core.py_list_constants() is not listed

    def test_len_and_truth(self):
        registry = core.PyFormulasRegistry()
        assert len(registry) == 17
        assert bool(registry) is True

    @pytest.mark.parametrize("name", NAMES)
    def test_get_every_constant(self, name):
        value = core.PyFormulasRegistry().get(name)
        assert type(value) is float
        assert bits(value) == bits(TABLE[name]["value"])

    def test_binding_bit_patterns(self):
        registry = core.PyFormulasRegistry()
        assert bits(registry.get("phi")) == 0x3FF9E3779B97F4A8
        assert bits(registry.get("gamma_em")) == 0x3FE2788CFC6FB619

    @pytest.mark.parametrize(
        "name", ["PHI", "", " b3", "b3 ", "b3\x00", "n_gen_s", "µ", "\U0001f600", "b3" * 1000]
    )
    def test_not_found(self, name):
        registry = core.PyFormulasRegistry()
        with pytest.raises(KeyError) as info:
            registry.get(name)
        assert info.value.args == (f"constant `{name}` not found in registry",)
        # The instance stays usable after a failed look-up.
        assert registry.get("n_gen") == 3.0

    def test_instances_are_independent_with_equal_contents(self):
        a, b = core.PyFormulasRegistry(), core.PyFormulasRegistry()
        assert a is not b
        assert [a.get(n) for n in NAMES] == [b.get(n) for n in NAMES]
        del a
        assert b.get("phi") == PHI

    def test_version(self):
        assert core.PyFormulasRegistry.version() == installed_version()
        assert core.PyFormulasRegistry().version() == core.__version__


class TestCore:
    # The records are shared compile-time constants placed by pointer; 8192 shards take the
    # general insertion instead.
    @pytest.mark.parametrize("shards", [None, 2, 8, 1024, 8192])
    def test_builtin_records(self, hooks, shards):
        records = hooks.builtin_records() if shards is None else hooks.builtin_records(shards)
        assert sorted(records) == NAMES
        for name, record in records.items():
            assert record == {"name": name, **TABLE[name]}

    def test_datasheet_texts_made_at_compile_time_match_the_writer(self, hooks):
        # An inserted record has no compile-time text: it is encoded from its copy.
        other = {"name": 'q"\u00b5', "value": 0.5, "units": "a\tb", "status": 3}
        texts = hooks.datasheet_texts([other])
        assert sorted(texts) == sorted([*NAMES, other["name"]])
        for direct, written in texts.values():
            assert direct == written
        assert json.loads(texts[other["name"]][0])["units"] == "a\tb"

    def test_shard_lock_excludes_readers_from_a_write(self, hooks):
        threads, rounds = 4, 20000
        torn, writes = hooks.rw_lock_exclusion(threads, rounds)
        assert torn == 0
        assert writes == sum(1 for t in range(threads) for r in range(rounds) if (r + t) % 4 == 0)

    @pytest.mark.parametrize("late_while_held", [False, True])
    def test_shard_lock_hands_over_between_sleepers(self, hooks, late_while_held):
        # A writer sleeps on readers that hold the lock for milliseconds, and readers queue
        # behind it: none gets in before it is done, and nobody waits for a wake-up that never
        # comes. (jumped, stalls, readers gone when the writer got in, late readers served)
        assert hooks.rw_lock_handoff(3, 6, 5, late_while_held) == (0, 0, 3, 6)

    def test_shard_lock_publishes_a_write_to_the_next_reader(self, hooks):
        # Writer and reader meet only through the lock: under ThreadSanitizer (scripts/nox -s tsan)
        # the read races unless taking the lock for reading acquires the writer's release.
        assert hooks.rw_lock_publish(20) == list(range(1, 21))

    @pytest.mark.parametrize("shards", [2, 8, 1024, 8192])
    def test_table_order_is_the_sorted_table(self, hooks, shards):
        names, from_table = hooks.constant_listing(shards, [])
        assert from_table
        assert names == sorted(NAMES, key=lambda n: n.encode())

    @pytest.mark.parametrize(
        ("inserted", "listed"),
        [
            ("a_first", ["a_first", *NAMES]),
            ("phi", NAMES),  # the same name replaced: the contents may differ, so it sorts
        ],
    )
    def test_listing_after_an_insertion_sorts_the_contents(self, hooks, inserted, listed):
        record = {"name": inserted, "value": 1.0, "units": "u", "status": SEED}
        names, from_table = hooks.constant_listing(8, [record])
        assert not from_table
        assert names == listed

    def test_listing_of_shards_past_their_small_size(self, hooks):
        # 117 names over 2 shards: each holds more than its 32 slots in arrival order.
        records = [{"name": f"c{i}", "value": 1.0, "units": "", "status": 0} for i in range(100)]
        names, from_table = hooks.constant_listing(2, records)
        assert (names, from_table) == (sorted(NAMES + [f"c{i}" for i in range(100)]), False)

    def test_processor_counts_reach_every_shard_count(self, hooks):
        every = {hooks.shard_count_for(p) for p in range(1, 4097)}
        assert {hooks.shard_count_for(p) for p in PROCESSORS} == every

    @pytest.mark.parametrize("processors", PROCESSORS, ids=lambda p: f"processors={p}")
    def test_builtin_table_over_every_shard_count(self, hooks, processors):
        shards = hooks.shard_count_for(processors)
        # And a long name that none holds.
        names = [*NAMES, "not_a_built_in_constant"]
        builds = hooks.builtin_registries(shards, builds_to_share_a_shard(shards), names)
        values = [TABLE[n]["value"] for n in NAMES]
        by_bytes = sorted(NAMES, key=str.encode)
        for count, listed, found, listing, from_table, in_use, key in builds:
            assert (count, len(listed), sorted(listed)) == (17, 17, NAMES)
            assert [bits(v) for v in found[:-1]] == [bits(v) for v in values] and found[-1] is None
            assert (listing, from_table) == (by_bytes, True)
            # A shard for each index that the low bits of a name's hash under the key give.
            assert in_use == len({keyed_hash(*key, n.encode()) & (shards - 1) for n in NAMES})
        # Shards holding two or more built-in names were among them.
        assert min(b[5] for b in builds) < 17

    @pytest.mark.parametrize(
        "key", [(0x0123456789ABCDEF, 0xFEDCBA9876543211), (M64, 1), (1 << 63, M64 - 2**40)]
    )
    def test_keyed_hash_gives_the_known_answers(self, hooks, key):
        # Around both word sizes and the 16-byte blocks, bytes with the top bit set among them;
        # the built-in names from the words of each made at compile time.
        rng = random.Random(5)
        lengths = [0, 1, 2, 3, 4, 7, 8, 9, 12, 15, 16, 17, 31, 32, 33, 48, 49, 200]
        names = [bytes(rng.randrange(256) for _ in range(n)) for n in lengths]
        hashes, builtin = hooks.keyed_hashes(*key, names)
        assert hashes == [keyed_hash(*key, name) for name in names]
        assert builtin == {name: keyed_hash(*key, name.encode()) for name in NAMES}

    @pytest.mark.parametrize("length", [15, 16, 17])
    @pytest.mark.parametrize("shards", [0, 1024])  # 0: the built-in table, then the names
    def test_names_around_the_short_hash_length(self, hooks, length, shards):
        # Up to 16 bytes a name hashes from the words a built-in one is compared by, beyond that
        # from its bytes: a look-up must hash each as its insertion did. Distinct letters, as
        # the two ways read the same bytes when the name's 4-byte words repeat.
        rng = random.Random(length)
        names = [
            f"{i:02}" + "".join(rng.sample(string.ascii_letters, length - 2)) for i in range(64)
        ]
        records = [{"name": n, "value": i + 0.5, "units": "", "status": SEED}
                   for i, n in enumerate(names)]  # fmt: skip
        _, count, stored, _ = hooks.insert_records(shards, records, shards == 0)
        assert count == 64 + (17 if shards == 0 else 0)
        assert [stored[r["name"]]["value"] for r in records] == [i + 0.5 for i in range(64)]

    def test_one_heap_block_per_registry(self, hooks):
        count, shards, blocks = hooks.registry_facts()
        assert (count, shards, blocks) == (17, hooks.shard_count(), 1)

    @pytest.mark.parametrize(
        ("processors", "shards"),
        [(0, 4), (1, 4), (2, 8), (3, 16), (6, 32), (8, 32), (9, 64), (64, 256), (256, 1024)],
    )
    def test_shard_count_rule(self, hooks, processors, shards):
        assert hooks.shard_count_for(processors) == shards

    def test_insert_replaces_and_keeps_the_count(self, hooks):
        first = {"name": "k", "value": 1.0, "units": "u", "status": SEED}
        second = {"name": "k", "value": 2.0, "units": "v", "status": 3, "uncertainty": 0.5,
                  "expression": "e", "depends_on": ["a", "b"]}  # fmt: skip
        other = {"name": "K", "value": 3.0, "units": "", "status": 1}
        replaced, count, stored, names = hooks.insert_records(8, [first, other, second])
        assert replaced[:2] == [None, None]
        assert replaced[2] == {"name": "k", "value": 1.0, "units": "u", "uncertainty": None,
                               "status": SEED, "expression": None, "depends_on": []}  # fmt: skip
        assert count == 2
        assert stored["k"] == {**second}
        assert sorted(names) == ["K", "k"]

    def test_replacing_a_builtin_record(self, hooks):
        new_phi = {"name": "phi", "value": 1.5, "units": "x", "status": PENDING}
        replaced, count, stored, _ = hooks.insert_records(0, [new_phi], True)
        assert replaced == [{"name": "phi", **TABLE["phi"]}]
        assert count == 17
        assert stored["phi"]["value"] == 1.5

    @pytest.mark.parametrize("shards", [4, 1024])
    def test_many_records_grow_shards_and_directory(self, hooks, shards):
        records = [{"name": f"c{i}", "value": float(i), "units": "u", "status": 0}
                   for i in range(2000)]  # fmt: skip
        # Then each replaced: over 4 shards, in hashed tables of about 500 entries.
        again = [{**r, "value": r["value"] + 0.5} for r in records]
        replaced, count, stored, names = hooks.insert_records(shards, records + again)
        assert replaced[:2000] == [None] * 2000
        assert [r["value"] for r in replaced[2000:]] == [float(i) for i in range(2000)]
        assert count == 2000 == len(set(names))
        assert all(stored[f"c{i}"]["value"] == i + 0.5 for i in range(2000))

    def test_a_long_name_with_odd_sized_units(self, hooks):
        # The arena's next chunk is sized for the 2000-byte name and ends at an odd address:
        # the pointer aligned for the next piece lands past its end and must not be used.
        record = {"name": "n" * 2000, "value": 1.0, "units": "u" * 99, "status": SEED}
        _, count, stored, _ = hooks.insert_records(8, [record, {**record, "name": "m"}])
        assert (count, stored["n" * 2000]["units"], stored["m"]["units"]) == (2, "u" * 99, "u" * 99)

    def test_names_match_by_exact_bytes(self, hooks):
        records = [{"name": n, "value": float(i), "units": "", "status": 0}
                   for i, n in enumerate(["a", "a\x00", "A", "a ", "é", "e\u0301"])]  # fmt: skip
        _, count, stored, _ = hooks.insert_records(8, records)
        assert count == 6
        assert [stored[r["name"]]["value"] for r in records] == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]

    @pytest.mark.parametrize("name", ["sterile_check", "b3"])
    def test_lookup_returns_a_deep_copy(self, hooks, name):
        changed, stored = hooks.lookup_is_deep_copy(name)
        assert changed["value"] == -1.0 and changed["depends_on"][-1] == "extra"
        assert stored == {"name": name, **TABLE[name]}
        with pytest.raises(KeyError, match=f"^'constant `{name}x` not found in registry'$"):
            hooks.lookup_is_deep_copy(name + "x")

    def test_iteration_order_differs_between_registries(self, hooks):
        orders = {tuple(hooks.registry_names()) for _ in range(20)}
        assert all(sorted(o) == NAMES for o in orders)
        # Fresh hash keys per registry: twenty builds in one order would mean shared keys.
        assert len(orders) > 1

    @pytest.mark.parametrize(
        ("kind", "message"),
        [
            (0, "constant `x` not found in registry"),
            (1, "derivation of `x` is not yet implemented in torvane_core"),
            (2, "failed to load constants from `x`: y"),
            (3, "invalid JSON schema in `x`"),
            (4, "cyclic derivation involving `x`"),
            (5, "expression parse error in `x`: y"),
        ],
    )
    def test_error_messages(self, hooks, kind, message):
        assert hooks.render_error(kind, "x", "y") == message

    def test_listing_order_is_unsigned_bytes_with_prefixes_first(self, hooks):
        import random

        rng = random.Random(7)
        alphabet = [b"", b"a", b"b", b"\x00", b"\x7f", b"\x80", b"\xff", b"ab"]
        for size in (0, 1, 2, 17, 31, 32, 33, 200):
            names = [b"".join(rng.choices(alphabet, k=rng.randrange(0, 12))) for _ in range(size)]
            # Long shared starts reach past the eight bytes compared at once.
            names += [b"sterile_check", b"sterile_sector", b"n_gen", b"n_gen_sq", b"abcdefgh",
                      b"abcdefgh\x00", b"abcdefg", b"abcdefghi"]  # fmt: skip
            assert hooks.sort_by_bytes(names) == sorted(names)

    @pytest.mark.parametrize("compare", ["same_bytes", "same_name_words"])
    def test_key_comparison_sees_every_byte_at_every_length(self, hooks, compare):
        # Short keys are compared by overlapping word loads, and built-in names by the words the
        # hash reads (names up to 16 bytes): a difference in any byte, at the ends or in the
        # overlap, must count, and so must the length alone.
        same = getattr(hooks, compare)
        for n in range(0, 41 if compare == "same_bytes" else 16):
            base = bytes(range(65, 65 + n))
            assert same(base, bytes(base))
            assert not same(base, base + b"\x00")
            for i in range(n):
                for flip in (0x01, 0x80):
                    other = bytearray(base)
                    other[i] ^= flip
                    assert not same(base, bytes(other)), (n, i, flip)

    def test_wide_product_from_32_bit_halves(self, hooks):
        # The hash's 128-bit product where the compiler has no 128-bit integer, and the
        # compiler's own where it has: each against the exact product.
        edges = [0, 1, 2, 2**32 - 1, 2**32, 2**32 + 1, 2**63, 2**64 - 2, 2**64 - 1]
        rng = random.Random(11)
        pairs = [(a, b) for a in edges for b in edges]
        pairs += [(rng.getrandbits(64), rng.getrandbits(64)) for _ in range(10000)]
        for a, b in pairs:
            exact = ((a * b) & (2**64 - 1), (a * b) >> 64)
            portable, native = hooks.wide_product(a, b)
            assert (portable, native) == (exact, exact if NATIVE_WIDE else None), (a, b)

    def test_error_payload_is_verbatim(self, hooks):
        assert hooks.render_error(0, "") == "constant `` not found in registry"
        assert hooks.render_error(5, "a`b", "") == "expression parse error in `a`b`: "
