"""The module object: attributes, their order, docstrings, exports, re-import and
sub-interpreters."""

import os
import shutil
import subprocess
import sys

import pytest
from conftest import MODULE_ALL, SUBINTERPRETERS, installed_version, run_python
from packaging.version import Version

from orvantis import _torvane_core as core


def test_all_and_version():
    assert core.__all__ == MODULE_ALL
    assert type(core.__all__) is list
    assert type(core.__version__) is str
    # The compiled-in version is the installed distribution's, spelled as the packaging tools
    # spell it: the metadata keeps a tag-style "v2.2.1" as written, the wheel's name does not.
    assert core.__version__ == installed_version() == str(Version(core.__version__))


def test_dictionary_order_follows_the_add_order():
    # The module's own entries, then __all__, then the seven attributes; the loader adds
    # __file__ after the init entry returns.
    assert list(vars(core)) == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__all__",
        *MODULE_ALL,
        "__file__",
    ]


def test_module_docstring_and_name():
    assert core.__name__ == "orvantis._torvane_core"
    first, second = core.__doc__.split(". ", 1)
    assert "entry point" in first.lower() and "binding layer" in first
    assert second == "Wired as `orvantis._torvane_core`."


DOCS = {
    "py_list_constants": (
        "()",
        "Accelerated twin of `orvantis.list_constants`.\n\n"
        "Returns all known constant names from the FormulasRegistry.",
    ),
    "py_list_quarks": (
        "()",
        "Accelerated twin of `orvantis.list_quarks`.\n\n"
        "Returns all SM quark names from the QuarkRegistry.",
    ),
    "py_get_constant": (
        "(name)",
        "Accelerated twin of `orvantis.Get` for the constants branch.\n\n"
        "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
        "`uncertainty`, and `status` fields \u2014 matching the Python constant\n"
        "datasheet schema so callers don't need to branch.\n\n"
        "Raises `PyKeyError` when `name` is not in the registry.",
    ),
}


@pytest.mark.parametrize("name", list(DOCS))
def test_function_objects(name):
    f = getattr(core, name)
    signature, doc = DOCS[name]
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc
    assert f.__self__ is core
    assert f.__module__ == "orvantis._torvane_core"
    assert f.__name__ == name
    assert type(f).__name__ == "builtin_function_or_method"


# The module's own native heap blocks a call asks for (the interpreter's are not counted): the
# listings and the datasheet keep their registry on the stack, a registry object inside itself.
@pytest.mark.parametrize(
    ("call", "blocks"),
    [("py_list_constants()", 0), ("py_list_quarks()", 0), ("py_get_constant('b3')", 0),
     ("PyFormulasRegistry()", 0), ("PyQuarkRegistry()", 0)],
)  # fmt: skip
def test_native_heap_blocks_per_call(hooks, call, blocks):
    fn = eval(f"lambda: core.{call}")  # noqa: S307 - the module's own calls, written above
    fn()  # what a first call sets up once is not counted
    try:
        counted, slots = hooks.native_allocations(core.__file__, fn, 100)
    except NotImplementedError as unsupported:  # an architecture the hook cannot patch
        # Every architecture of the project's own runs (TORVANE_REQUIRE_HOOKS) must be counted.
        if os.environ.get("TORVANE_REQUIRE_HOOKS") == "1":
            raise
        pytest.skip(str(unsupported))
    assert (counted, slots > 0) == (100 * blocks, True)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_the_library_exports_only_its_init_entry():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    # A coverage build (scripts/nox -s coverage-3.14d) also shares gcov's list of objects and its
    # file buffer, and its preloaded shim must take the calls that end a process unwritten.
    coverage = ["__gcov_master", "__gcov_var"] if os.environ.get("TORVANE_COVERAGE") else []
    assert symbols == ["PyInit__torvane_core", *coverage]
    if coverage:
        shim = os.environ["LD_PRELOAD"].split(":")[0]
        out = subprocess.run(["nm", "-D", "--defined-only", shim], capture_output=True, text=True)
        assert {"_exit", "abort"} <= set(out.stdout.split())


def test_reimport_returns_the_cached_module():
    r = run_python(
        """
        import sys, importlib
        from orvantis import _torvane_core as first
        first_all = first.__all__
        del sys.modules["orvantis._torvane_core"]
        second = importlib.import_module("orvantis._torvane_core")
        assert second is first
        assert second.__all__ is first_all and len(second.__all__) == 7
        assert second.py_list_quarks()[0] == "bottom"
        print("ok")
        """
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")


SUBINTERPRETER_IMPORT = (
    SUBINTERPRETERS
    + """
def import_in_subinterpreter(isolated):
    return run_in_subinterpreter("import orvantis._torvane_core", isolated) or "imported"
"""
)

REFUSED = "<class 'ImportError'>: _torvane_core does not support sub-interpreters"
# Once the module is loaded, an isolated interpreter refuses it from the import machinery's
# cache; before that, 3.12 runs the init entry first, and the module's own guard answers.
ISOLATED_REFUSED = (
    "<class 'ImportError'>: module orvantis._torvane_core does not support loading in"
    " subinterpreters"
)


def test_sub_interpreters_are_refused_and_the_main_module_keeps_working():
    r = run_python(
        SUBINTERPRETER_IMPORT
        + """
from orvantis import _torvane_core as core
print(import_in_subinterpreter(True))
print(import_in_subinterpreter(False))
assert len(core.PyFormulasRegistry()) == 17
assert core.py_get_constant("b3")["value"] == 24.0
"""
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [ISOLATED_REFUSED, REFUSED]


def test_an_import_without_room_for_the_exit_function_is_refused():
    # The interpreter's table of exit functions filled with one of its own, harmless at exit.
    r = run_python(
        """
import ctypes
ctypes.pythonapi.Py_AtExit.argtypes = [ctypes.c_void_p]
harmless = ctypes.cast(ctypes.pythonapi.Py_IsInitialized, ctypes.c_void_p)
while ctypes.pythonapi.Py_AtExit(harmless) == 0:
    pass
try:
    from orvantis import _torvane_core
except ImportError as e:
    print(e)
"""
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["_torvane_core cannot register its interpreter-exit function"]


def test_a_sub_interpreter_first_does_not_take_the_module_from_the_main_one():
    r = run_python(
        SUBINTERPRETER_IMPORT
        + """
print(import_in_subinterpreter(True))
print(import_in_subinterpreter(False))
from orvantis import _torvane_core as core
print(core.py_list_quarks()[0])
"""
    )
    assert r.returncode == 0, r.stderr
    # Before the module is loaded, 3.12 runs the init entry for an isolated interpreter and the
    # module's guard answers; 3.13 refuses it itself, in its own words, before the entry runs.
    first = (
        REFUSED
        if sys.version_info < (3, 13)
        else "<class 'ImportError'>: module _torvane_core does not support loading in"
        " subinterpreters"
    )
    assert r.stdout.splitlines() == [first, REFUSED, "bottom"]


def test_ordinary_calls_write_nothing_to_stderr():
    r = run_python(
        """
        from orvantis import _torvane_core as core
        registry = core.PyFormulasRegistry()
        for name in core.py_list_constants():
            registry.get(name)
            core.py_get_constant(name)
        core.py_list_quarks()
        len(core.PyQuarkRegistry())
        m = core.PyCKMMatrix.from_topology()
        m.is_unitary(0.0), m.jarlskog(), core.PyFormulasRegistry.version()
        for bad in (lambda: registry.get("nope"), lambda: core.py_get_constant(""),
                    lambda: core.py_get_constant(5), lambda: m.is_unitary("x"),
                    lambda: core.PyCKMMatrix(), lambda: core.py_get_constant("\\ud800")):
            try:
                bad()
            except Exception:
                pass
        """
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
