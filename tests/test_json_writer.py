"""The JSON writer and the constant datasheet text, through the test hooks."""

import json
import math
import random
import struct
import sys
from decimal import Decimal

import pytest
from conftest import import_hooks, scaled
from hypothesis import given
from hypothesis import strategies as st

hooks = import_hooks()

MAX = sys.float_info.max
MIN_NORMAL = sys.float_info.min
MIN_SUBNORMAL = 5e-324


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def reference_layout(x: float) -> str:
    """repr's shortest digits of x, laid out by the writer's exponent rule."""
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    x = abs(x)
    if x == 0.0:
        return sign + "0.0"
    _, digit_tuple, exp = Decimal(repr(x)).normalize().as_tuple()
    d = "".join(map(str, digit_tuple))
    n = len(d)
    e = exp + n - 1  # x == d[0].d[1:] * 10**e
    if -5 <= e <= -1:
        body = "0." + "0" * (-e - 1) + d
    elif 0 <= e <= 15 and n > e + 1:
        body = d[: e + 1] + "." + d[e + 1 :]
    elif 0 <= e <= 15:
        body = d + "0" * (e + 1 - n) + ".0"
    else:
        body = d[0] + ("." + d[1:] if n > 1 else "") + "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


# --- numbers ---------------------------------------------------------------------------------

NUMBER_EXAMPLES = [
    (24.0, "24.0"),
    (-0.0, "-0.0"),
    (0.0, "0.0"),
    (0.1, "0.1"),
    (1e-5, "0.00001"),
    (1e-6, "1e-6"),
    (1e15, "1000000000000000.0"),
    (1e16, "1e+16"),
    (123456789.125, "123456789.125"),
    (MIN_SUBNORMAL, "5e-324"),
    (-MIN_SUBNORMAL, "-5e-324"),
    (MAX, "1.7976931348623157e+308"),
    (-MAX, "-1.7976931348623157e+308"),
    (MIN_NORMAL, "2.2250738585072014e-308"),
    (1.5e-7, "1.5e-7"),
    (-1.5e-7, "-1.5e-7"),
    (1.25e16, "1.25e+16"),
    (-1e16, "-1e+16"),
    (0.001, "0.001"),
    (0.00001234, "0.00001234"),
    (0.5772156649015329, "0.5772156649015329"),
    (72.5, "72.5"),
    (1.618033988749895, "1.618033988749895"),
    (3.0, "3.0"),
    (100.0, "100.0"),
    (-2.5, "-2.5"),
    (2.0**53, "9007199254740992.0"),
    (9999999999999998.0, "9999999999999998.0"),
    (1.2345678901234568e17, "1.2345678901234568e+17"),
    (1e100, "1e+100"),
    (1e-100, "1e-100"),
    (246220.0, "246220.0"),
]


@pytest.mark.parametrize(("x", "text"), NUMBER_EXAMPLES, ids=[t for _, t in NUMBER_EXAMPLES])
def test_number_examples(x, text):
    assert hooks.encode_number(x) == text
    # The oracle of the sweeps must agree with the same table.
    assert reference_layout(x) == text


@pytest.mark.parametrize("x", [math.nan, -math.nan, math.inf, -math.inf], ids=repr)
def test_non_finite_number_is_null(x):
    assert hooks.encode_number(x) == "null"


def _power_of_ten_neighbours() -> list[float]:
    out = []
    for p in range(-7, 18):
        x = float(f"1e{p}")
        for y in (math.nextafter(x, 0.0), x, math.nextafter(x, math.inf)):
            out += [y, -y]
    return out


def _random_patterns(seed: int, count: int) -> list[float]:
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        b = rng.getrandbits(64)
        if (b >> 52) & 0x7FF != 0x7FF:
            out.append(from_bits(b))
    return out


def _random_in_fixed_range(seed: int, count: int) -> list[float]:
    # Uniform bit patterns almost never land where the plain-decimal layout applies, so this
    # group draws binary exponents around 1e-7 .. 1e17.
    rng = random.Random(seed)
    return [
        from_bits(
            (rng.getrandbits(1) << 63) | ((1023 + rng.randint(-25, 58)) << 52) | rng.getrandbits(52)
        )
        for _ in range(count)
    ]


def _short_decimals(seed: int, count: int) -> list[float]:
    # Few significant digits: trailing-zero padding and the layout boundaries get exercised.
    rng = random.Random(seed)
    return [float(f"{rng.randint(1, 9999)}e{rng.randint(-30, 30)}") for _ in range(count)]


SPECIALS = [
    0.0,
    -0.0,
    MIN_SUBNORMAL,
    -MIN_SUBNORMAL,
    MAX,
    -MAX,
    MIN_NORMAL,
    math.nextafter(MIN_NORMAL, 0.0),
    math.nextafter(MAX, 0.0),
    2 * MIN_SUBNORMAL,
]

SWEEPS = {
    "random_bit_patterns": _random_patterns(0x7A5E_2024, scaled(100_000)),
    "fixed_layout_range": _random_in_fixed_range(0x5EED, scaled(20_000)),
    "short_decimals": _short_decimals(0xD1C1, scaled(20_000)),
    "power_of_ten_neighbours": _power_of_ten_neighbours(),
    "specials": SPECIALS,
}


@pytest.mark.parametrize("values", list(SWEEPS.values()), ids=list(SWEEPS))
def test_numbers_match_repr_digits(values):
    texts = hooks.encode_numbers(values)
    mismatches = [
        (x, t, r) for x, t in zip(values, texts, strict=True) if t != (r := reference_layout(x))
    ]
    assert mismatches[:5] == []


@pytest.mark.parametrize("values", list(SWEEPS.values()), ids=list(SWEEPS))
def test_numbers_read_back_exactly(values):
    texts = hooks.encode_numbers(values)
    assert [bits(float(t)) for t in texts] == [bits(x) for x in values]
    loaded = json.loads("[" + ",".join(texts) + "]")
    assert {type(v) for v in loaded} == {float}
    assert [bits(v) for v in loaded] == [bits(x) for x in values]


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_number_property(x):
    text = hooks.encode_number(x)
    assert text == reference_layout(x)
    assert bits(json.loads(text)) == bits(x)


# --- strings ---------------------------------------------------------------------------------

SHORT_ESCAPES = {0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r"}


@pytest.mark.parametrize("byte", range(0x20), ids=lambda b: f"0x{b:02x}")
def test_control_byte_is_escaped(byte):
    escape = SHORT_ESCAPES.get(byte, b"\\u00%02x" % byte)
    assert hooks.encode_string(bytes([byte])) == b'"' + escape + b'"'
    assert hooks.encode_string(b"ab" + bytes([byte]) + b"cd") == b'"ab' + escape + b'cd"'


@pytest.mark.parametrize(
    ("raw", "encoded"),
    [
        (b"", b'""'),
        (b'"', b'"\\""'),
        (b"\\", b'"\\\\"'),
        (b'"\\\t\x01', b'"\\"\\\\\\t\\u0001"'),
        (b"\x1b[0m", b'"\\u001b[0m"'),
        (b"\x7f", b'"\x7f"'),
        (b"/", b'"/"'),
        (b"km/s/Mpc", b'"km/s/Mpc"'),
        ("µ".encode(), b'"\xc2\xb5"'),
        ("GeV·c⁻² ✓ 𝜋".encode(), b'"' + "GeV·c⁻² ✓ 𝜋".encode() + b'"'),
        (b"a\x00b\x00", b'"a\\u0000b\\u0000"'),
        (b'say "hi"\n', b'"say \\"hi\\"\\n"'),
    ],
    ids=repr,
)
def test_string_encoding(raw, encoded):
    assert hooks.encode_string(raw) == encoded


def test_bytes_needing_no_escape_are_copied_raw():
    raw = bytes(b for b in range(0x20, 0x100) if b not in b'"\\')
    assert hooks.encode_string(raw) == b'"' + raw + b'"'


def escaped(raw: bytes) -> bytes:
    """The string's text as an independent reading of the escape table."""
    out = []
    for b in raw:
        if b in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[b])
        elif b < 0x20:
            out.append(b"\\u00%02x" % b)
        elif b in b'"\\':
            out.append(b"\\" + bytes([b]))
        else:
            out.append(bytes([b]))
    return b'"' + b"".join(out) + b'"'


@pytest.mark.parametrize("pieces", [60, 64, 65, 500, 50_000])
def test_long_text_grows_the_buffer_without_losing_bytes(pieces):
    # Escapes make the text up to six times its input, across several growths of the buffer.
    pool = [b"a", b"b", b'"', b"\\", b"\n", b"\x01", "\u00b5".encode()]
    raw = b"".join(random.Random(pieces).choice(pool) for _ in range(pieces))
    text = escaped(raw)
    assert hooks.encode_string(raw) == text
    assert hooks.encode_object([(raw, raw)]) == b"{" + text + b":" + text + b"}"
    assert json.loads(text) == raw.decode()


def test_every_ascii_character_reads_back():
    s = "".join(map(chr, range(0x80))) + "µ€𝜋"
    assert json.loads(hooks.encode_string(s.encode())) == s


@given(st.text())
def test_string_property(s):
    assert json.loads(hooks.encode_string(s.encode())) == s


# --- objects ---------------------------------------------------------------------------------


def test_empty_object():
    assert hooks.encode_object([]) == b"{}"


ORDERED_KEYS = [b"", b"Z", b"a", b"a\x00", b"ab", b"b", b"~", b"\x7f", "µ".encode(), b"\xff"]


@pytest.mark.parametrize(
    "keys",
    [ORDERED_KEYS, ORDERED_KEYS[::-1], random.Random(3).sample(ORDERED_KEYS, len(ORDERED_KEYS))],
    ids=["sorted", "reversed", "shuffled"],
)
def test_members_are_ordered_by_unsigned_key_bytes(keys):
    assert hooks.encode_object([(k, None) for k in keys]) == (
        b'{"":null,"Z":null,"a":null,"a\\u0000":null,"ab":null,"b":null,"~":null,'
        b'"\x7f":null,"\xc2\xb5":null,"\xff":null}'
    )


@pytest.mark.parametrize(
    ("members", "encoded"),
    [
        ([(b"x", 1.0), (b"x", 2.0)], b'{"x":2.0}'),
        ([(b"k", 1.0), (b"a", None), (b"k", b"v"), (b"k", None)], b'{"a":null,"k":null}'),
        ([(b"b", 1.0), (b"a", 2.0), (b"b", b"s")], b'{"a":2.0,"b":"s"}'),
        (
            [(b"o", [(b"a", 1.0)]), (b"b", None), (b"o", [(b"c", None)])],
            b'{"b":null,"o":{"c":null}}',
        ),
    ],
    ids=["twice", "three_times", "after_a_smaller_key", "an_object_over_an_object"],
)
def test_repeated_key_replaces_value(members, encoded):
    assert hooks.encode_object(members) == encoded


def test_member_values_of_every_kind():
    members = [
        (b"s", b'q"/\n'),
        (b"n", -0.0),
        (b"nan", math.nan),
        (b"inf", -math.inf),
        (b"z", None),
        (b"o", [(b"b", 1e16), (b"a", [])]),
    ]
    encoded = b'{"inf":null,"n":-0.0,"nan":null,"o":{"a":{},"b":1e+16},"s":"q\\"/\\n","z":null}'
    assert hooks.encode_object(members) == encoded
    assert list(json.loads(encoded)) == ["inf", "n", "nan", "o", "s", "z"]


def test_key_is_escaped_like_a_string():
    assert hooks.encode_object([(b'k"\\\t', 0.5)]) == b'{"k\\"\\\\\\t":0.5}'


# --- datasheet -------------------------------------------------------------------------------

SEED, CACHED, PENDING, EXTERNAL = range(4)


def test_datasheet_of_b3():
    assert hooks.datasheet_json("b3", 24.0, "dimensionless", None, SEED) == (
        '{"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}'
    )


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf], ids=repr)
def test_datasheet_non_finite_value_is_null(value):
    assert hooks.datasheet_json("x", value, "MeV", 0.25, SEED) == (
        '{"name":"x","status":"Seed","uncertainty":0.25,"units":"MeV","value":null}'
    )


@pytest.mark.parametrize(
    ("uncertainty", "text"),
    [
        (None, "null"),
        (math.nan, "null"),
        (math.inf, "null"),
        (-math.inf, "null"),
        (0.0, "0.0"),
        (1.5e-7, "1.5e-7"),
        (0.42, "0.42"),
    ],
    ids=repr,
)
def test_datasheet_uncertainty(uncertainty, text):
    assert hooks.datasheet_json("h0_central", 67.4, "km/s/Mpc", uncertainty, SEED) == (
        '{"name":"h0_central","status":"Seed","uncertainty":'
        + text
        + ',"units":"km/s/Mpc","value":67.4}'
    )


@pytest.mark.parametrize(
    ("status", "word"),
    [(SEED, "Seed"), (CACHED, "Cached"), (PENDING, "Pending"), (EXTERNAL, "External")],
)
def test_datasheet_status_word(status, word):
    assert hooks.datasheet_json("n", 0.0, "", None, status) == (
        '{"name":"n","status":"' + word + '","uncertainty":null,"units":"","value":0.0}'
    )


def test_datasheet_texts_are_escaped():
    assert hooks.datasheet_json('a"b\\', -1.25e16, "µ\t", None, SEED) == (
        '{"name":"a\\"b\\\\","status":"Seed","uncertainty":null,"units":"µ\\t","value":-1.25e+16}'
    )


def test_datasheet_reads_back_as_schema():
    sheet = json.loads(hooks.datasheet_json("phi", 1.618033988749895, "dimensionless", None, SEED))
    assert sheet == {
        "name": "phi",
        "status": "Seed",
        "uncertainty": None,
        "units": "dimensionless",
        "value": 1.618033988749895,
    }
    assert list(sheet) == ["name", "status", "uncertainty", "units", "value"]
    assert type(sheet["value"]) is float
