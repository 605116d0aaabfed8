# The i686 wheels: tools/zig/cross.cmake with the compiler of tools/zig/i686/.
set(TORVANE_CROSS_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
