# Cross-building for Windows (x86_64) with mingw-w64. The posix thread-model compilers are
# used so that test and tool code may use std::thread; product code uses Win32 only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
