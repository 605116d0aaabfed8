# Builds with zig's clang for x86_64 Linux with glibc 2.17, linking zig's own libc++ statically:
# the result runs on every manylinux2014 system. The wrappers beside this file find zig through
# TORVANE_ZIG, or else through the `ziglang` package of the Python on PATH.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "archive indexer")
