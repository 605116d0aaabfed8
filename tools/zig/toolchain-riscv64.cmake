# The riscv64 wheels: tools/zig/cross.cmake with the compiler of tools/zig/riscv64/.
set(TORVANE_CROSS_ARCH riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
