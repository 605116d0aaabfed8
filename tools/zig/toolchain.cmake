# Builds with zig's clang for x86_64 Linux with glibc 2.17, linking zig's own libc++ statically:
# the result runs on every manylinux2014 system. The wrappers beside this file find zig through
# TORVANE_ZIG, or else through the `ziglang` package of the Python on PATH.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "archive indexer")
# zig links LLVM's libunwind into the module. The C library ends a thread (pthread_exit, which the
# interpreter uses for daemon threads at exit) by a forced unwind through the system's libgcc_s,
# and the cleanups on the way resume it through whatever _Unwind_Resume the module holds: LLVM's
# cannot resume libgcc_s's unwind, and the process crashes. So the module takes its unwinder
# from the system's libgcc_s.so.1, which every manylinux system has.
set(TORVANE_UNWIND_WITH_LIBGCC_S ON)
# The linker leaves out the symbol table and the debug information, as `strip` would: the
# result then does not depend on which strip program (GNU's, LLVM's, one that knows the target
# or not) the building machine has.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
