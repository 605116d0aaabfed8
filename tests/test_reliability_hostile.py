"""Hostile input: any text, any number-like object, any keyword a caller can spell, on every
callable. Only the documented exceptions with their exact messages come out, nothing is
written to standard error, and the module keeps working.

The expected outcome of each call comes from an independent model of the conventions: the
binding rules written out in Python below, `str.encode("utf-8")` for the text conversion, and
`math.ldexp(x, 0)`, which converts its argument by the interpreter's own float conversion, for
the tolerance.
"""

from __future__ import annotations

import importlib
import math
import subprocess
import sys
from collections.abc import Callable

import pytest
from conftest import scaled
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvantis import _torvane_core as core

# Hundreds of hostile arguments per entry point, the same on every architecture: not in the
# runs on other architectures, which would take minutes more.
pytestmark = pytest.mark.host_only

SETTINGS = settings(
    max_examples=scaled(500),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

REGISTRY = core.PyFormulasRegistry()
CKM = core.PyCKMMatrix.from_topology()
NAMES = core.py_list_constants()
VALUES = {n: REGISTRY.get(n) for n in NAMES}
PANIC = next(c for c in BaseException.__subclasses__() if c.__module__ == "native_runtime")


def _unitary_threshold() -> float:
    """The smallest float tolerance the matrix passes with. is_unitary is monotone in tol, so a
    bisection over the ordered bit patterns of the non-negative floats finds it."""
    import struct

    def as_float(bits: int) -> float:
        return struct.unpack("<d", struct.pack("<Q", bits))[0]

    lo, hi = 0, struct.unpack("<Q", struct.pack("<d", math.inf))[0]
    if CKM.is_unitary(0.0):
        return 0.0
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if CKM.is_unitary(as_float(mid)):
            hi = mid
        else:
            lo = mid
    return as_float(hi)


THRESHOLD = _unitary_threshold()


# ---------------------------------------------------------------------------------------------
# Hostile objects.


class PlainStr(str):
    pass


class LoudStr(str):
    """A str whose every Python-level protocol lies: the module must read the text itself."""

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

    def encode(self, *args, **kwargs):  # type: ignore[override]
        raise AssertionError("the module must not call str.encode")


def text_of(s: str) -> str:
    """The text a str (subclass) really holds, whatever its methods say."""
    return str.__str__(s)


any_char = st.characters(exclude_categories=())  # surrogates, controls and NUL included
names = st.one_of(
    st.text(any_char, max_size=40),
    st.sampled_from(NAMES),
    st.sampled_from(NAMES).map(lambda n: n + "\0"),
    st.sampled_from(NAMES).map(lambda n: n.upper()),
    st.sampled_from(NAMES).map(lambda n: " " + n),
    st.text(st.characters(codec="utf-8"), min_size=1, max_size=8),
)
name_objects = st.one_of(
    names,
    names.map(PlainStr),
    names.map(LoudStr),
)


def assert_module_usable() -> None:
    assert core.py_list_constants() == NAMES
    assert core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"]
    assert core.py_get_constant("b3")["value"] == 24.0
    assert core.PyFormulasRegistry().get("b3") == 24.0
    assert len(core.PyQuarkRegistry()) == 6
    assert core.PyCKMMatrix.from_topology().is_unitary(1e-9) is True


@pytest.fixture
def quiet(capfd):
    """Yields a check that nothing reached the process's stdout or stderr since the last one."""
    capfd.readouterr()

    def check() -> None:
        out, err = capfd.readouterr()
        assert err == ""
        assert out == ""

    yield check
    assert_module_usable()
    check()


def outcome(call: Callable[[], object]):
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - compared below
        return ("raised", exc)


# ---------------------------------------------------------------------------------------------
# Names.


def expected_lookup(name: str, *, empty_is_error: bool):
    text = text_of(name)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return ("raised", UnicodeEncodeError, (e.encoding, e.start, e.end, e.reason))
    if empty_is_error and text == "":
        return ("raised", ValueError, ("py_get_constant: name must be non-empty",))
    if text in VALUES:
        return ("ok", text)
    return ("raised", KeyError, (f"constant `{text}` not found in registry",))


def check_name_outcome(got, expected, on_success: Callable[[object, str], None]) -> None:
    kind, value = got
    if expected[0] == "ok":
        assert kind == "ok", value
        on_success(value, expected[1])
        return
    assert kind == "raised", value
    _, etype, eargs = expected
    assert type(value) is etype
    if etype is UnicodeEncodeError:
        assert (value.encoding, value.start, value.end, value.reason) == eargs
    else:
        assert value.args == eargs


@SETTINGS
@given(name=name_objects)
def test_any_name_to_get(quiet, name: str) -> None:
    got = outcome(lambda: REGISTRY.get(name))
    expected = expected_lookup(name, empty_is_error=False)

    def success(value, text):
        assert type(value) is float and value == VALUES[text]

    check_name_outcome(got, expected, success)
    quiet()


@SETTINGS
@given(name=name_objects)
def test_any_name_to_get_constant(quiet, name: str) -> None:
    got = outcome(lambda: core.py_get_constant(name))
    expected = expected_lookup(name, empty_is_error=True)

    def success(value, text):
        assert type(value) is dict and value["name"] == text and value["value"] == VALUES[text]

    check_name_outcome(got, expected, success)
    quiet()


@SETTINGS
@given(name=name_objects)
def test_any_name_by_keyword(quiet, name: str) -> None:
    assert outcome(lambda: REGISTRY.get(name=name))[0] == outcome(lambda: REGISTRY.get(name))[0]
    a, b = (
        outcome(lambda: core.py_get_constant(name=name)),
        outcome(lambda: core.py_get_constant(name)),
    )
    assert a[0] == b[0]
    if a[0] == "raised":
        assert type(a[1]) is type(b[1]) and a[1].args == b[1].args
    else:
        assert a[1] == b[1]
    quiet()


non_text = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True),
    st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=8)),
    st.lists(st.text(max_size=3), max_size=2),
    st.just(object()),
    st.just(str),
    st.complex_numbers(allow_nan=False),
)


@SETTINGS
@given(value=non_text)
def test_a_name_that_is_not_text(quiet, value: object) -> None:
    message = (
        f"argument 'name': '{type(value).__qualname__}' object cannot be converted to 'PyString'"
    )
    for call in (
        lambda: REGISTRY.get(value),
        lambda: core.py_get_constant(value),
        lambda: REGISTRY.get(name=value),
        lambda: core.py_get_constant(name=value),
    ):
        with pytest.raises(TypeError) as err:
            call()
        assert type(err.value) is TypeError
        assert err.value.args == (message,)
        assert err.value.__cause__ is None
    quiet()


def test_a_megabyte_long_name(quiet) -> None:
    name = "n" * (1 << 20)
    with pytest.raises(KeyError) as err:
        REGISTRY.get(name)
    assert err.value.args == (f"constant `{name}` not found in registry",)
    with pytest.raises(KeyError) as err:
        core.py_get_constant(name + "\0" + "é" * 1000)
    assert err.value.args == (f"constant `{name}\0{'é' * 1000}` not found in registry",)
    with pytest.raises(UnicodeEncodeError) as err:
        core.py_get_constant(name + "\udfff")
    assert (err.value.start, err.value.end) == (1 << 20, (1 << 20) + 1)
    quiet()


@pytest.mark.parametrize("name", ["b3\0", "\0b3", "b\0" + "3", "\0", "\0" * 3])
def test_an_embedded_nul_is_part_of_the_name(quiet, name: str) -> None:
    with pytest.raises(KeyError) as err:
        REGISTRY.get(name)
    assert err.value.args == (f"constant `{name}` not found in registry",)
    quiet()


def test_a_str_subclass_is_read_by_its_text(quiet) -> None:
    loud = LoudStr("b3")
    assert REGISTRY.get(loud) == 24.0
    assert core.py_get_constant(loud)["name"] == "b3"
    # Its __eq__ says it equals every name, and its __len__ that it is empty: neither matters.
    with pytest.raises(KeyError) as err:
        REGISTRY.get(LoudStr("nope"))
    assert err.value.args == ("constant `nope` not found in registry",)
    quiet()


# ---------------------------------------------------------------------------------------------
# Tolerances.


class FloatRaises:
    def __init__(self, exc: BaseException) -> None:
        self.exc = exc

    def __float__(self) -> float:
        raise self.exc


class FloatReturns:
    def __init__(self, value: object) -> None:
        self.value = value

    def __float__(self):
        return self.value


class IndexRaises:
    def __init__(self, exc: BaseException) -> None:
        self.exc = exc

    def __index__(self) -> int:
        raise self.exc


class IndexReturns:
    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self):
        return self.value


def _chained_type_error() -> TypeError:
    try:
        raise KeyError("inner")
    except KeyError as inner:
        try:
            raise TypeError("outer") from inner
        except TypeError as outer:
            return outer


raised = st.sampled_from(
    [
        ValueError("bad value"),
        OverflowError("too big"),
        ZeroDivisionError("zero"),
        KeyError("key"),
        ArithmeticError("arith"),
        RuntimeError("runtime"),
        UnicodeEncodeError("utf-8", "\udc80", 0, 1, "surrogates not allowed"),
        TypeError("plain type error"),
        _chained_type_error(),
        LookupError(),
    ]
)
wrong_values = st.one_of(
    st.text(max_size=3), st.none(), st.integers(), st.lists(st.none()), st.just(object())
)
tolerances = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(),
    st.integers(min_value=-(1 << 1100), max_value=1 << 1100),
    st.sampled_from([10**400, -(10**400), 1 << 1024, (1 << 1024) - 1, 2**53 + 1]),
    st.booleans(),
    st.text(max_size=5),
    st.none(),
    st.builds(FloatRaises, raised),
    st.builds(FloatReturns, st.one_of(st.floats(allow_nan=True), wrong_values)),
    st.builds(IndexRaises, raised),
    st.builds(IndexReturns, st.one_of(st.integers(), wrong_values)),
    st.lists(st.floats(), max_size=2),
    st.complex_numbers(),
    st.binary(max_size=3),
)


def expected_unitary(x: float) -> bool:
    return not math.isnan(x) and x >= THRESHOLD


def check_tolerance(tol: object) -> None:
    try:
        converted = math.ldexp(tol, 0)
    except BaseException as exc:  # noqa: BLE001 - the conversion's own verdict
        with pytest.raises(BaseException) as err:
            CKM.is_unitary(tol)
        got = err.value
        if type(exc) is TypeError:
            # Wrapped, with the original's cause carried over.
            assert type(got) is TypeError
            assert got.args == (f"argument 'tol': {exc}",)
            if isinstance(tol, (FloatRaises, IndexRaises)):
                assert got.__cause__ is tol.exc.__cause__
            else:
                assert got.__cause__ is None
        else:
            assert type(got) is type(exc)
            assert got.args == exc.args
            if isinstance(tol, (FloatRaises, IndexRaises)):
                assert got is tol.exc  # the very exception, unchanged
        return
    assert CKM.is_unitary(tol) is expected_unitary(converted)
    assert CKM.is_unitary(tol=tol) is expected_unitary(converted)


@SETTINGS
@given(tol=tolerances)
def test_any_tolerance(quiet, tol: object) -> None:
    check_tolerance(tol)
    quiet()


@SETTINGS
@given(tol=st.floats(allow_nan=True, allow_infinity=True))
def test_float_tolerances_follow_the_threshold(quiet, tol: float) -> None:
    assert CKM.is_unitary(tol) is expected_unitary(tol)
    if tol < 0 or math.isnan(tol):
        assert CKM.is_unitary(tol) is False
    quiet()


def test_tolerance_edges(quiet) -> None:
    assert CKM.is_unitary(math.inf) is True
    assert CKM.is_unitary(math.nan) is False
    assert CKM.is_unitary(-math.inf) is False
    assert CKM.is_unitary(-1) is False
    assert CKM.is_unitary(-5e-324) is False
    assert CKM.is_unitary(True) is CKM.is_unitary(1.0)
    assert CKM.is_unitary(False) is CKM.is_unitary(0.0)
    for huge in (10**400, -(10**400)):
        with pytest.raises(OverflowError) as err:
            CKM.is_unitary(huge)
        assert err.value.args == ("int too large to convert to float",)
    with pytest.raises(TypeError) as err:
        CKM.is_unitary("1e-9")
    assert err.value.args == ("argument 'tol': must be real number, not str",)
    with pytest.raises(TypeError) as err:
        CKM.is_unitary(None)
    assert err.value.args == ("argument 'tol': must be real number, not NoneType",)
    quiet()


class NoText:
    def __str__(self) -> str:
        raise LookupError("no text")


class CallsBack:
    def __str__(self) -> str:
        # Enters the module again while the module is building its own message.
        return f"called back: {core.py_list_quarks()[0]} {REGISTRY.get('b3')}"


def test_a_type_error_whose_text_runs_hostile_code(quiet, monkeypatch) -> None:
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    with pytest.raises(TypeError) as err:
        CKM.is_unitary(FloatRaises(TypeError(NoText())))
    assert err.value.args == ("argument 'tol': <unprintable TypeError object>",)
    assert [type(r.exc_value) for r in reports] == [LookupError]
    with pytest.raises(TypeError) as err:
        CKM.is_unitary(FloatRaises(TypeError(CallsBack())))
    assert err.value.args == ("argument 'tol': called back: bottom 24.0",)
    monkeypatch.undo()
    quiet()


# ---------------------------------------------------------------------------------------------
# Keywords. The binding rules, modelled independently: positionals first, then each keyword in
# the order given (a name matches by its UTF-8 bytes), then what is still missing.


def shown(key: str) -> str:
    """A name as the messages show it: str() of it, lone surrogates made U+FFFD."""
    return str(key).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def expected_binding(display: str, params: list[str], nargs: int, keys: list[str]) -> str | None:
    if nargs > len(params):
        was = "was" if nargs == 1 else "were"
        return f"{display} takes {len(params)} positional arguments but {nargs} {was} given"
    filled = [i < nargs for i in range(len(params))]
    for key in keys:
        try:
            text = text_of(key).encode("utf-8").decode("utf-8")
        except UnicodeEncodeError:
            text = None
        if text not in params:
            return f"{display} got an unexpected keyword argument '{shown(key)}'"
        i = params.index(text)
        if filled[i]:
            return f"{display} got multiple values for argument '{params[i]}'"
        filled[i] = True
    missing = [p for p, f in zip(params, filled, strict=True) if not f]
    if missing:
        return f"{display} missing 1 required positional argument: '{missing[0]}'"
    return None


# (display name, parameters, the callable, a value every parameter accepts, its success check)
CALLABLES = [
    (
        "py_get_constant()",
        ["name"],
        core.py_get_constant,
        "b3",
        lambda r: type(r) is dict and r["name"] == "b3",
    ),
    ("PyFormulasRegistry.get()", ["name"], REGISTRY.get, "b3", lambda r: r == 24.0),
    ("PyCKMMatrix.is_unitary()", ["tol"], CKM.is_unitary, 1.0, lambda r: r is True),
    (
        "PyFormulasRegistry.__new__()",
        [],
        core.PyFormulasRegistry,
        None,
        lambda r: type(r) is core.PyFormulasRegistry,
    ),
    (
        "PyQuarkRegistry.__new__()",
        [],
        core.PyQuarkRegistry,
        None,
        lambda r: type(r) is core.PyQuarkRegistry,
    ),
]

keyword_names = st.one_of(
    st.sampled_from(["name", "tol", "nme", "x", "Name", "name\0", "self", "kwargs", "é"]),
    st.text(any_char, min_size=1, max_size=8),
)
keyword_objects = st.one_of(keyword_names, keyword_names.map(PlainStr))


@SETTINGS
@given(
    which=st.integers(0, len(CALLABLES) - 1),
    nargs=st.integers(0, 3),
    keys=st.lists(keyword_objects, max_size=3, unique_by=text_of),
)
def test_any_keywords(quiet, which: int, nargs: int, keys: list[str]) -> None:
    display, params, function, value, success = CALLABLES[which]
    args = [value] * nargs
    kwargs = {k: value for k in keys}
    expected = expected_binding(display, params, nargs, list(kwargs))
    got = outcome(lambda: function(*args, **kwargs))
    if expected is None:
        assert got[0] == "ok", got
        assert success(got[1])
    else:
        assert got[0] == "raised"
        assert type(got[1]) is TypeError
        assert got[1].args == (expected,)
    quiet()


def test_keywords_are_matched_by_their_text_alone(quiet) -> None:
    # Every Python-level protocol of the key lies; the binding reads the text. The message
    # shows str() of an unexpected key, as the conventions say, and the parameter's own name
    # for a value given twice.
    assert REGISTRY.get(**{LoudStr("name"): "b3"}) == 24.0
    with pytest.raises(TypeError) as err:
        REGISTRY.get(**{LoudStr("nme"): "b3"})
    assert err.value.args == (
        "PyFormulasRegistry.get() got an unexpected keyword argument 'something else'",
    )
    with pytest.raises(TypeError) as err:
        REGISTRY.get("b3", **{LoudStr("name"): "b3"})
    assert err.value.args == ("PyFormulasRegistry.get() got multiple values for argument 'name'",)
    with pytest.raises(TypeError) as err:
        core.PyQuarkRegistry(**{"\ud800": 1})
    assert err.value.args == (
        "PyQuarkRegistry.__new__() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
    )
    quiet()


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text for you")


def test_a_keyword_whose_str_fails_is_reported_as_unraisable(quiet, monkeypatch) -> None:
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    key = Unprintable("nme")
    with pytest.raises(TypeError) as err:
        REGISTRY.get(**{key: "b3"})
    assert err.value.args == (
        "PyFormulasRegistry.get() got an unexpected keyword argument "
        "'<unprintable Unprintable object>'",
    )
    # The str() failure goes to the unraisable hook, and only there.
    assert len(reports) == 1
    assert type(reports[0].exc_value) is ValueError
    assert reports[0].exc_value.args == ("no text for you",)
    assert text_of(reports[0].object) == "nme"
    monkeypatch.undo()
    quiet()


NOT_TEXT_KEYS = [1, None, b"name", ("name",), 2.5, frozenset()]


@pytest.mark.parametrize(
    "function",
    [core.py_get_constant, REGISTRY.get, CKM.is_unitary, core.py_list_constants, CKM.jarlskog],
)
@pytest.mark.parametrize("key", NOT_TEXT_KEYS)
def test_keys_that_are_not_text_never_reach_the_functions(quiet, function, key) -> None:
    with pytest.raises(TypeError) as err:
        function(**{key: 1})
    assert err.value.args[0].endswith("keywords must be strings")
    quiet()


@pytest.mark.parametrize("cls", [core.PyFormulasRegistry, core.PyQuarkRegistry])
@pytest.mark.parametrize("key", NOT_TEXT_KEYS)
def test_keys_that_are_not_text_reach_the_constructors_and_match_nothing(quiet, cls, key) -> None:
    # A class call hands its keyword dict to the constructor unchecked.
    with pytest.raises(TypeError) as err:
        cls(**{key: 1})
    assert err.value.args == (
        f"{cls.__name__}.__new__() got an unexpected keyword argument '{key}'",
    )
    quiet()


class UnprintableKey:
    def __hash__(self) -> int:
        return 1

    def __str__(self) -> str:
        raise RuntimeError("no text")


def test_a_key_whose_str_fails_reaches_a_constructor(quiet, monkeypatch) -> None:
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    with pytest.raises(TypeError) as err:
        core.PyFormulasRegistry(**{UnprintableKey(): 1})
    assert err.value.args == (
        "PyFormulasRegistry.__new__() got an unexpected keyword argument "
        "'<unprintable UnprintableKey object>'",
    )
    assert [type(r.exc_value) for r in reports] == [RuntimeError]
    monkeypatch.undo()
    quiet()


@pytest.mark.parametrize("function", [core.py_get_constant, REGISTRY.get, CKM.is_unitary])
def test_a_keyword_given_twice_never_reaches_the_module(quiet, function) -> None:
    param = "tol" if function == CKM.is_unitary else "name"
    with pytest.raises(TypeError) as err:
        function(**{param: 1}, **{param: 2})
    assert f"got multiple values for keyword argument '{param}'" in err.value.args[0]
    quiet()


@pytest.mark.parametrize(
    "function, name",
    [
        (core.py_list_constants, "py_list_constants"),
        (core.py_list_quarks, "py_list_quarks"),
        (core.PyFormulasRegistry.version, "version"),
        (core.PyCKMMatrix.from_topology, "from_topology"),
        (CKM.jarlskog, "jarlskog"),
    ],
)
def test_callables_without_parameters_refuse_every_argument(quiet, function, name) -> None:
    with pytest.raises(TypeError) as err:
        function(1)
    assert "takes no arguments (1 given)" in err.value.args[0]
    with pytest.raises(TypeError) as err:
        function(x=1)
    assert "takes no keyword arguments" in err.value.args[0]
    quiet()


@SETTINGS
@given(
    args=st.lists(st.one_of(st.integers(), st.text(max_size=3), st.none()), max_size=3),
    keys=st.lists(keyword_names, max_size=3, unique=True),
)
def test_the_matrix_has_no_constructor(quiet, args, keys) -> None:
    with pytest.raises(TypeError) as err:
        core.PyCKMMatrix(*args, **{k: 1 for k in keys})
    assert err.value.args == ("No constructor defined for PyCKMMatrix",)
    quiet()


def test_no_internal_failure_escapes_any_of_this(quiet) -> None:
    # The internal-failure exception is reserved for broken invariants and exhausted memory;
    # none of the inputs above may produce it.
    for call in (
        lambda: core.py_get_constant(""),
        lambda: REGISTRY.get(""),
        lambda: core.py_get_constant("\0"),
        lambda: CKM.is_unitary(-0.0),
    ):
        got = outcome(call)
        assert not (got[0] == "raised" and isinstance(got[1], PANIC)), got
    quiet()


# ---------------------------------------------------------------------------------------------
# A hostile environment: whatever `json` the import machinery hands out answers the datasheet,
# and a class whose constructor is skipped still makes instances that are safe to use.


@pytest.fixture
def fake_json(monkeypatch):
    import json
    import types

    fake = types.ModuleType("json")
    monkeypatch.setitem(sys.modules, "json", fake)
    yield fake
    monkeypatch.setitem(sys.modules, "json", json)


def test_whatever_loads_returns_is_returned(quiet, fake_json) -> None:
    answer = object()
    texts = []

    def loads(text):
        texts.append(text)
        return answer

    fake_json.loads = loads
    before = sys.getrefcount(answer)
    for _ in range(1000):
        assert core.py_get_constant("b3") is answer
    assert sys.getrefcount(answer) == before
    assert texts[0] == (
        '{"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}'
    )
    quiet()


@pytest.mark.parametrize(
    "error", [ValueError("bad json"), KeyboardInterrupt(), TypeError("loads refused"), PANIC("x")]
)
def test_what_loads_raises_comes_out_unchanged(quiet, fake_json, error) -> None:
    def loads(text):
        raise error

    fake_json.loads = loads
    with pytest.raises(BaseException) as err:
        core.py_get_constant("b3")
    assert err.value is error
    quiet()


def test_a_json_without_loads_or_no_json_at_all(quiet, fake_json) -> None:
    with pytest.raises(AttributeError):
        core.py_get_constant("b3")
    sys.modules["json"] = None
    with pytest.raises(ImportError):
        core.py_get_constant("b3")
    quiet()


def test_loads_calling_back_into_the_module(quiet, fake_json) -> None:
    # Each level enters the module again from inside its own call, until the interpreter's
    # recursion limit ends it with RecursionError; every level then unwinds cleanly.
    depth = []

    def loads(text):
        depth.append(text)
        return core.py_get_constant("b3")

    fake_json.loads = loads
    with pytest.raises(RecursionError):
        core.py_get_constant("b3")
    assert len(depth) > 100
    quiet()


# Each route by which the module runs Python code that may call it again, recursing in a thread
# with a small stack, each level 32 KiB below the last (the interpreter's counts of levels stay
# far from their limits), after a level on the main thread (the stack's bounds are each
# thread's). Says which check refused: the module's, in the level whose room nears its margin,
# or the interpreter's, by its own message or a RecursionError that str() met.
SMALL_STACK = r"""
import sys, threading, types, _torvane_testhooks as hooks, orvantis._torvane_core as core
m, rooms, out, unraisable, PAD = core.PyCKMMatrix.from_topology(), [], [], set(), 32 << 10
def deeper(call):
    rooms.append(hooks.stack_check(0)[0])
    if threading.current_thread() is not threading.main_thread():
        return hooks.call_below(PAD, call)
class K(str):
    def __str__(self): return str(deeper(lambda: core.py_get_constant(**{K(): 1})))
class F:
    def __float__(self): return deeper(lambda: m.is_unitary(F()))
loads = lambda text: deeper(lambda: core.py_get_constant("b3"))
sys.modules["json"] = types.SimpleNamespace(loads=loads)
sys.unraisablehook = lambda u: unraisable.add(u.exc_type.__name__)
call = {"loads": lambda: core.py_get_constant("b3"), "float": lambda: m.is_unitary(F()),
        "str": lambda: core.py_get_constant(**{K(): 1})}[sys.argv[1]]
def run():
    try: call()
    except Exception as e: out[:] = [f"{type(e).__name__}: {e}"]
run(), rooms.clear(), out.clear(), unraisable.clear()
def who():
    margin = min(64 << 10, hooks.stack_check(0)[1] // 4)
    if "Stack overflow" in out[0] or "RecursionError" in unraisable: return "interpreter"
    return "module" if margin - 8192 <= rooms[-1] < margin + PAD + 16384 else "neither"
threading.stack_size(512 << 10)
(t := threading.Thread(target=lambda: run() or out.append(who()))).start(), t.join()
left = sorted(unraisable - {"TypeError", "RecursionError"})
print(len(rooms) > 5, out[1], *left, out[0], sep="|")
"""
# The module's own message, or the interpreter's "Stack overflow" (3.14 on, whose check comes
# first).
DEEP = ("RecursionError: maximum recursion depth exceeded", "RecursionError: Stack overflow")
# str() failing is reported as unraisable (a TypeError from the level below), and its stand-in
# names the type.
UNPRINTABLE = ("TypeError: py_get_constant() got an unexpected keyword argument "
               "'<unprintable K object>'",)  # fmt: skip


@pytest.mark.usefixtures("hooks")  # its child pads the stack through them
@pytest.mark.parametrize(
    ("route", "ending"), [("loads", DEEP), ("float", DEEP), ("str", UNPRINTABLE)]
)
def test_recursion_through_the_module_on_a_small_stack(route, ending) -> None:
    args = [sys.executable, "-c", SMALL_STACK, route]
    result = subprocess.run(args, capture_output=True, text=True, timeout=120)
    refusers = {"module"} | ({"interpreter"} if sys.version_info >= (3, 14) else set())
    said = result.stdout.split("|")
    assert len(said) == 3 and said[:2] in (["True", r] for r in refusers), result
    assert (result.returncode, said[2].startswith(ending)) == (0, True), said


SKIPPED_CONSTRUCTORS = r"""
import orvantis._torvane_core as core

def skipping(cls):
    # Once replaced, a class's own __new__ cannot be put back (CPython keeps calling the Python
    # level one), hence a process of its own.
    cls.__new__ = staticmethod(lambda c, *args, **kwargs: object.__new__(c))
    return cls()

registry = skipping(core.PyFormulasRegistry)
try:
    registry.get("b3")
except KeyError as e:
    missing = e.args
quarks = skipping(core.PyQuarkRegistry)
matrix = skipping(core.PyCKMMatrix)
print(len(registry), missing, len(quarks), matrix.jarlskog())
print([matrix.is_unitary(t) for t in (1e-9, 0.999, 1.0, float("inf"), float("nan"))])
del registry, quarks, matrix
print(core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"])
"""


def test_instances_made_without_their_constructor_are_safe() -> None:
    # The classes are mutable, as their flags say, so any caller can swap a class's __new__ for
    # object.__new__ and get instances whose value was never built. Their memory comes zero-
    # filled, and each wrapped value must read as an empty one, never as something it is not:
    # the zero matrix is as far from unitary as a matrix gets (V V^T = 0, not the identity).
    result = subprocess.run(
        [sys.executable, "-c", SKIPPED_CONSTRUCTORS], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.splitlines() == [
        "0 ('constant `b3` not found in registry',) 0 0.0",
        "[False, False, True, True, False]",
        "True",
    ]


# ---------------------------------------------------------------------------------------------
# The fuzzer's harness (fuzz/harness.py, which scripts/nox -s fuzz runs under libFuzzer): its
# one-input function over the committed seeds, without the fuzzer, so that the suite runs the
# harness and its oracle (fuzz/oracle.py) too; and the same with the oracle told one wrong
# thing, which some seed must then catch, so that a harness that checks nothing cannot pass.


@pytest.fixture(scope="module")
def fuzz_harness():
    from conftest import ROOT

    # The harness is a script beside the tests, not a package: its folder comes first on the
    # path while its modules load, as when it runs.
    sys.path.insert(0, str(ROOT / "fuzz"))
    try:
        harness = importlib.import_module("harness")
    finally:
        sys.path.remove(str(ROOT / "fuzz"))
    seeds = sorted((ROOT / "fuzz/corpus").iterdir())
    assert len(seeds) >= 20
    harness.SEEDS = [path.read_bytes() for path in seeds]
    return harness


def test_the_fuzzer_seeds_agree_with_its_oracle(quiet, fuzz_harness) -> None:
    for seed in fuzz_harness.SEEDS:
        fuzz_harness.one_input(seed)
    quiet()


@pytest.mark.parametrize(
    ("name", "wrong"),
    [
        ("CONSTANTS", {"b3": (24.0, "count", "Seed"), "phi": (1.618, "dimensionless", "Seed")}),
        ("FORMULAS_LENGTH", 16),
        ("QUARKS_LENGTH", 0),
        ("UNITARY_THRESHOLD", 1e-9),
        ("JARLSKOG", -0.0),
        ("VERSION", "0.0.0"),
        ("lenient", lambda text: text),
    ],
)
def test_the_fuzzer_seeds_catch_a_wrong_oracle(fuzz_harness, monkeypatch, name, wrong) -> None:
    if name == "CONSTANTS":
        wrong = {**fuzz_harness.oracle.CONSTANTS, **wrong}
    monkeypatch.setattr(fuzz_harness.oracle, name, wrong)
    with pytest.raises(fuzz_harness.Mismatch):
        for seed in fuzz_harness.SEEDS:
            fuzz_harness.one_input(seed)


# The oracle's own checks: each refuses an outcome the module must not give, so that a check
# weakened to pass anything fails here.
@pytest.mark.parametrize(
    ("call", "name", "datasheet_call"),
    [
        (lambda: 25.0, "b3", False),
        (lambda: 24, "b3", False),
        (lambda: 0.0, "b33", False),
        (lambda: {**core.py_get_constant("b3"), "value": 25.0}, "b3", True),
        (lambda: core.py_get_constant("b3"), "b33", True),
    ],
    ids=["wrong value", "not a float", "a value where KeyError is due", "wrong datasheet",
         "a datasheet where KeyError is due"],
)  # fmt: skip
def test_the_fuzzer_oracle_refuses_a_wrong_outcome(fuzz_harness, call, name, datasheet_call):
    expected = fuzz_harness.oracle.expect_lookup(name, datasheet_call=datasheet_call)
    with pytest.raises(fuzz_harness.Mismatch):
        fuzz_harness.check("the call", call, expected)


def near_miss_shape(made: bytes, name: bytes) -> str | None:
    extra = len(made) - len(name)
    if extra < 0 and name.startswith(made):
        return "a prefix"
    if extra == 0 and sum(a != b for a, b in zip(made, name, strict=True)) == 1:
        return "a byte changed"
    if extra > 0 and any(made[:i] + made[i + extra :] == name for i in range(len(name) + 1)):
        return "one or two bytes added" if extra <= 2 else "a longer name"
    return None


def test_the_fuzzer_mutator_makes_every_near_miss_of_a_name(fuzz_harness) -> None:
    # The mutator's names, from an input without any and libFuzzer's own mutation left out:
    # each shape of a near miss of a name that holds no other, the program left as it was.
    strategies = sys.modules["strategies"]
    program = fuzz_harness.SEEDS[0]
    shapes = set()
    for seed in range(3000):
        kept, names = strategies.split(strategies.mutate(program, 512, seed, lambda d, n: d))
        assert kept == program
        shapes.update(near_miss_shape(made, b"sterile_sector") for made in names)
    assert shapes - {None} == {
        "a prefix",
        "a byte changed",
        "one or two bytes added",
        "a longer name",
    }


def test_the_fuzzer_names_reach_the_module(fuzz_harness, monkeypatch) -> None:
    # Given a names section, a seed's texts are those names: an oracle that holds a "b3x" too
    # fails on some seed whose section holds "b3x", and on none whose section holds "b3".
    strategies = sys.modules["strategies"]
    more = {**fuzz_harness.oracle.CONSTANTS, "b3x": (1.0, "count", "Seed")}
    monkeypatch.setattr(fuzz_harness.oracle, "CONSTANTS", more)
    caught = set()
    for seed in fuzz_harness.SEEDS:
        for name in (b"b3x", b"b3"):
            try:
                fuzz_harness.one_input(strategies.join(seed, [name]))
            except fuzz_harness.Mismatch:
                caught.add(name)
    assert caught == {b"b3x"}


def test_the_fuzzer_dictionary_holds_the_module_names(fuzz_harness) -> None:
    from conftest import ROOT

    lines = (ROOT / "fuzz/names.dict").read_text().splitlines()
    words = [line[1:-1] for line in lines if line and not line.startswith("#")]
    names = core.py_list_constants() + core.py_list_quarks()
    assert words == names + sys.modules["strategies"].DICTIONARY_TOKENS
