"""The fuzzer's oracle: what `orvantis._torvane_core` must do, in plain Python, written from the
documented behaviour without calling the module (fuzz/harness.py calls it and compares).

A small model of the module's names, values, datasheets, lengths and matrix, and of its argument
conventions and messages; `check` runs one call and raises `Mismatch` when its outcome differs
from the one expected.
"""

from __future__ import annotations

import importlib.metadata
import math
import struct
import sys
from collections.abc import Callable
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


# What went wrong inside a hostile special method (fuzz/strategies.py's call_back): checked after
# the call, as an exception there would be taken for the method's own.
CALLBACK_FAILURES: list[str] = []


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


def with_keys_checked(keys: list[object], expect: Callable[[], Expect]) -> Expect:
    """A call of a function (not of a class) refuses keys that are not str before it runs."""
    if not all(isinstance(k, str) for k in keys):
        return raises(TypeError, "keywords must be strings")
    return expect()
