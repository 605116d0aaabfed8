"""Installed into the sanitizer build's environment by scripts/sanitize.sh and loaded at every
interpreter start through a .pth file: runs LeakSanitizer's check when the program ends, but
before the interpreter is finalised.

Finalisation drops the interpreter's last references to what it never frees on purpose (its
interned strings above all, immortal since 3.12), which would then all read as leaks. Checked
before, everything still in use is reachable and only what nothing points to any more is
reported: native blocks the module lost, and objects whose references it kept. The check at
exit itself is off (leak_check_at_exit=0).
"""

import atexit
import sys


def _check_leaks() -> None:
    used_sub_interpreters = "_xxsubinterpreters" in sys.modules
    try:
        import _xxsubinterpreters as interpreters

        if interpreters.get_current() != interpreters.get_main():
            return  # a sub-interpreter ending (it ran this file's start-up too): not the process
    except ImportError:
        return
    import threading

    if threading.active_count() > 1:
        # Daemon threads still run at exit. What only their running Python frames hold is
        # referenced from the interpreter's frame stacks, which come straight from mmap and
        # which LSan does not scan: it would all read as lost.
        return
    if used_sub_interpreters:
        # CPython 3.12's sub-interpreter support loses memory of its own: the strings of the
        # exceptions it carries between interpreters, and the objects of an interpreter it
        # destroys. A process that loaded it is not leak-checked; its memory accesses still are.
        return
    import ctypes

    try:
        # The runtime is preloaded, so its entry points are global symbols.
        check = ctypes.CDLL(None).__lsan_do_leak_check
    except AttributeError:
        return  # an interpreter started without the sanitizer runtime
    # Ends the process with LSan's exit code when it finds a leak.
    check()


# Registered at start-up, so it runs after every exit handler the program registers itself.
atexit.register(_check_leaks)
