# The Windows x64 wheels: zig's clang for x86_64-windows-gnu (the target column of platforms.tsv's
# row win_amd64, which tools/zig/win_amd64/c++ reads), with the C runtime of python.org's build
# (UCRT) and zig's libc++ and libunwind linked statically: the module imports only Windows' own
# libraries and the interpreter's DLL. scripts/windows.sh passes the interpreter's headers with
# the project's pyconfig.h (Python_INCLUDE_DIR) and an import library made from its DLL
# (Python_LIBRARY).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/win_amd64/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "archive indexer")
# Stripped by the linker, as on the other targets.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
