#!/usr/bin/env python3
"""A coverage-guided fuzzer for every entry point of `orvantis._torvane_core`: the driver.

Each input is a short program: a few calls of the module's functions, constructors, methods and
`len`, each with a mix of positional and keyword arguments (too few, too many, unknown, twice),
of every kind and hostile, made from the input's bytes by the input strategies
(fuzz/strategies.py), which also hold the fuzzer's mutator. Every call's outcome is compared with
the oracle (fuzz/oracle.py); a difference raises `Mismatch`, which the fuzzer reports as a
finding.

    python fuzz/harness.py [libFuzzer flags] [CORPUS...]   # fuzz (scripts/nox -s fuzz)
    python fuzz/harness.py --replay FILE...                 # run inputs once, no atheris

The seeds in fuzz/corpus are a few dozen inputs of a few bytes each that together reach
nearly every edge of the module that the fuzzer reaches: libFuzzer's merge (-merge=1
-merge_control_file=F) of a run's corpus, then the fewest files whose COV lines in F cover the
most edges, chosen greedily.
"""

from __future__ import annotations

import math
import sys
import warnings
from collections.abc import Callable
from typing import Any

import oracle
from oracle import Expect, Mismatch, binding, check, raises, tp_name, with_keys_checked
from strategies import (
    STATE,
    Outer,
    PlainProvider,
    Reader,
    a_key,
    a_name,
    a_tolerance,
    an_exception,
    mutate,
    split,
)

from orvantis import _torvane_core as core

# ---------------------------------------------------------------------------------------------
# Calls.


def arguments(
    r: Reader, params: list[str], valid: Callable[[], object], constructor: bool = False
) -> tuple[list[object], dict[Any, object]]:
    nargs = r.pick([0, 1, 1, 1, 2, 3]) if params else r.pick([0, 0, 0, 1, 2])
    args = [valid() for _ in range(nargs)]
    kwargs: dict[Any, object] = {}
    for _ in range(r.pick([0, 0, 0, 1, 1, 2, 3])):
        kwargs[a_key(r, params, constructor)] = valid()
    return args, kwargs


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
        0: Expect(
            ok=lambda got: type(got) is list and got == oracle.CONSTANT_NAMES, what="the names"
        ),
        1: Expect(ok=lambda got: type(got) is list and got == oracle.QUARKS, what="the quarks"),
        2: Expect(ok=lambda got: type(got) is str and got == oracle.VERSION, what=oracle.VERSION),
        3: Expect(ok=lambda got: type(got) is core.PyCKMMatrix, what="a matrix"),
        4: Expect(
            ok=lambda got: (
                type(got) is float
                and got == oracle.JARLSKOG
                and math.copysign(1, got) == math.copysign(1, oracle.JARLSKOG)
            ),
            what=repr(oracle.JARLSKOG),
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
        name = (
            args[0] if args else next(v for k, v in kwargs.items() if oracle.text_of(k) == "name")
        )
        return oracle.expect_lookup(name, datasheet_call=datasheet_call)

    check(display, lambda: f(*args, **kwargs), with_keys_checked(list(kwargs), expect))


def unitary_call(r: Reader) -> None:
    display = "PyCKMMatrix.is_unitary()"
    method = registry_of("ckm", r).is_unitary
    args, kwargs = arguments(r, ["tol"], lambda: a_tolerance(r))

    def expect() -> Expect:
        failed = binding(display, ["tol"], len(args), list(kwargs))
        if failed is not None:
            return failed
        tol = args[0] if args else next(v for k, v in kwargs.items() if oracle.text_of(k) == "tol")
        return oracle.expect_unitary(tol)

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
    length = oracle.FORMULAS_LENGTH if kind == "formulas" else oracle.QUARKS_LENGTH
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
    name = r.pick(oracle.CONSTANT_NAMES)
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
            expect = oracle.expect_lookup(name, datasheet_call=True)
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
    if mode == 0 and texts != [oracle.datasheet_text(name)]:
        raise Mismatch(
            f"the datasheet text of {name!r}: {texts!r}, expected {oracle.datasheet_text(name)!r}"
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
    program, names = split(data)
    r = Reader(provider(program), names)
    STATE.clear()
    oracle.CALLBACK_FAILURES.clear()
    with warnings.catch_warnings():
        # The interpreter's deprecation of float and int subclasses returned by __float__ and
        # __index__: ignored, or an error that must come out unchanged.
        warnings.simplefilter("error" if r.flag() else "ignore", DeprecationWarning)
        for _ in range(1 + r.below(6)):
            if r.p.remaining_bytes() == 0:
                break
            one_call(r)
    STATE.clear()
    if core.py_list_quarks() != oracle.QUARKS:
        raise Mismatch("the module stopped working")


try:
    import atheris

    PROVIDER: Callable[[bytes], Any] = atheris.FuzzedDataProvider
except ImportError:  # the ordinary test suite
    atheris = None
    PROVIDER = PlainProvider


def mutate_with_libfuzzer(data: bytes, max_size: int, seed: int) -> bytes:
    return mutate(data, max_size, seed, atheris.Mutate)


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
    atheris.Setup(argv, one_input, custom_mutator=mutate_with_libfuzzer)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
