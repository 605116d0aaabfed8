"""Signatures and help: what inspect and pydoc make of the module's text signatures."""

import inspect
import pydoc

import pytest
from conftest import installed_version

from orvantis import _torvane_core as core

P = inspect.Parameter
SELF = ("self", P.POSITIONAL_ONLY)  # "$self" in a text signature: bound, never passed by name


def described(obj: object) -> list[tuple[str, object]]:
    return [(p.name, p.kind) for p in inspect.signature(obj).parameters.values()]


# (what, object, raw __text_signature__, parameters as inspect reports them)
CALLABLES = [
    ("py_list_constants", core.py_list_constants, "()", []),
    ("py_list_quarks", core.py_list_quarks, "()", []),
    ("py_get_constant", core.py_get_constant, "(name)", [("name", P.POSITIONAL_OR_KEYWORD)]),
    ("PyFormulasRegistry()", core.PyFormulasRegistry, "()", []),
    ("PyQuarkRegistry()", core.PyQuarkRegistry, "()", []),
    (
        "PyFormulasRegistry.get",
        core.PyFormulasRegistry.get,
        "($self, name)",
        [SELF, ("name", P.POSITIONAL_OR_KEYWORD)],
    ),
    ("PyFormulasRegistry.version", core.PyFormulasRegistry.version, "()", []),
    ("PyCKMMatrix.from_topology", core.PyCKMMatrix.from_topology, "()", []),
    (
        "PyCKMMatrix.is_unitary",
        core.PyCKMMatrix.is_unitary,
        "($self, tol)",
        [SELF, ("tol", P.POSITIONAL_OR_KEYWORD)],
    ),
    ("PyCKMMatrix.jarlskog", core.PyCKMMatrix.jarlskog, "($self)", [SELF]),
]


@pytest.mark.parametrize(
    ("obj", "text", "parameters"),
    [pytest.param(obj, text, params, id=what) for what, obj, text, params in CALLABLES],
)
def test_signature(obj: object, text: str, parameters: list[tuple[str, object]]) -> None:
    assert obj.__text_signature__ == text
    sig = inspect.signature(obj)
    assert described(obj) == parameters
    # Nothing is optional and nothing is annotated: the text signatures carry names only.
    for p in sig.parameters.values():
        assert p.default is P.empty
        assert p.annotation is P.empty
    assert sig.return_annotation is inspect.Signature.empty


# Bound methods drop self; static methods read the same through an instance.
@pytest.mark.parametrize(
    ("obj", "parameters"),
    [
        pytest.param(
            core.PyFormulasRegistry().get, [("name", P.POSITIONAL_OR_KEYWORD)], id="registry.get"
        ),
        pytest.param(core.PyFormulasRegistry().version, [], id="registry.version"),
        pytest.param(
            core.PyCKMMatrix.from_topology().is_unitary,
            [("tol", P.POSITIONAL_OR_KEYWORD)],
            id="ckm.is_unitary",
        ),
        pytest.param(core.PyCKMMatrix.from_topology().jarlskog, [], id="ckm.jarlskog"),
        pytest.param(core.PyCKMMatrix.from_topology().from_topology, [], id="ckm.from_topology"),
    ],
)
def test_signature_through_an_instance(obj: object, parameters: list[tuple[str, object]]) -> None:
    assert described(obj) == parameters


def test_signatures_bind_like_the_calls() -> None:
    # A signature that binds a call the module rejects (or the reverse) would mislead tools.
    inspect.signature(core.py_get_constant).bind(name="b3")
    inspect.signature(core.py_get_constant).bind("b3")
    with pytest.raises(TypeError):
        inspect.signature(core.py_get_constant).bind("b3", "b3")
    ckm = core.PyCKMMatrix.from_topology()
    assert ckm.is_unitary(*inspect.signature(ckm.is_unitary).bind(tol=0.0).args) is True
    with pytest.raises(TypeError):
        inspect.signature(core.PyFormulasRegistry).bind(1)


@pytest.mark.parametrize("cls", [core.PyFormulasRegistry, core.PyQuarkRegistry])
def test_len_is_a_plain_slot(cls: type) -> None:
    assert described(cls.__len__) == [SELF]


def test_ckm_matrix_has_no_constructor_signature() -> None:
    assert core.PyCKMMatrix.__text_signature__ is None
    # With no signature of its own, inspect must not invent "()" for a class that cannot be
    # called.
    with pytest.raises(ValueError, match="no signature found"):
        inspect.signature(core.PyCKMMatrix)


@pytest.fixture(scope="module")
def help_text() -> str:
    return pydoc.render_doc(core, renderer=pydoc.plaintext)


def first_line(obj: object) -> str:
    doc = obj.__doc__
    assert doc, f"{obj!r} has no docstring"
    return doc.splitlines()[0]


DOCUMENTED = [
    core,
    core.PyFormulasRegistry,
    core.PyFormulasRegistry.get,
    core.PyFormulasRegistry.version,
    core.PyQuarkRegistry,
    core.PyCKMMatrix,
    core.PyCKMMatrix.from_topology,
    core.PyCKMMatrix.is_unitary,
    core.PyCKMMatrix.jarlskog,
    core.py_list_constants,
    core.py_list_quarks,
    core.py_get_constant,
]


@pytest.mark.parametrize("obj", DOCUMENTED, ids=lambda o: getattr(o, "__qualname__", "module"))
def test_help_shows_first_docstring_line(help_text: str, obj: object) -> None:
    assert first_line(obj) in help_text


@pytest.mark.parametrize(
    "shown",
    [
        "class PyFormulasRegistry(object)",
        "class PyQuarkRegistry(object)",
        "class PyCKMMatrix(object)",
        "get(self, /, name)",
        "version()",
        "from_topology()",
        "is_unitary(self, /, tol)",
        "jarlskog(self, /)",
        "py_list_constants()",
        "py_list_quarks()",
        "py_get_constant(name)",
        f"VERSION\n    {installed_version()}",
    ],
)
def test_help_shows_every_member(help_text: str, shown: str) -> None:
    assert shown in help_text


def test_help_of_each_class_names_its_methods() -> None:
    for cls, methods in [
        (core.PyFormulasRegistry, ["__len__", "get", "version"]),
        (core.PyQuarkRegistry, ["__len__"]),
        (core.PyCKMMatrix, ["from_topology", "is_unitary", "jarlskog"]),
    ]:
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        assert first_line(cls) in text
        for name in methods:
            assert f"{name}(" in text, (cls, name)
