# Cross-build for 64-bit Windows with MinGW-w64 (x86_64): the same program
# and test programs, for the Wine runner where 32-bit Wine cannot run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOL_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOL_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TOOL_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TOOL_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
