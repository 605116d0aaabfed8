"""The three classes as Python sees them: names, docstrings, flags, methods, constructors and
the lifetime of instances."""

import ctypes
import sys
import weakref

import pytest

from orvantis import _torvane_core as core

CLASSES = [core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix]
BASETYPE = 1 << 10
HAVE_GC = 1 << 14
HEAPTYPE = 1 << 9


def instance(cls):
    return cls.from_topology() if cls is core.PyCKMMatrix else cls()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
class TestCommon:
    def test_names(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert cls.__bases__ == (object,)

    def test_flags(self, cls):
        assert cls.__flags__ & HEAPTYPE
        assert not cls.__flags__ & BASETYPE
        assert not cls.__flags__ & HAVE_GC

    def test_cannot_be_subclassed(self, cls):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})

    def test_no_dict_and_no_weak_references(self, cls):
        obj = instance(cls)
        with pytest.raises(AttributeError):
            obj.__dict__  # noqa: B018
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    def test_instances_release_their_type(self, cls):
        before = sys.getrefcount(cls)
        objs = [instance(cls) for _ in range(1000)]
        assert sys.getrefcount(cls) == before + 1000
        del objs
        assert sys.getrefcount(cls) == before


@pytest.mark.parametrize(
    ("cls", "signature", "doc"),
    [
        (core.PyFormulasRegistry, "()", "Python wrapper for [`FormulasRegistry`]."),
        (core.PyQuarkRegistry, "()", "Python wrapper for [`QuarkRegistry`]."),
        (core.PyCKMMatrix, None, "Python wrapper for [`CKMMatrix`]."),
    ],
)
def test_class_docstrings(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


@pytest.mark.parametrize(
    ("cls", "methods"),
    [
        (core.PyFormulasRegistry, ["get", "version"]),
        (core.PyQuarkRegistry, []),
        (core.PyCKMMatrix, ["from_topology", "is_unitary", "jarlskog"]),
    ],
)
def test_method_tables(cls, methods):
    own = [k for k in vars(cls) if not k.startswith("__")]
    assert own == methods


METHOD_DOCS = [
    (core.PyFormulasRegistry, "get", "($self, name)", "Retrieve the numeric value for `name`."),
    (core.PyFormulasRegistry, "version", "()", "Library-version round-trip helper."),
    (core.PyCKMMatrix, "from_topology", "()", "Build the CKM matrix from the underlying topology."),
    (core.PyCKMMatrix, "is_unitary", "($self, tol)",
     "`True` when the matrix is unitary within `tol`."),
    (core.PyCKMMatrix, "jarlskog", "($self)", "CP-violation Jarlskog invariant J."),
]  # fmt: skip


@pytest.mark.parametrize(("cls", "name", "signature", "doc"), METHOD_DOCS)
def test_method_docstrings(cls, name, signature, doc):
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_static_methods():
    assert isinstance(vars(core.PyFormulasRegistry)["version"], staticmethod)
    assert isinstance(vars(core.PyCKMMatrix)["from_topology"], staticmethod)
    m = core.PyCKMMatrix.from_topology()
    assert type(m.from_topology()) is core.PyCKMMatrix


@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {}), ((1,), {"a": 2}), ((), {"x": 1}), ((1, 2, 3), {})]
)
def test_ckm_matrix_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        core.PyCKMMatrix(*args, **kwargs)
    assert info.value.args == ("No constructor defined for PyCKMMatrix",)
    with pytest.raises(TypeError):
        core.PyCKMMatrix.__new__(core.PyCKMMatrix)


def test_len_goes_through_the_mapping_slot():
    assert core.PyFormulasRegistry.__len__(core.PyFormulasRegistry()) == 17
    assert core.PyQuarkRegistry.__len__(core.PyQuarkRegistry()) == 6
    with pytest.raises(TypeError):
        core.PyFormulasRegistry.__len__(core.PyQuarkRegistry())
    assert not hasattr(core.PyCKMMatrix, "__len__")


def test_objects_inherit_identity_semantics():
    a, b = core.PyFormulasRegistry(), core.PyFormulasRegistry()
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<builtins.PyFormulasRegistry object at 0x")


# The method descriptors refuse a self of another type before the module is entered, so these
# call the C functions behind them (their PyMethodDef, or a slot wrapper's function) directly.
P = ctypes.sizeof(ctypes.c_void_p)
ARGS = (ctypes.py_object * 1)(1e-9)
CALLS = {  # the C signature and the arguments after self
    "get": (ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p),
    "is_unitary": (ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p),
    "jarlskog": (ctypes.py_object, ctypes.c_void_p),
    "__len__": (ctypes.c_ssize_t,),
}


@pytest.mark.parametrize("self", [5, None], ids=["int", "NULL"])
@pytest.mark.parametrize(
    ("cls", "name"),
    [
        (core.PyFormulasRegistry, "get"),
        (core.PyFormulasRegistry, "__len__"),
        (core.PyQuarkRegistry, "__len__"),
        (core.PyCKMMatrix, "is_unitary"),
        (core.PyCKMMatrix, "jarlskog"),
    ],  # fmt: skip
)
def test_a_self_of_another_type_is_refused(cls, name, self):
    descriptor = cls.__dict__[name]
    # After the descriptor's type, name and qualified name: a method's PyMethodDef (its function
    # next to its name), or a slot wrapper's table entry, then its function.
    fields = id(descriptor) + object.__basicsize__ + 3 * P
    at = fields + P if name == "__len__" else ctypes.c_void_p.from_address(fields).value + P
    pointer = ctypes.c_void_p.from_address(at)
    restype, *rest = CALLS[name]
    function = ctypes.PYFUNCTYPE(restype, ctypes.c_void_p, *rest)(pointer.value)
    extra = (ctypes.addressof(ARGS), 1, None) if len(rest) == 3 else (None,) * len(rest)
    with pytest.raises(TypeError) as info:
        function(None if self is None else id(self), *extra)
    kind = "NoneType" if self is None else "int"
    assert info.value.args == (f"'{kind}' object cannot be converted to '{cls.__name__}'",)
