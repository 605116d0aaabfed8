# Cross-builds with zig's clang for aarch64 Linux with glibc 2.17, linking zig's own libc++
# statically, like toolchain.cmake for x86_64 (whose comments say why the unwinder comes from
# libgcc_s). The build only compiles and links for aarch64, never runs what it makes, so the
# x86_64 interpreter of the same Python version drives it: scripts/wheels.sh passes the aarch64
# headers (Python_INCLUDE_DIR), the extension suffix (Python_SOABI) and aarch64's libgcc_s.so.1
# (TORVANE_LIBGCC_S), all taken from the arm64 root of scripts/sid-root.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/aarch64/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "archive indexer")
set(TORVANE_UNWIND_WITH_LIBGCC_S ON)
# The linker leaves out the symbol table and the debug information, as `strip` would: the
# result then does not depend on which strip program (GNU's, LLVM's, one that knows the target
# or not) the building machine has.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
