# The armv7l wheels: tools/zig/cross.cmake with the compiler of tools/zig/armv7l/.
set(TORVANE_CROSS_ARCH armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
