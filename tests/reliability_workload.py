"""Every entry point of orvantis._torvane_core, on its success path and on each of its failure
paths, as named calls that know their own expected outcome.

The leak loops, the allocation-failure sweeps and the memory checker all drive the module through
this one table, so a path added here is measured, swept and checked everywhere at once.

Run as a script (always in a fresh interpreter; each mode prints one JSON document on stdout):

    reliability_workload.py run [ROUNDS] [--sweep] [--exit-now]
                                             every path ROUNDS times (default 3), each outcome
                                             checked; with --sweep also one allocation-failure
                                             sweep of every path; with --exit-now the process
                                             ends without finalising the interpreter. What
                                             scripts/nox -s memcheck runs under valgrind.
    reliability_workload.py list             the paths
    reliability_workload.py import-sweep MODE DIR [--exit-now]
                                             one injected allocation failure at every point of
                                             the module's import, each in a forked child
    reliability_workload.py leak PATH CALLS  resident memory, allocated blocks, traced memory and
                                             reference counts around CALLS calls of one path
    reliability_workload.py nomemory PATH    one injected allocation failure at every point of
                                             one path's run, until a run sees none
"""

from __future__ import annotations

import gc
import json
import math
import os
import re
import signal
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import partial

# ---------------------------------------------------------------------------------------------
# The import under injected allocation failures. It must start in an interpreter that has never
# loaded the module, so it comes before the module's import below and leaves through
# `import_sweep_main` when asked for.

IMPORT_MAX_POINTS = 20_000

# Allocated after the call: when the call made fewer than k allocations, the k-th one falls
# among these probes and raises MemoryError, which tells the sweep it has gone past the call.
PROBES = (None,) * 64


def _attempt(call: Callable[[], object], k: int, set_nomemory, remove_mem_hooks):
    # This frame's object exists before the hook is set, so an exception reaching this frame
    # needs no new frame object: the interpreter can lose an exception when making one fails.
    sys._getframe()
    result = exc = None
    set_nomemory(k, k + 1)
    try:
        result = call()
    except BaseException as raised:  # noqa: BLE001 - every outcome is classified
        exc = raised
    try:
        for _ in PROBES:
            object()
    except MemoryError:
        complete = True
    else:
        complete = False
    remove_mem_hooks()
    return result, exc, complete


def _import_child(k: int, load: Callable[[], object]) -> dict:
    import _testcapi

    _, exc, complete = _attempt(load, k, _testcapi.set_nomemory, _testcapi.remove_mem_hooks)
    report: dict = {"k": k, "complete": complete, "error": None}
    if exc is not None:
        cause = exc.__cause__
        report.update(
            error=type(exc).__qualname__,
            error_module=type(exc).__module__,
            args=[str(a) for a in exc.args],
            cause=None
            if cause is None
            else [type(cause).__qualname__, [str(a) for a in cause.args]],
        )
    del exc
    # The same process imports the module again, and it works.
    sys.modules.pop("orvantis._torvane_core", None)
    import orvantis._torvane_core as module

    again = __import__("orvantis._torvane_core", fromlist=["py_list_quarks"])
    registry = module.PyFormulasRegistry()
    # A class whose creation failed half-way is garbage in a reference cycle, not yet collected.
    gc.collect()
    report["second"] = {
        "same": again is module,
        "all": module.__all__,
        "quarks": module.py_list_quarks(),
        "b3": registry.get("b3"),
        "len": [len(registry), len(module.PyQuarkRegistry())],
        "sheet": module.py_get_constant("b3"),
        "unitary": module.PyCKMMatrix.from_topology().is_unitary(1e-9),
        "panic_classes": sum(
            1 for c in BaseException.__subclasses__() if c.__module__ == "native_runtime"
        ),
    }
    return report


# How a crash ends a child: a release build reads through a bad pointer; a debug build's
# assertions abort first.
CRASH_SIGNALS = (signal.SIGSEGV, signal.SIGABRT)

# The frames of a native stack as gdb prints them: "#3  0x... in name (args) at file:line",
# "#3  name (args) at ..." for an inlined frame, "#3  0x... in ?? () from /lib/x.so".
_GDB_FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(\S+) \(.*?\)(?: (?:at|from) (\S+))?\s*$")


def _gdb_frames(args: list[str]) -> list[str]:
    """The native stack ("function file-or-library" per frame, innermost first) of the crash
    that gdb, run with `args`, shows; empty when gdb is missing or saw no crash."""
    import shutil
    import subprocess

    gdb = shutil.which("gdb")
    if gdb is None:
        return []
    out = subprocess.run(
        [gdb, "-batch", "-nx", *args, "-ex=bt"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=120,
    ).stdout
    if not any(f"signal {sig.name}" in out for sig in CRASH_SIGNALS):
        return []
    lines = out.splitlines()
    # gdb names the crashing frame once when it stops and again at the top of the stack.
    top = max(i for i, line in enumerate(lines) if line.startswith("#0 "))
    return [f"{m[1]} {m[2] or ''}".strip() for line in lines[top:] if (m := _GDB_FRAME.match(line))]


def _crash_frames(k: int, load: Callable[[], object], scratch: str) -> list[str]:
    """The native stack at the crash of failure point k: from the core the child left in
    `scratch`, or else from gdb attached to a fresh child that meets the same point (which
    need not crash again: some of these crashes read memory that was never written)."""
    core_file = os.path.join(scratch, "core")
    if os.path.exists(core_file):
        try:
            return _gdb_frames([sys.executable, core_file])
        finally:
            os.unlink(core_file)
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        os.kill(os.getpid(), signal.SIGSTOP)
        try:
            _import_child(k, load)
        finally:
            os._exit(0)
    os.waitpid(pid, os.WUNTRACED)
    try:
        # The child's own stop is passed over; the run goes on to the crash.
        return _gdb_frames(
            ["-p", str(pid), "-ex=handle SIGSTOP nostop noprint nopass", "-ex=continue"]
        )
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


def crashed_in_interpreter(frames: list[str]) -> bool:
    """Whether a crash seen by gdb is the interpreter's own: no frame of its stack is code of
    the module (a frame of it names the module's source or its library, whether or not the
    interpreter has symbols). CPython 3.13.0, 3.14.10 and 3.15.2 crash so at a few points of
    the import: while recording the module after its init entry has returned
    (`_extensions_cache_set` hashes the NULL it got for a key, and a debug build's
    `import_run_extension` asserts that no exception is set; the error paths of
    `import_run_extension` and `finish_singlephase_extension` read through a null pointer),
    and in the import statement's Python machinery (`initialize_locals` when a frame's set-up
    fails, `PyFunction_NewWithQualName` taking a reference to a NULL)."""
    return bool(frames) and not any("torvane" in f for f in frames)


def import_sweep_main(mode: str, scratch: str) -> int:
    """One line of JSON per failure point k, each from a child forked from this interpreter, in
    which the (k+1)-th allocation of the import fails. mode "statement": the import statement,
    machinery and all; mode "entry": only the extension's creation (the dynamic loader and the
    init entry), with the module's import module_spec found beforehand."""
    if "orvantis._torvane_core" in sys.modules:
        raise RuntimeError("the import sweep needs an interpreter without the module")
    import importlib
    import importlib.util
    import resource

    import orvantis  # noqa: F401 - the package, but not the module

    if mode == "entry":
        import _imp

        module_spec = importlib.util.find_spec("orvantis._torvane_core")
        load = partial(_imp.create_dynamic, module_spec)
    else:
        load = partial(importlib.import_module, "orvantis._torvane_core")

    for k in range(IMPORT_MAX_POINTS):
        read_end, write_end = os.pipe()
        err_path = os.path.join(scratch, f"stderr.{k}")
        err_fd = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            os.dup2(err_fd, 2)
            # A crash leaves its core in the scratch folder (where the system writes cores
            # into the working folder), for gdb to tell whose crash it was.
            os.chdir(scratch)
            resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2)
            try:
                report = _import_child(k, load)
            except BaseException as e:  # noqa: BLE001 - reported to the parent
                report = {"k": k, "harness_error": repr(e)}
            os.write(write_end, json.dumps(report).encode())
            sys.stderr.flush()
            os._exit(0)
        os.close(write_end)
        os.close(err_fd)
        data = b""
        while chunk := os.read(read_end, 1 << 16):
            data += chunk
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
        report = json.loads(data) if data else {"k": k}
        report["status"] = status
        with open(err_path) as f:
            report["stderr"] = f.read()
        os.unlink(err_path)
        if os.WIFSIGNALED(status) and os.WTERMSIG(status) in CRASH_SIGNALS:
            # Whose crash it was: one the interpreter makes on its own is reported, and the
            # sweep goes on past it; any other ends the sweep.
            frames = _crash_frames(k, load, scratch)
            report["crash_frames"] = frames[:12]
            report["interpreter_crash"] = crashed_in_interpreter(frames)
        print(json.dumps(report), flush=True)
        if report.get("complete") or (status != 0 and not report.get("interpreter_crash")):
            break
    return 0


if __name__ == "__main__" and sys.argv[1:2] == ["import-sweep"]:
    _status = import_sweep_main(sys.argv[2], sys.argv[3])
    if "--exit-now" in sys.argv:
        sys.stdout.flush()
        os._exit(_status)  # see main() below
    sys.exit(_status)

import orvantis._torvane_core as core  # noqa: E402 - after the import sweep's exit, on purpose

# ---------------------------------------------------------------------------------------------
# Arguments. Built at run time so that none is interned or immortal: a call that took a
# reference and never gave it back shows in sys.getrefcount.


def _fresh(text: str) -> str:
    return "".join(list(text))


NAME = _fresh("b3")
UNKNOWN = _fresh("no_such_constant")
OTHER = _fresh("second")
SURROGATE = _fresh("lone \ud800 surrogate")
WRONG = 10**30  # an int, and no small-int singleton
TOL = float(_fresh("1e-9"))
HUGE = 10**400
NOT_A_NUMBER = _fresh("x")


class FloatRaises:
    """__float__ raises an ordinary (non-TypeError) exception, which must come out unchanged.
    The method is native (int("x"), a ValueError) so that no Python frame stands between the
    module and the caller: under injected allocation failures, an exception leaving a Python
    frame can itself be lost by the interpreter, which would blur what the module did."""

    # staticmethod: a bare partial in a class is to become a method descriptor (3.13 warns).
    __float__ = staticmethod(partial(int, "x"))


class Index:
    """Only __index__ (native too, for the same reason): the conversion falls back to it."""

    __index__ = staticmethod(partial(int, 1))


def _finished():
    yield


# throw() on a finished generator raises the very exception it is given, from native code.
_THROWER = _finished()
_THROWER.close()
CAUSE = ValueError(_fresh("the cause"))
UNDERLYING = TypeError(_fresh("no float here"))
UNDERLYING.__cause__ = CAUSE


class TypeErrorWithCause:
    """__float__ raises UNDERLYING, a TypeError with a cause, every time: the module wraps it
    and hands the cause on, and must keep no reference to either."""

    __float__ = staticmethod(partial(_THROWER.throw, UNDERLYING))


FLOAT_RAISES = FloatRaises()
INDEX = Index()
TYPE_ERROR_WITH_CAUSE = TypeErrorWithCause()

# Keyword names, fresh like the arguments: a keyword object the binding kept or lost a
# reference to would show in its count.
KW_NAME = _fresh("name")
KW_NME = _fresh("nme")
KW_TOL = _fresh("tol")
KW_TL = _fresh("tl")
KW_X = _fresh("extra")  # one character would be an immortal singleton
KW_A = _fresh("arg")

# Every argument object above, for reference-count checks.
ARGUMENTS = {
    "NAME": NAME,
    "UNKNOWN": UNKNOWN,
    "OTHER": OTHER,
    "SURROGATE": SURROGATE,
    "WRONG": WRONG,
    "TOL": TOL,
    "HUGE": HUGE,
    "NOT_A_NUMBER": NOT_A_NUMBER,
    "FLOAT_RAISES": FLOAT_RAISES,
    "INDEX": INDEX,
    "TYPE_ERROR_WITH_CAUSE": TYPE_ERROR_WITH_CAUSE,
    "UNDERLYING": UNDERLYING,
    "CAUSE": CAUSE,
    "KW_NAME": KW_NAME,
    "KW_NME": KW_NME,
    "KW_TOL": KW_TOL,
    "KW_TL": KW_TL,
    "KW_X": KW_X,
    "KW_A": KW_A,
}

# Long-lived instances the method paths call on.
REGISTRY = core.PyFormulasRegistry()
QUARKS = core.PyQuarkRegistry()
CKM = core.PyCKMMatrix.from_topology()

NAMES = sorted(
    "b3 chi_eff gamma_em h0_central jc_constant logic_closure m_tau_mev n_gen n_gen_sq phi "
    "roots_total sterile_check sterile_sector topo_gen_check v_higgs_mev visible_sector "
    "w0_central".split()
)
QUARK_NAMES = ["bottom", "charm", "down", "strange", "top", "up"]
DATASHEET = {
    "name": "b3",
    "status": "Seed",
    "uncertainty": None,
    "units": "dimensionless",
    "value": 24.0,
}


def _panic_type() -> type[BaseException]:
    """native_runtime.PanicException is no module attribute; it is created with the module."""
    for cls in BaseException.__subclasses__():
        if cls.__module__ == "native_runtime" and cls.__name__ == "PanicException":
            return cls
    raise LookupError("native_runtime.PanicException does not exist")


PANIC = _panic_type()

# ---------------------------------------------------------------------------------------------
# Paths.

OK = "ok"


def call(function: Callable, *args, **kwargs) -> Callable[[], object]:
    """One prepared call. A partial, not a lambda: the call enters the module straight from
    the caller's frame, with no Python frame of its own in between (see FloatRaises)."""
    return partial(function, *args, **kwargs)


@dataclass(frozen=True)
class Path:
    name: str
    # The entry point, for grouping.
    entry: str
    # Exactly one call into the module (or into CPython's own argument check in front of it),
    # made by call().
    call: Callable[[], object]
    error: type[BaseException] | None = None
    # The exception's exact arguments.
    args: tuple = ()
    check: Callable[[object], bool] = field(default=lambda result: True)
    # For a path that raises: what else its exception must satisfy.
    check_error: Callable[[BaseException], bool] = field(default=lambda exc: True)
    # False: CPython rejects the call before the module runs.
    module: bool = True


def _ckm_result(r: object) -> bool:
    return type(r) is core.PyCKMMatrix and r.jarlskog() == CKM.jarlskog()


def _float(value: float) -> Callable[[object], bool]:
    return lambda r: type(r) is float and r == value


def _bool(value: bool) -> Callable[[object], bool]:
    return lambda r: r is value


def _type_error(display: str, rest: str) -> tuple:
    return (f"{display}{rest}",)


_GC = "py_get_constant()"
_GET = "PyFormulasRegistry.get()"
_IU = "PyCKMMatrix.is_unitary()"
_FR_NEW = "PyFormulasRegistry.__new__()"
_QR_NEW = "PyQuarkRegistry.__new__()"
_NOT_FOUND = ("constant `no_such_constant` not found in registry",)
_SURROGATE_ERROR = ("utf-8", SURROGATE, 5, 6, "surrogates not allowed")

PATHS: list[Path] = [
    # Module functions.
    Path(
        "list_constants",
        "py_list_constants",
        call(core.py_list_constants),
        check=lambda r: r == NAMES,
    ),
    Path(
        "list_quarks", "py_list_quarks", call(core.py_list_quarks), check=lambda r: r == QUARK_NAMES
    ),
    Path(
        "list_constants_args",
        "py_list_constants",
        call(core.py_list_constants, NAME),
        TypeError,
        ("orvantis._torvane_core.py_list_constants() takes no arguments (1 given)",),
        module=False,
    ),
    Path(
        "get_constant",
        "py_get_constant",
        call(core.py_get_constant, NAME),
        check=lambda r: r == DATASHEET,
    ),
    Path(
        "get_constant_keyword",
        "py_get_constant",
        call(core.py_get_constant, **{KW_NAME: NAME}),
        check=lambda r: r == DATASHEET,
    ),
    Path(
        "get_constant_not_found",
        "py_get_constant",
        call(core.py_get_constant, UNKNOWN),
        KeyError,
        _NOT_FOUND,
    ),
    Path(
        "get_constant_empty",
        "py_get_constant",
        call(core.py_get_constant, ""),
        ValueError,
        ("py_get_constant: name must be non-empty",),
    ),
    Path(
        "get_constant_surrogate",
        "py_get_constant",
        call(core.py_get_constant, SURROGATE),
        UnicodeEncodeError,
        _SURROGATE_ERROR,
    ),
    Path(
        "get_constant_wrong_type",
        "py_get_constant",
        call(core.py_get_constant, WRONG),
        TypeError,
        ("argument 'name': 'int' object cannot be converted to 'PyString'",),
    ),
    Path(
        "get_constant_too_many",
        "py_get_constant",
        call(core.py_get_constant, NAME, OTHER),
        TypeError,
        _type_error(_GC, " takes 1 positional arguments but 2 were given"),
    ),
    Path(
        "get_constant_multiple",
        "py_get_constant",
        call(core.py_get_constant, NAME, **{KW_NAME: OTHER}),
        TypeError,
        _type_error(_GC, " got multiple values for argument 'name'"),
    ),
    Path(
        "get_constant_unexpected",
        "py_get_constant",
        call(core.py_get_constant, **{KW_NME: NAME}),
        TypeError,
        _type_error(_GC, " got an unexpected keyword argument 'nme'"),
    ),
    Path(
        "get_constant_missing",
        "py_get_constant",
        call(core.py_get_constant),
        TypeError,
        _type_error(_GC, " missing 1 required positional argument: 'name'"),
    ),
    # PyFormulasRegistry.
    Path(
        "registry_new",
        "PyFormulasRegistry()",
        call(core.PyFormulasRegistry),
        check=lambda r: type(r) is core.PyFormulasRegistry and len(r) == 17,
    ),
    Path(
        "registry_new_positional",
        "PyFormulasRegistry()",
        call(core.PyFormulasRegistry, NAME),
        TypeError,
        _type_error(_FR_NEW, " takes 0 positional arguments but 1 was given"),
    ),
    Path(
        "registry_new_keyword",
        "PyFormulasRegistry()",
        call(core.PyFormulasRegistry, **{KW_X: NAME}),
        TypeError,
        _type_error(_FR_NEW, " got an unexpected keyword argument 'extra'"),
    ),
    Path(
        "registry_len", "PyFormulasRegistry.__len__", call(len, REGISTRY), check=lambda r: r == 17
    ),
    Path("registry_get", "PyFormulasRegistry.get", call(REGISTRY.get, NAME), check=_float(24.0)),
    Path(
        "registry_get_keyword",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, **{KW_NAME: NAME}),
        check=_float(24.0),
    ),
    Path(
        "registry_get_not_found",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, UNKNOWN),
        KeyError,
        _NOT_FOUND,
    ),
    Path(
        "registry_get_surrogate",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, SURROGATE),
        UnicodeEncodeError,
        _SURROGATE_ERROR,
    ),
    Path(
        "registry_get_wrong_type",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, WRONG),
        TypeError,
        ("argument 'name': 'int' object cannot be converted to 'PyString'",),
    ),
    Path(
        "registry_get_too_many",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, NAME, OTHER),
        TypeError,
        _type_error(_GET, " takes 1 positional arguments but 2 were given"),
    ),
    Path(
        "registry_get_multiple",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, NAME, **{KW_NAME: OTHER}),
        TypeError,
        _type_error(_GET, " got multiple values for argument 'name'"),
    ),
    Path(
        "registry_get_unexpected",
        "PyFormulasRegistry.get",
        call(REGISTRY.get, **{KW_NME: NAME}),
        TypeError,
        _type_error(_GET, " got an unexpected keyword argument 'nme'"),
    ),
    Path(
        "registry_get_missing",
        "PyFormulasRegistry.get",
        call(REGISTRY.get),
        TypeError,
        _type_error(_GET, " missing 1 required positional argument: 'name'"),
    ),
    Path(
        "registry_version",
        "PyFormulasRegistry.version",
        call(core.PyFormulasRegistry.version),
        check=lambda r: r == core.__version__,
    ),
    Path(
        "registry_version_instance",
        "PyFormulasRegistry.version",
        call(REGISTRY.version),
        check=lambda r: r == core.__version__,
    ),
    # PyQuarkRegistry.
    Path(
        "quarks_new",
        "PyQuarkRegistry()",
        call(core.PyQuarkRegistry),
        check=lambda r: type(r) is core.PyQuarkRegistry and len(r) == 6,
    ),
    Path(
        "quarks_new_positional",
        "PyQuarkRegistry()",
        call(core.PyQuarkRegistry, NAME),
        TypeError,
        _type_error(_QR_NEW, " takes 0 positional arguments but 1 was given"),
    ),
    Path(
        "quarks_new_keyword",
        "PyQuarkRegistry()",
        call(core.PyQuarkRegistry, **{KW_X: NAME}),
        TypeError,
        _type_error(_QR_NEW, " got an unexpected keyword argument 'extra'"),
    ),
    Path("quarks_len", "PyQuarkRegistry.__len__", call(len, QUARKS), check=lambda r: r == 6),
    # PyCKMMatrix.
    Path(
        "ckm_new",
        "PyCKMMatrix()",
        call(core.PyCKMMatrix),
        TypeError,
        ("No constructor defined for PyCKMMatrix",),
    ),
    Path(
        "ckm_new_arguments",
        "PyCKMMatrix()",
        call(core.PyCKMMatrix, NAME, **{KW_A: OTHER}),
        TypeError,
        ("No constructor defined for PyCKMMatrix",),
    ),
    Path(
        "ckm_from_topology",
        "PyCKMMatrix.from_topology",
        call(core.PyCKMMatrix.from_topology),
        check=_ckm_result,
    ),
    Path(
        "ckm_from_topology_instance",
        "PyCKMMatrix.from_topology",
        call(CKM.from_topology),
        check=_ckm_result,
    ),
    Path(
        "ckm_jarlskog",
        "PyCKMMatrix.jarlskog",
        call(CKM.jarlskog),
        check=lambda r: type(r) is float and math.isfinite(r),
    ),
    Path(
        "ckm_jarlskog_args",
        "PyCKMMatrix.jarlskog",
        call(CKM.jarlskog, NAME),
        TypeError,
        ("PyCKMMatrix.jarlskog() takes no arguments (1 given)",),
        module=False,
    ),
    Path("ckm_is_unitary", "PyCKMMatrix.is_unitary", call(CKM.is_unitary, TOL), check=_bool(True)),
    Path(
        "ckm_is_unitary_keyword",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, **{KW_TOL: TOL}),
        check=_bool(True),
    ),
    Path(
        "ckm_is_unitary_int",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, WRONG),
        check=_bool(True),
    ),
    Path(
        "ckm_is_unitary_index",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, INDEX),
        check=_bool(True),
    ),
    Path(
        "ckm_is_unitary_not_a_number",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, NOT_A_NUMBER),
        TypeError,
        ("argument 'tol': must be real number, not str",),
    ),
    Path(
        "ckm_is_unitary_overflow",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, HUGE),
        OverflowError,
        ("int too large to convert to float",),
    ),
    Path(
        "ckm_is_unitary_float_raises",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, FLOAT_RAISES),
        ValueError,
        ("invalid literal for int() with base 10: 'x'",),
    ),
    Path(
        "ckm_is_unitary_type_error_cause",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, TYPE_ERROR_WITH_CAUSE),
        TypeError,
        ("argument 'tol': no float here",),
        check_error=lambda e: e.__cause__ is CAUSE,
    ),
    Path(
        "ckm_is_unitary_too_many",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, TOL, OTHER),
        TypeError,
        _type_error(_IU, " takes 1 positional arguments but 2 were given"),
    ),
    Path(
        "ckm_is_unitary_multiple",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, TOL, **{KW_TOL: TOL}),
        TypeError,
        _type_error(_IU, " got multiple values for argument 'tol'"),
    ),
    Path(
        "ckm_is_unitary_unexpected",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary, **{KW_TL: TOL}),
        TypeError,
        _type_error(_IU, " got an unexpected keyword argument 'tl'"),
    ),
    Path(
        "ckm_is_unitary_missing",
        "PyCKMMatrix.is_unitary",
        call(CKM.is_unitary),
        TypeError,
        _type_error(_IU, " missing 1 required positional argument: 'tol'"),
    ),
]

BY_NAME = {p.name: p for p in PATHS}


def outcome_problem(
    path: Path, result: object = None, exc: BaseException | None = None
) -> str | None:
    """None when the outcome is the path's expected one, else what is wrong with it."""
    if path.error is None:
        if exc is not None:
            return f"{path.name}: raised {exc!r}"
        if not path.check(result):
            return f"{path.name}: unexpected result {result!r}"
        return None
    if exc is None:
        return f"{path.name}: returned {result!r} instead of raising {path.error.__name__}"
    if type(exc) is not path.error or exc.args != path.args or not path.check_error(exc):
        return f"{path.name}: raised {exc!r}, expected {path.error.__name__}{path.args!r}"
    return None


def run_checked(path: Path) -> str | None:
    try:
        result = path.call()
    except BaseException as exc:  # noqa: BLE001 - every outcome is compared
        return outcome_problem(path, exc=exc)
    return outcome_problem(path, result)


def loop(path: Path, calls: int) -> None:
    """`calls` calls with no checking: the measured loop."""
    call = path.call
    if path.error is None:
        for _ in range(calls):
            call()
    else:
        error = path.error
        for _ in range(calls):
            try:
                call()
            except error:
                pass


def tracked_refcounts() -> dict[str, int]:
    """Reference counts that must not move: the classes and their names, the singletons, every
    argument and keyword name, the exception a path raises from inside a conversion and its
    cause, the long-lived instances and the module's functions."""
    counts = {
        "PyFormulasRegistry": sys.getrefcount(core.PyFormulasRegistry),
        "PyQuarkRegistry": sys.getrefcount(core.PyQuarkRegistry),
        "PyCKMMatrix": sys.getrefcount(core.PyCKMMatrix),
        "PanicException": sys.getrefcount(PANIC),
        "None": sys.getrefcount(None),
        "True": sys.getrefcount(True),
        "False": sys.getrefcount(False),
        "REGISTRY": sys.getrefcount(REGISTRY),
        "QUARKS": sys.getrefcount(QUARKS),
        "CKM": sys.getrefcount(CKM),
        "module": sys.getrefcount(core),
    }
    for cls in (core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix):
        counts[cls.__name__ + ".__name__"] = sys.getrefcount(cls.__name__)
        counts[cls.__name__ + ".__qualname__"] = sys.getrefcount(cls.__qualname__)
    for name in ("py_list_constants", "py_list_quarks", "py_get_constant"):
        counts[name] = sys.getrefcount(getattr(core, name))
    for name, value in ARGUMENTS.items():
        counts["arg " + name] = sys.getrefcount(value)
    return counts


def mortal_arguments() -> list[str]:
    """Arguments whose count can move at all (immortal objects report a fixed count)."""
    return [name for name, value in ARGUMENTS.items() if sys.getrefcount(value) < 1 << 20]


if sys.platform == "win32":  # the working set, as the system counts it
    import ctypes
    from ctypes import wintypes

    # Made once, at import: a measurement must not make classes of its own.
    class _Counters(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("faults", wintypes.DWORD)] + [
            (name, ctypes.c_size_t)
            for name in ("peak", "working_set", "a", "b", "c", "d", "e", "f")
        ]

    _kernel32 = ctypes.WinDLL("kernel32")
    _kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    _kernel32.K32GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.c_void_p, wintypes.DWORD]
    _COUNTERS = _Counters(cb=ctypes.sizeof(_Counters))

    def resident_bytes() -> int:
        process = _kernel32.GetCurrentProcess()
        if not _kernel32.K32GetProcessMemoryInfo(process, ctypes.byref(_COUNTERS), _COUNTERS.cb):
            raise ctypes.WinError()
        return _COUNTERS.working_set

else:

    def resident_bytes() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------------------------
# Modes.


def mode_run(rounds: int, sweep: bool) -> dict:
    """Every path `rounds` times; with `sweep`, then one allocation-failure sweep of every path
    too, so that a memory checker also watches every failure point once."""
    problems = []
    for _ in range(rounds):
        for path in PATHS:
            problem = run_checked(path)
            if problem is not None:
                problems.append(problem)
    points = 0
    if sweep:
        import _testcapi

        for path in PATHS:
            for k in range(MAX_POINTS):
                result, exc, complete = _attempt(
                    path.call, k, _testcapi.set_nomemory, _testcapi.remove_mem_hooks
                )
                problem = injected_outcome_problem(path, result, exc)
                if problem is not None:
                    problems.append(f"k={k}: {problem}")
                if exc is not None:
                    exc.__traceback__ = exc.__context__ = exc.__cause__ = None
                del result, exc
                _forget_printed_exception()
                points += 1
                if complete:
                    break
        problems.extend(p for p in (run_checked(q) for q in PATHS) if p is not None)
    return {"paths": len(PATHS), "rounds": rounds, "failure_points": points, "problems": problems}


def mode_leak(name: str, calls: int) -> dict:
    import tracemalloc

    path = BY_NAME[name]
    problem = run_checked(path)
    warm = max(2_000, calls // 20)
    loop(path, warm)
    gc.collect()
    refs_before = tracked_refcounts()
    blocks_before = sys.getallocatedblocks()
    rss_before = resident_bytes()

    loop(path, calls)

    gc.collect()
    rss_after = resident_bytes()
    blocks_after = sys.getallocatedblocks()
    refs_after = tracked_refcounts()

    # Traced memory on a shorter run: tracing costs more than the calls themselves.
    traced_calls = min(calls, 20_000)
    tracemalloc.start()
    loop(path, 1_000)
    gc.collect()
    traced_before, _ = tracemalloc.get_traced_memory()
    loop(path, traced_calls)
    gc.collect()
    traced_after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    return {
        "path": name,
        "calls": calls,
        "problem": problem or run_checked(path),
        "rss_growth": rss_after - rss_before,
        "blocks_growth": blocks_after - blocks_before,
        "traced_calls": traced_calls,
        "traced_growth": traced_after - traced_before,
        "refcount_changes": {
            k: (refs_before[k], refs_after[k])
            for k in refs_before
            if refs_before[k] != refs_after[k]
        },
        "mortal_arguments": mortal_arguments(),
        "mortal_tracked": sorted(k for k, n in refs_after.items() if n < 1 << 20),
    }


# Allocation-failure injection. Each attempt fails exactly one interpreter allocation, the
# (k+1)-th after the hook is set. Probe allocations right after the call tell when the failure
# fell after the call: then the call ran without any failure and the sweep is complete. Several
# probes, because the number of allocations a call makes varies a little with the state of the
# interpreter's free lists.

MAX_POINTS = 20_000
WARMUP_BATCH = 10
MAX_WARMUP_BATCHES = 20
MEASURED_SWEEPS = 50


def _forget_printed_exception() -> None:
    # PyErr_Print keeps the last exception (and through its traceback, frames and arguments).
    for attr in ("last_exc", "last_type", "last_value", "last_traceback"):
        if hasattr(sys, attr):
            delattr(sys, attr)


def injected_outcome_problem(path: Path, result: object, exc: BaseException | None) -> str | None:
    """What an injected failure may turn a call into: its own outcome, MemoryError, or the
    internal failure where a result object could not be made."""
    if exc is None or type(exc) is path.error:
        if outcome_problem(path, result, exc) is None:
            return None
        if (
            exc is not None
            and path.error is TypeError
            and ("<unprintable " in str(exc) or "<failed to extract type name>" in str(exc))
        ):
            return None  # the message's own texts could not be made: the documented stand-ins
        return outcome_problem(path, result, exc)
    if type(exc) is MemoryError:
        return None
    if type(exc) is PANIC:
        message = exc.args[0] if exc.args else ""
        if message == "Python API call failed":
            return None
        if path.entry == "PyCKMMatrix.from_topology" and message.startswith(
            "failed to allocate a new PyCKMMatrix: "
        ):
            return None
    return f"{path.name}: injected failure gave {exc!r}"


def mode_nomemory(name: str) -> dict:
    import _testcapi

    path = BY_NAME[name]
    set_nomemory = _testcapi.set_nomemory
    remove_mem_hooks = _testcapi.remove_mem_hooks
    problems: list[str] = []
    outcomes: dict[str, int] = {}

    def sweep() -> int:
        gc.collect()
        gc.disable()
        try:
            for k in range(MAX_POINTS):
                result, exc, complete = _attempt(path.call, k, set_nomemory, remove_mem_hooks)
                kind = "ok" if exc is None else type(exc).__name__
                outcomes[kind] = outcomes.get(kind, 0) + 1
                problem = injected_outcome_problem(path, result, exc)
                if problem is not None:
                    problems.append(f"k={k}: {problem}")
                if complete:
                    problem = outcome_problem(path, result, exc)
                    if problem is not None:
                        problems.append(f"k={k} (no failure injected): {problem}")
                    return k
                if exc is not None:
                    # Once the interpreter's free MemoryErrors run out it raises one immortal
                    # instance, whose traceback would otherwise grow with every attempt and
                    # hold every frame (and argument) it passed through.
                    exc.__traceback__ = exc.__context__ = exc.__cause__ = None
                del result, exc
                _forget_printed_exception()
            problems.append(f"no complete run within {MAX_POINTS} allocations")
            return MAX_POINTS
        finally:
            gc.enable()
            _forget_printed_exception()

    # The first sweeps settle what the interpreter creates once (caches, interned names, the
    # regular-expression and JSON machinery behind json.loads); how many that takes varies, so
    # they run in batches until one batch leaves the allocated blocks (almost) as it found
    # them. The measured sweeps must then leave every count as they found it and the blocks
    # within a little noise: a reference kept at even one failure point would add a block per
    # sweep, MEASURED_SWEEPS in all, and would never let a warm-up batch settle either.
    points = sweep()
    for _ in range(MAX_WARMUP_BATCHES):
        gc.collect()
        settled = sys.getallocatedblocks()
        for _ in range(WARMUP_BATCH):
            sweep()
        gc.collect()
        if sys.getallocatedblocks() - settled <= WARMUP_BATCH // 4:
            break
    outcomes.clear()
    gc.collect()
    refs_before = tracked_refcounts()
    blocks_before = sys.getallocatedblocks()
    measured: list[int] = []
    for _ in range(MEASURED_SWEEPS):
        # How many points a sweep takes may vary by one or two with the state of the free
        # lists; each sweep must still end in a run without failure.
        measured.append(sweep())
    gc.collect()
    blocks_after = sys.getallocatedblocks()
    refs_after = tracked_refcounts()

    # Nothing stays broken: every path, every entry point, behaves as before.
    after = [p for p in (run_checked(q) for q in PATHS) if p is not None]
    return {
        "path": name,
        "error": None if path.error is None else path.error.__name__,
        "points": points,
        "points_range": [min(measured), max(measured)],
        "measured_sweeps": MEASURED_SWEEPS,
        "outcomes": outcomes,
        "problems": problems,
        "blocks_growth": blocks_after - blocks_before,
        "refcount_changes": {
            k: (refs_before[k], refs_after[k])
            for k in refs_before
            if refs_before[k] != refs_after[k]
        },
        "after": after,
    }


def main(argv: list[str]) -> int:
    mode = argv[1] if len(argv) > 1 else "run"
    flags = {a for a in argv[2:] if a.startswith("--")}
    args = [a for a in argv[2:] if not a.startswith("--")]
    if mode == "run":
        report = mode_run(int(args[0]) if args else 3, "--sweep" in flags)
        ok = not report["problems"]
    elif mode == "leak":
        report = mode_leak(args[0], int(args[1]))
        ok = True
    elif mode == "nomemory":
        report = mode_nomemory(args[0])
        ok = True
    elif mode == "list":
        report = {"paths": [{"name": p.name, "entry": p.entry, "module": p.module} for p in PATHS]}
        ok = True
    else:
        print(f"unknown mode {mode!r}", file=sys.stderr)
        return 2
    print(json.dumps(report), flush=True)
    status = 0 if ok else 1
    if "--exit-now" in flags:
        # Ends the process without finalising the interpreter, as it stands: a memory checker
        # then sees as lost only what nothing points to any more (what a call leaked), and not
        # what the interpreter deliberately never frees at exit (its interned strings among
        # it).
        sys.stderr.flush()
        os._exit(status)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
