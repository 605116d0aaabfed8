#!/usr/bin/env python3
"""A coverage-guided fuzzer for every entry point of `orvantis._torvane_core`.

Each input is a short program: a few calls of the module's functions, constructors, methods and
`len`, each with a mix of positional and keyword arguments (too few, too many, unknown, twice)
made from the input's bytes: text of every kind (lone surrogates, NUL, non-ASCII, str
subclasses whose protocols lie), numbers of every kind (floats from raw bits, huge ints, bools,
subclasses, objects with `__float__` or `__index__`) and hostile objects whose special methods
raise (KeyboardInterrupt, SystemExit, MemoryError, RecursionError among others), return the
wrong type or change state (they call back into the module, drop the objects in use, replace
`json`). Every call's outcome is compared with an oracle: a small model in plain Python of the
module's names, values, datasheets, lengths and matrix, and of its argument conventions and
messages, written from the documented behaviour without calling the module. A difference
raises `Mismatch`, which the fuzzer reports as a finding.

    python fuzz/harness.py [libFuzzer flags] [CORPUS...]   # fuzz (scripts/nox -s fuzz)
    python fuzz/harness.py --replay FILE...                 # run inputs once, no atheris

The bytes are read through atheris's FuzzedDataProvider, or, where atheris is not installed
(the ordinary test suite), through `PlainProvider`, which reads them the same way.

The seeds in fuzz/corpus are a few dozen inputs of a few bytes each that together reach
nearly every edge of the module that the fuzzer reaches: libFuzzer's merge (-merge=1
-merge_control_file=F) of a run's corpus, then the fewest files whose COV lines in F cover the
most edges, chosen greedily.
"""

from __future__ import annotations

import gc
import importlib.metadata
import math
import struct
import sys
import warnings
from collections.abc import Callable
from decimal import Decimal
from fractions import Fraction
from typing import Any

from orvantis import _torvane_core as core

# ---------------------------------------------------------------------------------------------
# The oracle: what the module holds, written out.

# name: (value, units, status)
CONSTANTS: dict[str, tuple[float, str, str]] = {
    "b3": (24.0, "dimensionless", "Seed"),
    "chi_eff": (72.0, "dimensionless", "Seed"),
    "n_gen": (3.0, "count", "Seed"),
    "roots_total": (288.0, "count", "Seed"),
    "visible_sector": (125.0, "count", "Seed"),
    "sterile_sector": (163.0, "count", "Seed"),
    "phi": (struct.unpack("<d", struct.pack("<Q", 0x3FF9E3779B97F4A8))[0], "dimensionless", "Seed"),
    "gamma_em": (
        struct.unpack("<d", struct.pack("<Q", 0x3FE2788CFC6FB619))[0],
        "dimensionless",
        "Seed",
    ),
    "jc_constant": (153.0, "count", "Seed"),
    "logic_closure": (288.0, "count", "Seed"),
    # Derived constants are never evaluated: 0.0 and Pending.
    "v_higgs_mev": (0.0, "MeV", "Pending"),
    "sterile_check": (0.0, "count", "Pending"),
    "n_gen_sq": (0.0, "count", "Pending"),
    "h0_central": (0.0, "km/s/Mpc", "Pending"),
    "w0_central": (0.0, "dimensionless", "Pending"),
    "m_tau_mev": (0.0, "MeV", "Pending"),
    "topo_gen_check": (0.0, "count", "Pending"),
}
# Byte order; the names are ASCII, so code point order is byte order.
CONSTANT_NAMES = sorted(CONSTANTS)
QUARKS = ["bottom", "charm", "down", "strange", "top", "up"]
FORMULAS_LENGTH = 17
QUARKS_LENGTH = 6
VERSION = importlib.metadata.version("orvantis-torvane-core")
# The matrix is the identity: every row's squared norm is exactly 1.0, so the largest deviation
# is 0.0 and a tolerance passes when it is not NaN and not below zero. J is stored as +0.0.
UNITARY_THRESHOLD = 0.0
JARLSKOG = 0.0
DATASHEET_KEYS = ["name", "status", "uncertainty", "units", "value"]


def datasheet(name: str) -> dict[str, object]:
    value, units, status = CONSTANTS[name]
    return {"name": name, "status": status, "uncertainty": None, "units": units, "value": value}


def datasheet_text(name: str) -> str:
    # Every value of the table is zero or between 1e-5 and 1e16, where the compact layout is
    # the shortest round-trip digits, as repr() gives them.
    value, units, status = CONSTANTS[name]
    return (
        f'{{"name":"{name}","status":"{status}","uncertainty":null,'
        f'"units":"{units}","value":{value!r}}}'
    )


def panic_type() -> type[BaseException] | None:
    """The internal-failure exception (no attribute of the module; made with it)."""
    for cls in BaseException.__subclasses__():
        if cls.__module__ == "native_runtime" and cls.__name__ == "PanicException":
            return cls
    return None


class Mismatch(AssertionError):
    """The module did not do what the oracle says."""


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
    """The harness's own vocabulary over a provider."""

    def __init__(self, provider: Any) -> None:
        self.p = provider

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
CALLBACK_FAILURES: list[str] = []


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
# The expected outcome of a call.


def lenient(text: str) -> str:
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


class Stop(Exception):  # noqa: N818 - not an error: what the module must let through
    def __init__(self, exc: BaseException) -> None:
        self.exc = exc


def shown(obj: object, reports: list[type[BaseException]]) -> str:
    """An object's text as the module's messages show it. A str() that fails with an ordinary
    exception is reported as unraisable; any other exception goes through unchanged."""
    try:
        return lenient(str(obj))
    except Exception as exc:
        reports.append(type(exc))
        return f"<unprintable {lenient(type(obj).__qualname__)} object>"
    except BaseException as exc:
        raise Stop(exc) from None


def text_of(s: str) -> str:
    return str.__str__(s)


class Expect:
    """An expected outcome: a result check, or an exception with its arguments."""

    def __init__(
        self,
        *,
        ok: Callable[[object], bool] | None = None,
        exc: type[BaseException] | None = None,
        args: tuple[object, ...] | None = None,
        same: BaseException | None = None,
        cause: BaseException | None | bool = False,
        reports: list[type[BaseException]] | None = None,
        what: str = "",
    ) -> None:
        self.ok, self.exc, self.args, self.same = ok, exc, args, same
        self.cause, self.reports, self.what = cause, reports or [], what


def raises(exc: type[BaseException], *args: object, **more: Any) -> Expect:
    return Expect(exc=exc, args=args, **more)


def binding(display: str, params: list[str], nargs: int, keys: list[object]) -> Expect | None:
    """The module's argument binding: positionals, then each keyword in order, then what is
    still missing. None when the arguments bind."""
    if nargs > len(params):
        was = "was" if nargs == 1 else "were"
        return raises(
            TypeError, f"{display} takes {len(params)} positional arguments but {nargs} {was} given"
        )
    filled = [i < nargs for i in range(len(params))]
    for key in keys:
        text = None
        if isinstance(key, str):
            try:
                text = text_of(key)
                text.encode("utf-8")
            except UnicodeEncodeError:
                text = None
        if text not in params:
            reports: list[type[BaseException]] = []
            try:
                what = shown(key, reports)
            except Stop as stop:
                return Expect(same=stop.exc)
            return raises(
                TypeError,
                f"{display} got an unexpected keyword argument '{what}'",
                reports=reports,
            )
        i = params.index(text)
        if filled[i]:
            return raises(TypeError, f"{display} got multiple values for argument '{params[i]}'")
        filled[i] = True
    if not all(filled):
        missing = params[filled.index(False)]
        return raises(TypeError, f"{display} missing 1 required positional argument: '{missing}'")
    return None


def wrapped(param: str, exc: BaseException) -> Expect:
    """The conversion failure `exc` as it comes out: an exact TypeError becomes
    "argument '{param}': {str(exc)}" with exc's cause; anything else passes unchanged."""
    if type(exc) is not TypeError:
        return Expect(exc=type(exc), args=exc.args, cause=exc.__cause__)
    reports: list[type[BaseException]] = []
    try:
        text = shown(exc, reports)
    except Stop as stop:
        return Expect(same=stop.exc)
    return raises(TypeError, f"argument '{param}': {text}", cause=exc.__cause__, reports=reports)


def name_conversion(name: object) -> Expect | str:
    """The text the module looks up, or the failure of converting `name`."""
    if not isinstance(name, str):
        qualname = lenient(type(name).__qualname__)
        return wrapped("name", TypeError(f"'{qualname}' object cannot be converted to 'PyString'"))
    text = text_of(name)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return Expect(exc=UnicodeEncodeError, args=(e.encoding, text, e.start, e.end, e.reason))
    return text


def tolerance_conversion(tol: object) -> Expect | float:
    # The interpreter's own float conversion (the one every "d" argument goes through).
    try:
        return math.ldexp(tol, 0)  # type: ignore[arg-type]
    except BaseException as exc:
        expect = wrapped("tol", exc)
        raised = getattr(getattr(tol, "answer", None), "raises", None)
        if raised is exc and type(exc) is not TypeError:
            expect.same = exc  # the very exception the special method raised
        return expect


def expect_lookup(name: object, *, datasheet_call: bool) -> Expect:
    converted = name_conversion(name)
    if isinstance(converted, Expect):
        return converted
    if datasheet_call and converted == "":
        return raises(ValueError, "py_get_constant: name must be non-empty")
    if converted not in CONSTANTS:
        return raises(KeyError, f"constant `{converted}` not found in registry")
    if datasheet_call:
        sheet = datasheet(converted)
        return Expect(
            ok=lambda got: (
                type(got) is dict
                and list(got) == DATASHEET_KEYS
                and got == sheet
                and type(got["value"]) is float
                and all(type(got[k]) is str for k in ("name", "status", "units"))
            ),
            what=repr(sheet),
        )
    value = CONSTANTS[converted][0]
    return Expect(ok=lambda got: type(got) is float and got == value, what=repr(value))


def expect_unitary(tol: object) -> Expect:
    converted = tolerance_conversion(tol)
    if isinstance(converted, Expect):
        return converted
    answer = not math.isnan(converted) and converted >= UNITARY_THRESHOLD
    return Expect(ok=lambda got: got is answer, what=repr(answer))


def tp_name(obj: object) -> str:
    """The name the interpreter's descriptor messages give a type: the module's classes are
    made as "builtins.{name}", the interpreter's own and the harness's carry their bare name."""
    t = type(obj)
    mine = (core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix)
    return f"builtins.{t.__name__}" if t in mine else t.__name__


# ---------------------------------------------------------------------------------------------
# Calls.


def check(label: str, call: Callable[[], object], expect: Expect) -> object:
    reports: list[Any] = []
    saved_hook = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        got: object = call()
        raised: BaseException | None = None
    except BaseException as exc:  # noqa: BLE001 - compared with the oracle below
        got, raised = None, exc
    finally:
        sys.unraisablehook = saved_hook
    # The interpreter's report records are not tracked by the cycle collector: a record refers
    # to this frame through its traceback, so the list must be emptied or both stay forever.
    kinds = [type(report.exc_value) for report in reports]
    reports.clear()
    panic = panic_type()
    if raised is not None and panic is not None and type(raised) is panic:
        raise Mismatch(f"{label}: internal failure {raised.args!r}") from raised
    if expect.same is not None:
        if raised is not expect.same:
            raise Mismatch(f"{label}: expected the very {expect.same!r}, got {raised!r} / {got!r}")
    elif expect.exc is not None:
        if raised is None or type(raised) is not expect.exc:
            raise Mismatch(
                f"{label}: expected {expect.exc.__name__}{expect.args!r}, got {got!r} / {raised!r}"
            )
        if expect.exc is UnicodeEncodeError:
            assert isinstance(raised, UnicodeEncodeError)
            seen = (raised.encoding, text_of(raised.object), raised.start, raised.end)
            if (*seen, raised.reason) != expect.args:
                raise Mismatch(f"{label}: expected {expect.args!r}, got {raised.args!r}")
        elif expect.args is not None and raised.args != expect.args:
            raise Mismatch(f"{label}: expected {expect.args!r}, got {raised.args!r}") from raised
        if expect.cause is not False and raised.__cause__ is not expect.cause:
            raise Mismatch(f"{label}: cause {raised.__cause__!r}, expected {expect.cause!r}")
    else:
        if raised is not None:
            raise Mismatch(f"{label}: expected {expect.what}, raised {raised!r}") from raised
        assert expect.ok is not None
        if not expect.ok(got):
            raise Mismatch(f"{label}: expected {expect.what}, got {got!r}")
    if kinds != expect.reports:
        raise Mismatch(f"{label}: unraisable reports {kinds}, expected {expect.reports}")
    if CALLBACK_FAILURES:
        raise Mismatch(f"{label}: {CALLBACK_FAILURES[0]}")
    return got


def arguments(
    r: Reader, params: list[str], valid: Callable[[], object], constructor: bool = False
) -> tuple[list[object], dict[Any, object]]:
    nargs = r.pick([0, 1, 1, 1, 2, 3]) if params else r.pick([0, 0, 0, 1, 2])
    args = [valid() for _ in range(nargs)]
    kwargs: dict[Any, object] = {}
    for _ in range(r.pick([0, 0, 0, 1, 1, 2, 3])):
        kwargs[a_key(r, params, constructor)] = valid()
    return args, kwargs


def with_keys_checked(keys: list[object], expect: Callable[[], Expect]) -> Expect:
    """A call of a function (not of a class) refuses keys that are not str before it runs."""
    if not all(isinstance(k, str) for k in keys):
        return raises(TypeError, "keywords must be strings")
    return expect()


def registry_of(kind: str, r: Reader) -> Any:
    held = STATE.get(kind)
    if held is None or r.below(4) == 0:
        held = {
            "formulas": core.PyFormulasRegistry,
            "quarks": core.PyQuarkRegistry,
            "ckm": core.PyCKMMatrix.from_topology,
        }[kind]()
        STATE[kind] = held
    return held


NO_ARGUMENTS = [
    ("orvantis._torvane_core.py_list_constants()", lambda: core.py_list_constants, None),
    ("orvantis._torvane_core.py_list_quarks()", lambda: core.py_list_quarks, None),
    ("PyFormulasRegistry.version()", lambda: core.PyFormulasRegistry.version, None),
    ("PyCKMMatrix.from_topology()", lambda: core.PyCKMMatrix.from_topology, None),
    ("PyCKMMatrix.jarlskog()", None, "ckm"),
]


def no_argument_call(r: Reader, which: int) -> None:
    display, function, holder = NO_ARGUMENTS[which]
    if holder is not None:
        f = registry_of(holder, r).jarlskog
    elif which >= 2 and r.flag():  # static methods on an instance too
        f = getattr(registry_of("formulas" if which == 2 else "ckm", r), function().__name__)
    else:
        f = function()
    results: dict[int, Expect] = {
        0: Expect(ok=lambda got: type(got) is list and got == CONSTANT_NAMES, what="the names"),
        1: Expect(ok=lambda got: type(got) is list and got == QUARKS, what="the quarks"),
        2: Expect(ok=lambda got: type(got) is str and got == VERSION, what=VERSION),
        3: Expect(ok=lambda got: type(got) is core.PyCKMMatrix, what="a matrix"),
        4: Expect(
            ok=lambda got: (
                type(got) is float
                and got == JARLSKOG
                and math.copysign(1, got) == math.copysign(1, JARLSKOG)
            ),
            what=repr(JARLSKOG),
        ),
    }
    args, kwargs = arguments(r, [], lambda: 1)
    keys = list(kwargs)
    if keys and not all(isinstance(k, str) for k in keys):
        expect = raises(TypeError, "keywords must be strings")
    elif keys:
        expect = raises(TypeError, f"{display} takes no keyword arguments")
    elif args:
        expect = raises(TypeError, f"{display} takes no arguments ({len(args)} given)")
    else:
        expect = results[which]
    got = check(display, lambda: f(*args, **kwargs), expect)
    if which == 3 and expect.ok is not None:
        STATE["ckm"] = got


def lookup_call(r: Reader, datasheet_call: bool) -> None:
    if datasheet_call:
        display, f = "py_get_constant()", core.py_get_constant
    else:
        display = "PyFormulasRegistry.get()"
        registry = registry_of("formulas", r)
        f = registry.get
        if r.below(4) == 0:  # through the class, with self first

            def f(*args: object, **kwargs: Any) -> object:
                return core.PyFormulasRegistry.get(registry, *args, **kwargs)

    args, kwargs = arguments(r, ["name"], lambda: a_name(r))

    def expect() -> Expect:
        failed = binding(display, ["name"], len(args), list(kwargs))
        if failed is not None:
            return failed
        name = args[0] if args else next(v for k, v in kwargs.items() if text_of(k) == "name")
        return expect_lookup(name, datasheet_call=datasheet_call)

    check(display, lambda: f(*args, **kwargs), with_keys_checked(list(kwargs), expect))


def unitary_call(r: Reader) -> None:
    display = "PyCKMMatrix.is_unitary()"
    method = registry_of("ckm", r).is_unitary
    args, kwargs = arguments(r, ["tol"], lambda: a_tolerance(r))

    def expect() -> Expect:
        failed = binding(display, ["tol"], len(args), list(kwargs))
        if failed is not None:
            return failed
        tol = args[0] if args else next(v for k, v in kwargs.items() if text_of(k) == "tol")
        return expect_unitary(tol)

    expected = with_keys_checked(list(kwargs), expect)
    if r.below(4) == 0:
        STATE.pop("ckm", None)  # the bound method alone holds the matrix
    check(display, lambda: method(*args, **kwargs), expected)


def constructor_call(r: Reader, which: int) -> None:
    cls = [core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix][which]
    display = f"{cls.__name__}.__new__()"
    args, kwargs = arguments(r, [], lambda: a_name(r), constructor=True)
    if cls is core.PyCKMMatrix:
        expect = raises(TypeError, "No constructor defined for PyCKMMatrix")
    else:
        expect = binding(display, [], len(args), list(kwargs)) or Expect(
            ok=lambda got: type(got) is cls, what=f"a {cls.__name__}"
        )
    got = check(display, lambda: cls(*args, **kwargs), expect)
    if got is not None:
        STATE["formulas" if cls is core.PyFormulasRegistry else "quarks"] = got


def length_call(r: Reader) -> None:
    kind = r.pick(["formulas", "quarks"])
    holder = registry_of(kind, r)
    cls = core.PyFormulasRegistry if kind == "formulas" else core.PyQuarkRegistry
    length = FORMULAS_LENGTH if kind == "formulas" else QUARKS_LENGTH
    if r.flag():
        check(f"len({cls.__name__})", lambda: len(holder), Expect(ok=lambda got: got == length))
        return
    # Through the slot's descriptor, with the right object or another.
    other = r.pick([holder, holder, core.PyQuarkRegistry(), 1, "b3", None])
    if type(other) is cls:
        expect = Expect(ok=lambda got: type(got) is int and got == length, what=str(length))
    else:
        expect = raises(
            TypeError,
            f"descriptor '__len__' requires a 'builtins.{cls.__name__}' object "
            f"but received a '{tp_name(other)}'",
        )
    check(f"{cls.__name__}.__len__", lambda: cls.__len__(other), expect)


def wrong_self_call(r: Reader) -> None:
    cls, method = r.pick(
        [
            (core.PyFormulasRegistry, "get"),
            (core.PyCKMMatrix, "is_unitary"),
            (core.PyCKMMatrix, "jarlskog"),
        ]
    )
    other = r.pick([core.PyQuarkRegistry(), 1, "b3", None, Outer()])
    args = [r.pick(["b3", 0.5])] if method != "jarlskog" else []
    expect = raises(
        TypeError,
        f"descriptor '{method}' for 'builtins.{cls.__name__}' objects doesn't apply to "
        f"a '{tp_name(other)}' object",
    )
    check(
        f"{cls.__name__}.{method} on another object",
        lambda: getattr(cls, method)(other, *args),
        expect,
    )


class FakeJson:
    pass


def hostile_json_call(r: Reader) -> None:
    """py_get_constant with whatever `json` the import machinery hands out."""
    name = r.pick(CONSTANT_NAMES)
    saved = sys.modules.get("json")
    mode = r.below(5)
    texts: list[str] = []
    try:
        if mode == 0:  # the text handed over, checked, then read by the real json
            import json

            fake = FakeJson()

            def loads(text: str) -> object:
                texts.append(text)
                return json.loads(text)

            fake.loads = loads  # type: ignore[attr-defined]
            sys.modules["json"] = fake  # type: ignore[assignment]
            expect = expect_lookup(name, datasheet_call=True)
        elif mode == 1:
            answer = object()
            fake = FakeJson()
            fake.loads = lambda text: answer  # type: ignore[attr-defined]
            sys.modules["json"] = fake  # type: ignore[assignment]
            expect = Expect(ok=lambda got: got is answer, what="what loads returned")
        elif mode == 2:
            exc = an_exception(r)
            fake = FakeJson()

            def refuse(text: str) -> object:
                raise exc

            fake.loads = refuse  # type: ignore[attr-defined]
            sys.modules["json"] = fake  # type: ignore[assignment]
            expect = Expect(same=exc)
        elif mode == 3:
            sys.modules["json"] = FakeJson()  # type: ignore[assignment]
            expect = Expect(exc=AttributeError)
        else:
            sys.modules["json"] = None  # type: ignore[assignment]
            expect = Expect(exc=ModuleNotFoundError)  # "import of json halted"
        check(
            f"py_get_constant({name!r}) with a hostile json",
            lambda: core.py_get_constant(name),
            expect,
        )
    finally:
        if saved is None:
            sys.modules.pop("json", None)
        else:
            sys.modules["json"] = saved
    if mode == 0 and texts != [datasheet_text(name)]:
        raise Mismatch(
            f"the datasheet text of {name!r}: {texts!r}, expected {datasheet_text(name)!r}"
        )


def one_call(r: Reader) -> None:
    op = r.below(13)
    if op <= 4:
        no_argument_call(r, op)
    elif op == 5:
        lookup_call(r, datasheet_call=True)
    elif op == 6:
        lookup_call(r, datasheet_call=False)
    elif op == 7:
        unitary_call(r)
    elif op == 8:
        constructor_call(r, r.below(3))
    elif op == 9:
        length_call(r)
    elif op == 10:
        wrong_self_call(r)
    elif op == 11:
        hostile_json_call(r)
    else:
        lookup_call(r, datasheet_call=r.flag())


def one_input(data: bytes, provider: Callable[[bytes], Any] | None = None) -> None:
    """Runs the program that `data` spells; raises Mismatch when the module and the oracle
    disagree."""
    if provider is None:
        provider = PROVIDER
    r = Reader(provider(data))
    STATE.clear()
    CALLBACK_FAILURES.clear()
    with warnings.catch_warnings():
        # The interpreter's deprecation of float and int subclasses returned by __float__ and
        # __index__: ignored, or an error that must come out unchanged.
        warnings.simplefilter("error" if r.flag() else "ignore", DeprecationWarning)
        for _ in range(1 + r.below(6)):
            if r.p.remaining_bytes() == 0:
                break
            one_call(r)
    STATE.clear()
    if core.py_list_quarks() != QUARKS:
        raise Mismatch("the module stopped working")


try:
    import atheris

    PROVIDER: Callable[[bytes], Any] = atheris.FuzzedDataProvider
except ImportError:  # the ordinary test suite
    atheris = None
    PROVIDER = PlainProvider


def main(argv: list[str]) -> None:
    if len(argv) > 1 and argv[1] == "--replay":
        for path in argv[2:]:
            with open(path, "rb") as f:
                one_input(f.read())
            print(f"{path}: as the oracle says")
        return
    if len(argv) > 1 and argv[1] == "--check-provider":
        # PlainProvider must read the bytes as atheris does, so that the corpus means the same
        # program to the fuzzer and to the ordinary suite.
        for path in argv[2:]:
            with open(path, "rb") as f:
                data = f.read()
            ours, theirs = PlainProvider(data), atheris.FuzzedDataProvider(data)
            for step in range(64):
                for name, args in (
                    ("ConsumeIntInRange", (0, step * 37 % 300)),
                    ("ConsumeBool", ()),
                    ("ConsumeBytes", (step % 9,)),
                    ("ConsumeIntInRange", (0, 1 << (step % 64))),
                ):
                    a, b = getattr(ours, name)(*args), getattr(theirs, name)(*args)
                    if a != b or ours.remaining_bytes() != theirs.remaining_bytes():
                        raise SystemExit(f"{path}: {name}{args} reads {a!r}, atheris {b!r}")
        print(f"the plain provider reads {len(argv) - 2} inputs as atheris does")
        return
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
