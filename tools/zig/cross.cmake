# Cross-builds with zig's clang for one Linux architecture (TORVANE_CROSS_ARCH, set by the
# toolchain-ARCH.cmake file that includes this one), against the glibc its wrapper
# (tools/zig/ARCH/c++) names, linking zig's own libc++ statically, like toolchain.cmake for
# x86_64 (whose comments say why the unwinder comes from libgcc_s). The build only compiles and
# links for the target, never runs what it makes, so the x86_64 interpreter of the same Python
# version drives it: scripts/build-wheel.sh passes the target's headers (Python_INCLUDE_DIR), its
# extension suffix and its libgcc_s.so.1 (TORVANE_LIBGCC_S), all taken from the Debian root of
# that architecture (scripts/sid-root.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TORVANE_CROSS_ARCH})
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/${TORVANE_CROSS_ARCH}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "archive indexer")
set(TORVANE_UNWIND_WITH_LIBGCC_S ON)
# The linker leaves out the symbol table and the debug information, as `strip` would: the
# result then does not depend on which strip program (GNU's, LLVM's, one that knows the target
# or not) the building machine has.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
