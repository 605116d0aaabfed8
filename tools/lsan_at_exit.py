"""Installed into the sanitizer build's environment by the asan sessions (noxfile.py) and loaded at
every interpreter start through a .pth file: runs LeakSanitizer's check when the program ends,
but before the interpreter is finalised.

Finalisation drops the interpreter's last references to what it never frees on purpose (its
interned strings above all, immortal since 3.12), which would then all read as leaks. Checked
before, everything still in use is reachable and only what nothing points to any more is
reported: native blocks the module lost, and objects whose references it kept. The check at exit
itself is off (leak_check_at_exit=0).

Every process records what became of its check: a file "checked-*", or "skipped-*" holding the
reason, in the folder TORVANE_LSAN_RECORDS names, which the asan sessions (noxfile.py) count
(tests compare their children's standard error with nothing). Without that folder a skip is said
on standard error instead, unless the process has no sanitizer at all (the scripts' own steps
run this environment's interpreter so). A process that ends without running its exit handlers,
by os._exit or a signal, records nothing."""

import atexit
import os
import sys


def _record(outcome: str, reason: str = "", *, quiet: bool = False) -> None:
    folder = os.environ.get("TORVANE_LSAN_RECORDS")
    if not folder:
        if reason and not quiet:
            print(f"leak check skipped: {reason}", file=sys.stderr, flush=True)
        return
    import tempfile  # here, not at every interpreter's start

    fd, _ = tempfile.mkstemp(prefix=f"{outcome}-", dir=folder)
    with os.fdopen(fd, "w") as f:
        f.write(reason)


def _check_leaks() -> None:
    # Before the look-up below imports the module itself.
    used_sub_interpreters = not {"_interpreters", "_xxsubinterpreters"}.isdisjoint(sys.modules)
    try:
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
        else:
            import _xxsubinterpreters as interpreters
    except ImportError as e:
        _record("skipped", f"cannot tell the main interpreter ({e})")
        return
    if interpreters.get_current() != interpreters.get_main():
        return  # a sub-interpreter ending (it ran this file's start-up too): not the process
    import threading

    if threading.active_count() > 1:
        # Daemon threads still run at exit. What only their running Python frames hold is
        # referenced from the interpreter's frame stacks, which come straight from mmap and
        # which LSan does not scan: it would all read as lost.
        _record("skipped", "daemon threads still running")
        return
    if used_sub_interpreters and sys.version_info < (3, 14):
        # CPython 3.12's and 3.13's sub-interpreter support loses memory of its own: the strings
        # of the exceptions it carries between interpreters, and the objects of an interpreter it
        # destroys. A process that loaded it is not leak-checked; its memory accesses still are.
        # 3.14 and 3.15 lose none (and 3.14 loads it with concurrent.futures, so almost always).
        _record("skipped", "sub-interpreters used")
        return
    import ctypes

    try:
        # The runtime is preloaded, so its entry points are global symbols.
        check = ctypes.CDLL(None).__lsan_do_leak_check
    except AttributeError:
        _record("skipped", "no LeakSanitizer runtime in the process", quiet=True)
        return
    # Ends the process with LSan's exit code when it finds a leak.
    check()
    _record("checked")


# Registered at start-up, so it runs after every exit handler the program registers itself.
atexit.register(_check_leaks)
