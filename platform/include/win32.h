// The Win32 subset the product uses. On Windows it is the real platform; elsewhere our
// own declarations (posix/win32_posix.h) implemented on POSIX threads and clocks.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>
#include <olectl.h>
#include <unknwn.h>
#define NX_EXPORT
#else
#include "../posix/win32_posix.h"
#define NX_EXPORT __attribute__((visibility("default")))
#endif
