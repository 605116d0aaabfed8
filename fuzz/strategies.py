"""The fuzzer's input strategies: how an input's bytes become the arguments of the module's calls.

The bytes are read through atheris's FuzzedDataProvider, or, where atheris is not installed (the
ordinary test suite), through `PlainProvider`, which reads them the same way. They make text of
every kind (lone surrogates, NUL, non-ASCII, str subclasses whose protocols lie), numbers of
every kind (floats from raw bits, huge ints, bools, subclasses, objects with `__float__` or
`__index__`) and hostile objects whose special methods raise (KeyboardInterrupt, SystemExit,
MemoryError, RecursionError among others), return the wrong type or change state (they call
back into the module, drop the objects in use).

An input may also carry names, which the fuzzer's mutator (`mutate`, at the end) edits as names:
see "Names edited as names" below.
"""

from __future__ import annotations

import gc
import math
import random
import struct
from collections.abc import Callable
from decimal import Decimal
from fractions import Fraction
from typing import Any

from oracle import CALLBACK_FAILURES, CONSTANT_NAMES, QUARKS, datasheet

from orvantis import _torvane_core as core

# ---------------------------------------------------------------------------------------------
# Reading the bytes.


class PlainProvider:
    """The part of atheris's FuzzedDataProvider that the harness uses, read the same way:
    whole numbers from the end of the data, modulo the range; truth values and byte strings
    from its front."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.front = 0
        self.back = len(data)

    def remaining_bytes(self) -> int:
        return self.back - self.front

    def ConsumeIntInRange(self, lo: int, hi: int) -> int:  # noqa: N802 - atheris's name
        span = hi - lo
        assert 0 <= span < 1 << 64
        result = offset = 0
        while offset < span.bit_length() and span >> offset and self.back > self.front:
            self.back -= 1
            result = (result << 8) | self.data[self.back]
            offset += 8
        if span != (1 << 64) - 1:
            result %= span + 1
        return lo + result

    def ConsumeBool(self) -> bool:  # noqa: N802 - atheris's name
        if self.back == self.front:
            return False
        self.front += 1
        return bool(self.data[self.front - 1] & 1)

    def ConsumeBytes(self, count: int) -> bytes:  # noqa: N802 - atheris's name
        taken = self.data[self.front : self.front + min(count, self.back - self.front)]
        self.front += len(taken)
        return taken


class Reader:
    """The harness's own vocabulary over a provider, and the input's names (see `split`)."""

    def __init__(self, provider: Any, names: list[bytes] | None = None) -> None:
        self.p = provider
        self.names = names or []
        self.named = 0  # names handed out so far

    def below(self, n: int) -> int:
        return self.p.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def flag(self) -> bool:
        return self.p.ConsumeBool()

    def raw(self, n: int) -> bytes:
        return self.p.ConsumeBytes(n)

    def pick(self, items: list[Any]) -> Any:
        return items[self.below(len(items))]


# ---------------------------------------------------------------------------------------------
# Hostile objects.

# Side effects that hostile special methods have, and what went wrong inside them (checked
# after the call, as an exception there would be taken for the method's own).
STATE: dict[str, Any] = {}


def call_back(how: int) -> None:
    """State changes a hostile special method makes before it answers."""
    if how == 1:  # enter the module again
        if core.py_list_quarks() != QUARKS or core.PyFormulasRegistry().get("b3") != 24.0:
            CALLBACK_FAILURES.append("a call back into the module gave a wrong result")
    elif how == 2:  # drop every object the program holds, those in use among them
        STATE.clear()
    elif how == 3:
        gc.collect(0)
    elif how == 4:  # a datasheet from inside the call
        if core.py_get_constant("phi") != datasheet("phi"):
            CALLBACK_FAILURES.append("a datasheet made from a call back was wrong")


class PlainStr(str):
    pass


class LoudStr(str):
    """A str whose Python-level protocols all lie: the module must read the text itself."""

    def __str__(self) -> str:
        return "something else"

    def __eq__(self, other: object) -> bool:
        return True

    def __ne__(self, other: object) -> bool:
        return False

    def __hash__(self) -> int:
        return 0

    def __len__(self) -> int:
        return 0


class StrOf(str):
    """A str whose str() raises, returns something else or changes state first."""

    error: BaseException | None = None
    result: object = "shown"
    how = 0

    def __str__(self) -> str:
        call_back(self.how)
        if self.error is not None:
            raise self.error
        return self.result  # type: ignore[return-value]


class KeyOf:
    """A keyword key that is not a str at all (only constructors ever see one)."""

    def __init__(self, error: BaseException | None, result: object) -> None:
        self.error, self.result = error, result

    def __hash__(self) -> int:
        return 1

    def __eq__(self, other: object) -> bool:
        return self is other

    def __str__(self) -> str:
        if self.error is not None:
            raise self.error
        return self.result  # type: ignore[return-value]


class FloatOf:
    def __init__(self, answer: Callable[[], object], how: int) -> None:
        self.answer, self.how = answer, how

    def __float__(self) -> float:
        call_back(self.how)
        return self.answer()  # type: ignore[return-value]


class IndexOf:
    def __init__(self, answer: Callable[[], object], how: int) -> None:
        self.answer, self.how = answer, how

    def __index__(self) -> int:
        call_back(self.how)
        return self.answer()  # type: ignore[return-value]


class FloatSub(float):
    def __float__(self) -> float:  # never called: a float subclass is read directly
        raise AssertionError("float subclass read through __float__")


class IntSub(int):
    pass


class IntFloat(int):
    def __float__(self) -> float:
        return -0.5


class Outer:
    class Inner:
        pass


class OddName:
    pass


OddName.__qualname__ = "Odd\udc80Name"
StrOf.__qualname__ = "Str\ud800Of"


class NoText:
    def __str__(self) -> str:
        raise LookupError("no text")


class CallsBack:
    def __str__(self) -> str:
        return f"called back: {core.py_list_quarks()[0]}"


class MyTypeError(TypeError):
    pass


def chained_type_error() -> TypeError:
    try:
        raise KeyError("inner")
    except KeyError as inner:
        try:
            raise TypeError("outer") from inner
        except TypeError as outer:
            return outer


def an_exception(r: Reader) -> BaseException:
    makers: list[Callable[[], BaseException]] = [
        lambda: ValueError("bad value"),
        lambda: OverflowError("too big"),
        lambda: TypeError("plain type error"),
        lambda: TypeError("\udc80 lone"),
        lambda: TypeError(NoText()),
        lambda: TypeError(CallsBack()),
        lambda: TypeError(),
        chained_type_error,
        lambda: MyTypeError("mine"),
        lambda: KeyboardInterrupt(),
        lambda: SystemExit(3),
        lambda: MemoryError(),
        lambda: RecursionError("deep"),
        lambda: GeneratorExit(),
        lambda: ArithmeticError("arith"),
        lambda: UnicodeEncodeError("utf-8", "\udc80", 0, 1, "surrogates not allowed"),
        lambda: KeyError("key"),
        lambda: LookupError(),
    ]
    return r.pick(makers)()


# ---------------------------------------------------------------------------------------------
# Values made from the bytes.

VOCABULARY = [
    *CONSTANT_NAMES,
    *QUARKS,
    "",
    "name",
    "tol",
    "nme",
    "self",
    "B3",
    "PHI",
    " b3",
    "b3 ",
    "b3\0",
    "\0",
    "é",
    "\ud800",
    "km/s/Mpc",
]


# The words of fuzz/names.dict besides the module's names: the parameters and the units.
DICTIONARY_TOKENS = ["name", "tol", "self", "count", "dimensionless", "MeV", "km/s/Mpc"]


def a_text(r: Reader) -> str:
    if r.names:  # an input with names asks for nothing else: each text is the next of them
        name = r.names[r.named % len(r.names)]
        r.named += 1
        return name.decode("utf-8", "surrogateescape")
    kind = r.below(6)
    if kind == 0:
        return r.pick(VOCABULARY)
    if kind == 1:
        word = r.pick(VOCABULARY)
        edit = r.below(8)
        if edit == 0:
            return word.upper()
        if edit == 1:
            return word + "\0"
        if edit == 2:
            return " " + word
        if edit == 3:
            return word[:-1]
        if edit == 4:
            return word + word
        # Near misses: a prefix of any length, or a byte or two added, whose values the
        # fuzzer's comparison tracing can steer.
        if edit == 5:
            return word[: r.below(len(word) + 1)]
        if edit == 6:
            return word + r.raw(1 + r.below(2)).decode("latin-1")
        return word + chr(r.below(0x110000))
    raw = r.raw(r.below(25))
    if kind == 2:
        return bytes(b & 0x7F for b in raw).decode("ascii")
    if kind == 3:  # lone surrogates U+DC80..U+DCFF for the bytes that are not UTF-8
        return raw.decode("utf-8", "surrogateescape")
    if kind == 4:  # any BMP code point, lone surrogates included
        return raw[: len(raw) & ~1].decode("utf-16-le", "surrogatepass")
    return r.pick(VOCABULARY) * (1 << r.below(13))  # up to 4096 copies


def text_object(r: Reader, text: str) -> str:
    kind = r.below(4)
    if kind == 0:
        return text
    if kind == 1:
        return PlainStr(text)
    if kind == 2:
        return LoudStr(text)
    s = StrOf(text)
    s.how = r.below(5)
    return s


def not_text(r: Reader) -> object:
    makers: list[Callable[[], object]] = [
        lambda: r.below(1000) - 500,
        lambda: None,
        lambda: b"b3",
        lambda: bytearray(b"name"),
        lambda: 3.5,
        lambda: ["b3"],
        lambda: object(),
        lambda: OddName(),
        lambda: Outer.Inner(),
        lambda: str,
        lambda: 1 + 2j,
        lambda: True,
    ]
    return r.pick(makers)()


def a_name(r: Reader) -> object:
    return not_text(r) if r.below(5) == 0 else text_object(r, a_text(r))


def a_float(r: Reader) -> float:
    if r.flag():
        return r.pick([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 1e-300, -1.0])
    return struct.unpack("<d", r.raw(8).ljust(8, b"\0"))[0]  # any bits: NaN payloads too


def an_int(r: Reader) -> int:
    kind = r.below(4)
    if kind == 0:
        return r.below(7) - 3
    if kind == 1:
        return r.pick([10**400, -(10**400), 1 << 1024, (1 << 1024) - 1, 2**53 + 1, -(2**63)])
    return int.from_bytes(r.raw(r.below(160)), "little", signed=True)


def a_wrong_answer(r: Reader) -> object:
    return r.pick(["x", None, [], b"1", 1j, FloatSub(0.25), True, IntSub(2), Decimal(1)])


def a_tolerance(r: Reader) -> object:
    kind = r.below(16)
    if kind <= 2:
        return a_float(r)
    if kind <= 4:
        return an_int(r)
    if kind == 5:
        return r.flag()
    if kind == 6:
        return FloatSub(a_float(r))
    if kind == 7:
        return r.pick([IntSub, IntFloat])(an_int(r))
    if kind == 8:
        return r.pick([Fraction(1, 3), Fraction(-1, 7), Decimal("nan"), Decimal("sNaN")])
    if kind == 9:
        return r.pick(["0.1", None, [0.5], 0.5j, b"1", object()])
    maker = FloatOf if kind in (10, 11, 12) else IndexOf
    how = r.below(5)
    answer_kind = r.below(3)
    if answer_kind == 0:
        exc = an_exception(r)

        def answer() -> object:
            raise exc

        answer.raises = exc  # type: ignore[attr-defined]
    elif answer_kind == 1:
        value = a_wrong_answer(r)

        def answer() -> object:
            return value

    else:
        value = a_float(r) if maker is FloatOf else an_int(r)

        def answer() -> object:
            return value

    return maker(answer, how)


def a_key(r: Reader, params: list[str], constructor: bool) -> object:
    kind = r.below(8 if constructor else 6)
    if kind <= 1:
        return r.pick([*params, "name", "tol", "nme", "x"]) if params else r.pick(["x", "name"])
    if kind == 2:
        return text_object(r, a_text(r))
    if kind <= 5:
        s = StrOf(r.pick([*params, "nme", "\udc80", "é"]) if params else "nme")
        s.how = r.below(5)
        outcome = r.below(3)
        if outcome == 0:
            s.error = an_exception(r)
        elif outcome == 1:
            s.result = a_wrong_answer(r)
        else:
            s.result = a_text(r)
        return s
    if kind == 6:  # a key that is not text: the interpreter refuses it for functions
        return r.pick([1, None, b"name", ("name",), 2.5, frozenset()])
    return KeyOf(an_exception(r) if r.flag() else None, r.pick(["k", 5, "\ud800"]))


# ---------------------------------------------------------------------------------------------
# Names edited as names.
#
# An input may end with a section of names: NAMES_MARK, then each name as one byte of length and
# its bytes. The program before it is read as ever, but every text it asks for is the next name
# (decoded as UTF-8; a byte that is not UTF-8 makes a lone surrogate). `mutate`, the fuzzer's
# mutator, edits either the program, by libFuzzer's own mutations, or one name as a name: the
# shapes a near miss of one of the module's names takes (a prefix, a byte changed, a byte or two
# added, a longer name), made from that name or from the one edited before; or libFuzzer's
# mutations of that name's bytes alone, whose dictionary words and comparison operands (what
# the module compared the name with) then land in the name itself.

NAMES_MARK = b"\xffnames\xff"
MAX_NAMES = 4
MAX_NAME = 48  # bytes; the longest of the module's names has 14


def split(data: bytes) -> tuple[bytes, list[bytes]]:
    """The program and the names of an input."""
    program, _, section = data.partition(NAMES_MARK)
    if not section:
        return program, []
    names: list[bytes] = []
    at = 0
    while at < len(section) and len(names) < MAX_NAMES:
        size = section[at]
        names.append(section[at + 1 : at + 1 + size])
        at += 1 + size
    return program, names


def join(program: bytes, names: list[bytes]) -> bytes:
    if not names:
        return program
    return program + NAMES_MARK + b"".join(bytes([len(n)]) + n for n in names)


# The draws of every mutation, from one generator seeded with the first mutation's seed: a run
# is the same again from the same libFuzzer seed, and seeding a generator for each mutation
# would cost more than all the rest of it.
DRAWS: list[random.Random] = []
MUTATIONS = [0]


def draws(seed: int) -> random.Random:
    if not DRAWS:
        DRAWS.append(random.Random(seed))
    return DRAWS[0]


def some_bytes(draw: random.Random, count: int) -> bytes:
    # Mostly ASCII, which the module's names are made of; now and then any byte.
    top = 256 if draw.random() < 0.125 else 128
    return bytes(draw.randrange(top) for _ in range(count))


def edit_name(draw: random.Random, name: bytes, libfuzzer: Callable[[bytes, int], bytes]) -> bytes:
    """One edit of a name, in the shape of a near miss, or libFuzzer's own."""
    kind = draw.randrange(5)
    at = draw.randrange(len(name) + 1)
    if kind == 0 and name:  # a prefix
        return name[: draw.randrange(len(name))]
    if kind == 1 and name:  # a byte changed: to any other, or in one bit (which the value
        at = min(at, len(name) - 1)  # profile of a comparison that differs there rewards)
        if draw.random() < 0.5:
            return name[:at] + some_bytes(draw, 1) + name[at + 1 :]
        return name[:at] + bytes([name[at] ^ 1 << draw.randrange(7)]) + name[at + 1 :]
    if kind == 2:  # a byte or two added
        return name[:at] + some_bytes(draw, draw.randint(1, 2)) + name[at:]
    if kind == 3:  # a longer name
        return name[:at] + some_bytes(draw, draw.randint(3, 8)) + name[at:]
    return libfuzzer(name, MAX_NAME)


# The longest program a mutation makes: 16 bytes, then one more every thousand mutations. A
# custom mutator turns off libFuzzer's own growth of the inputs' length, which keeps the early
# inputs short and so cheap (more bytes, more calls); this grows them about as fast.
FIRST_PROGRAM = 16
MUTATIONS_PER_BYTE = 1000
NAMES = [name.encode() for name in CONSTANT_NAMES]


def mutate(
    data: bytes, max_size: int, seed: int, libfuzzer: Callable[[bytes, int], bytes]
) -> bytes:
    """The fuzzer's mutator: `data` edited once. `libfuzzer(data, max_size)` is libFuzzer's own
    mutation (atheris.Mutate), the ordinary suite's stand-in where atheris is missing."""
    draw = draws(seed)
    MUTATIONS[0] += 1
    program, names = split(data)
    if draw.random() < 0.5:
        longest = FIRST_PROGRAM + MUTATIONS[0] // MUTATIONS_PER_BYTE
        room = max(min(max_size - len(join(b"", names)), longest), 1)
        program = libfuzzer(program[:room], room)
    else:
        if not names or (len(names) < MAX_NAMES and draw.random() < 0.125):
            names.append(draw.choice(NAMES))
        which = draw.randrange(len(names))
        # From the one edited before, or afresh from one of the module's names.
        name = names[which] if draw.random() < 0.5 else draw.choice(NAMES)
        names[which] = edit_name(draw, name, libfuzzer)[:MAX_NAME]
    out = join(program, names)
    return out if len(out) <= max_size else program[:max_size]
