"""Argument binding and conversion: every message on every callable that binds arguments."""

import ctypes
import sys

import pytest

from orvantis import _torvane_core as core

registry = core.PyFormulasRegistry()
ckm = core.PyCKMMatrix.from_topology()

# (display name, callable, parameter, a valid argument)
ONE_PARAMETER = [
    ("py_get_constant()", core.py_get_constant, "name", "b3"),
    ("PyFormulasRegistry.get()", registry.get, "name", "b3"),
    ("PyCKMMatrix.is_unitary()", ckm.is_unitary, "tol", 0.5),
]
ids = [c[0] for c in ONE_PARAMETER]


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(("display", "f", "param", "ok"), ONE_PARAMETER, ids=ids)
class TestBinding:
    def test_missing(self, display, f, param, ok):
        assert type_error(lambda: f()) == (
            f"{display} missing 1 required positional argument: '{param}'"
        )

    def test_too_many_positionals(self, display, f, param, ok):
        # "arguments" stays plural whatever the count.
        assert type_error(lambda: f(ok, ok)) == (
            f"{display} takes 1 positional arguments but 2 were given"
        )
        assert type_error(lambda: f(ok, ok, ok)) == (
            f"{display} takes 1 positional arguments but 3 were given"
        )

    def test_multiple_values(self, display, f, param, ok):
        assert type_error(lambda: f(ok, **{param: ok})) == (
            f"{display} got multiple values for argument '{param}'"
        )

        class Other(str):
            def __str__(self):
                return "other"

        # The message names the parameter, whatever str() of the keyword says.
        assert type_error(lambda: f(ok, **{Other(param): ok})) == (
            f"{display} got multiple values for argument '{param}'"
        )

    def test_unexpected_keyword_is_reported_before_the_missing_argument(
        self, display, f, param, ok
    ):
        assert type_error(lambda: f(nme=ok)) == (
            f"{display} got an unexpected keyword argument 'nme'"
        )
        # Keywords are checked in the order given.
        assert type_error(lambda: f(**{param: ok, "zz": 1, "aa": 2})) == (
            f"{display} got an unexpected keyword argument 'zz'"
        )

    def test_keyword_that_is_not_valid_text(self, display, f, param, ok):
        # A lone surrogate is reported leniently decoded, never as an encoding error.
        shown = "\udc80".encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        assert type_error(lambda: f(**{"\udc80": ok})) == (
            f"{display} got an unexpected keyword argument '{shown}'"
        )

    def test_keyword_form_equals_positional_form(self, display, f, param, ok):
        assert f(**{param: ok}) == f(ok)
        # A vectorcall may pass an empty tuple of keyword names rather than none.
        call, obj = ctypes.pythonapi.PyObject_Vectorcall, ctypes.py_object
        call.argtypes, call.restype = [obj, ctypes.POINTER(obj), ctypes.c_size_t, obj], obj
        assert call(f, (obj * 1)(ok), 1, ()) == f(ok)

    def test_failures_leave_the_callable_usable(self, display, f, param, ok):
        for bad in (lambda: f(), lambda: f(ok, ok), lambda: f(x=1)):
            with pytest.raises(TypeError):
                bad()
        assert f(ok) == f(ok)


@pytest.mark.parametrize("f", [core.py_get_constant, registry.get], ids=["py_get_constant", "get"])
class TestTextArgument:
    @pytest.mark.parametrize(
        ("value", "qualname"),
        [(5, "int"), (None, "NoneType"), (b"b3", "bytes"), (3.5, "float"), (["b3"], "list")],
    )
    def test_wrong_type(self, f, value, qualname):
        with pytest.raises(TypeError) as info:
            f(value)
        assert info.value.args == (
            f"argument 'name': '{qualname}' object cannot be converted to 'PyString'",
        )
        assert info.value.__cause__ is None

    def test_qualified_type_name(self, f):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError) as info:
            f(Outer.Inner())
        assert info.value.args == (
            "argument 'name': 'TestTextArgument.test_qualified_type_name.<locals>.Outer.Inner'"
            " object cannot be converted to 'PyString'",
        )

    def test_str_subclass_is_accepted(self, f):
        class Name(str):
            pass

        assert f(Name("phi")) == f("phi")

    def test_lone_surrogate_gives_the_encoding_error_unchanged(self, f):
        with pytest.raises(UnicodeEncodeError) as info:
            f("b3\ud800")
        assert type(info.value) is UnicodeEncodeError
        assert info.value.encoding == "utf-8"


class TestFloatArgument:
    def test_not_a_number(self):
        with pytest.raises(TypeError) as info:
            ckm.is_unitary("0.1")
        assert info.value.args == ("argument 'tol': must be real number, not str",)
        assert info.value.__cause__ is None

    def test_huge_int_overflows_unwrapped(self):
        with pytest.raises(OverflowError) as info:
            ckm.is_unitary(10**400)
        assert type(info.value) is OverflowError
        assert info.value.args == ("int too large to convert to float",)

    @pytest.mark.parametrize("tol", [True, 1, 0, 10**300])
    def test_ints_and_bools_convert(self, tol):
        assert ckm.is_unitary(tol) is True

    def test_minus_one_is_an_ordinary_value(self):
        assert ckm.is_unitary(-1) is False
        assert ckm.is_unitary(-1.0) is False

    def test_float_and_index_protocols(self):
        class F:
            def __float__(self):
                return 0.25

        class Index:
            def __index__(self):
                return 2

        class Sub(float):
            pass

        assert ckm.is_unitary(F()) is True
        assert ckm.is_unitary(Index()) is True
        assert ckm.is_unitary(Sub(-0.5)) is False

    def test_type_error_from_float_keeps_its_cause(self):
        root = ValueError("root")

        class Bad:
            def __float__(self):
                raise TypeError("no float here") from root

        with pytest.raises(TypeError) as info:
            ckm.is_unitary(Bad())
        assert info.value.args == ("argument 'tol': no float here",)
        assert info.value.__cause__ is root

    def test_float_returning_the_wrong_type_is_wrapped(self):
        class Bad:
            def __float__(self):
                return "x"

        with pytest.raises(TypeError) as info:
            ckm.is_unitary(Bad())
        # CPython's own message, which 3.15 words anew and with the class's full name.
        message = (
            f"{Bad.__module__}.{Bad.__qualname__}.__float__() must return a float, not str"
            if sys.version_info >= (3, 15)
            else "Bad.__float__ returned non-float (type str)"
        )
        assert info.value.args == (f"argument 'tol': {message}",)

    def test_other_exceptions_pass_unchanged(self):
        class Boom(ArithmeticError):
            pass

        class Bad:
            def __float__(self):
                raise Boom("kept")

        with pytest.raises(Boom) as info:
            ckm.is_unitary(Bad())
        assert info.value.args == ("kept",)

    def test_type_error_subclass_is_not_wrapped(self):
        class MyTypeError(TypeError):
            pass

        class Bad:
            def __float__(self):
                raise MyTypeError("mine")

        with pytest.raises(MyTypeError) as info:
            ckm.is_unitary(Bad())
        assert info.value.args == ("mine",)


@pytest.mark.parametrize(
    "cls", [core.PyFormulasRegistry, core.PyQuarkRegistry], ids=lambda c: c.__name__
)
class TestConstructors:
    def test_positional(self, cls):
        assert type_error(lambda: cls(1)) == (
            f"{cls.__name__}.__new__() takes 0 positional arguments but 1 was given"
        )
        assert type_error(lambda: cls(1, 2)) == (
            f"{cls.__name__}.__new__() takes 0 positional arguments but 2 were given"
        )

    def test_keyword(self, cls):
        assert type_error(lambda: cls(x=1)) == (
            f"{cls.__name__}.__new__() got an unexpected keyword argument 'x'"
        )

    def test_empty_keywords_are_fine(self, cls):
        assert len(cls(**{})) > 0


@pytest.mark.parametrize(
    ("f", "message"),
    [
        (
            core.py_list_constants,
            "orvantis._torvane_core.py_list_constants() takes no arguments (1 given)",
        ),
        (
            core.py_list_quarks,
            "orvantis._torvane_core.py_list_quarks() takes no arguments (1 given)",
        ),
        (
            core.PyFormulasRegistry.version,
            "PyFormulasRegistry.version() takes no arguments (1 given)",
        ),
        (
            core.PyCKMMatrix.from_topology,
            "PyCKMMatrix.from_topology() takes no arguments (1 given)",
        ),
        (ckm.jarlskog, "PyCKMMatrix.jarlskog() takes no arguments (1 given)"),
    ],
)
def test_no_argument_callables_are_rejected_by_the_interpreter(f, message):
    assert type_error(lambda: f(1)) == message


class OddName:
    pass


OddName.__qualname__ = "Odd\udc80Name"
ODD_SHOWN = "Odd\ufffd\ufffd\ufffdName"  # each byte of the surrogate's encoding


class OddKey(str):
    def __str__(self):
        raise LookupError("no text")


OddKey.__qualname__ = "Odd\udc80Name"


class TestTextsInMessages:
    @pytest.mark.parametrize("f", [core.py_get_constant, registry.get])
    def test_a_type_name_with_a_lone_surrogate(self, f):
        assert type_error(lambda: f(OddName())) == (
            f"argument 'name': '{ODD_SHOWN}' object cannot be converted to 'PyString'"
        )

    @pytest.mark.parametrize(
        ("display", "f"),
        [
            ("py_get_constant()", core.py_get_constant),
            ("PyFormulasRegistry.get()", registry.get),
            ("PyQuarkRegistry.__new__()", core.PyQuarkRegistry),
        ],
    )
    def test_the_unprintable_stand_in_with_a_lone_surrogate(self, monkeypatch, display, f):
        reports = []
        monkeypatch.setattr("sys.unraisablehook", reports.append)
        assert type_error(lambda: f(**{OddKey("nme"): 1})) == (
            f"{display} got an unexpected keyword argument '<unprintable {ODD_SHOWN} object>'"
        )
        assert [type(r.exc_value) for r in reports] == [LookupError]

    @pytest.mark.parametrize(
        "call",
        [lambda: core.py_get_constant(5), lambda: registry.get(None), lambda: ckm.is_unitary("x")],
        ids=["py_get_constant", "get", "is_unitary"],
    )
    def test_a_wrapped_argument_error_has_the_handled_exception_as_context(self, call):
        handled = KeyError("being handled")
        try:
            raise handled
        except KeyError:
            with pytest.raises(TypeError) as info:
                call()
        assert info.value.args[0].startswith("argument '")
        assert info.value.__context__ is handled
        assert info.value.__cause__ is None


class Stops(str):
    """A keyword, or the text of an error, whose str() is the user stopping the program."""

    stop: BaseException

    def __str__(self):
        raise self.stop


class Tol:
    def __init__(self, error: BaseException):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("stop_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "call",
    [
        lambda key: core.py_get_constant(**{key: 1}),
        lambda key: registry.get(**{key: 1}),
        lambda key: core.PyFormulasRegistry(**{key: 1}),
        lambda key: core.PyQuarkRegistry(**{key: 1}),
        lambda key: ckm.is_unitary(Tol(TypeError(key))),  # str() of the error to wrap
    ],
    ids=["py_get_constant", "get", "PyFormulasRegistry", "PyQuarkRegistry", "wrapping"],
)
def test_an_interrupt_while_a_message_is_built_comes_out_unchanged(monkeypatch, stop_type, call):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    key = Stops("nme")
    key.stop = stop_type()
    with pytest.raises(stop_type) as info:
        call(key)
    assert info.value is key.stop
    assert reports == []
