# The aarch64 wheels: tools/zig/cross.cmake with the compiler of tools/zig/aarch64/.
set(TORVANE_CROSS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
