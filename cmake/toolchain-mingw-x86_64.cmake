# Cross-building for Windows (x86_64) with mingw-w64. The posix thread-model compilers are
# used so that test and tool code may use std::thread; product code uses Win32 only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NX_MINGW_PREFIX x86_64-w64-mingw32)
set(NX_MINGW_THREADS posix CACHE STRING "mingw-w64 thread model of the compilers: posix or win32")

set(CMAKE_C_COMPILER ${NX_MINGW_PREFIX}-gcc-${NX_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${NX_MINGW_PREFIX}-g++-${NX_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${NX_MINGW_PREFIX}-windres)
set(CMAKE_AR ${NX_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${NX_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${NX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
