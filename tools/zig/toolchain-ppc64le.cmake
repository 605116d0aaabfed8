# The ppc64le wheels: tools/zig/cross.cmake with the compiler of tools/zig/ppc64le/.
set(TORVANE_CROSS_ARCH ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
