# Cross-build for 64-bit Windows with MinGW-w64 (x86_64): the same program
# and test programs, for the Wine runner where 32-bit Wine cannot run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOL_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
