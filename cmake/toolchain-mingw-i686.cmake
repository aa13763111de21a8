# Cross-building for Windows (i686) with mingw-w64. The posix thread-model compilers are
# used so that test and tool code may use std::thread; product code uses Win32 only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
