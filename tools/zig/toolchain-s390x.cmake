# The s390x wheels: tools/zig/cross.cmake with the compiler of tools/zig/s390x/.
set(TORVANE_CROSS_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
