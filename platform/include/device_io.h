// The device I/O seam: the only way the product reaches kernel device objects.
// Shaped like the Win32 calls it stands for. The "win32" backend passes straight to
// CreateFile/DeviceIoControl/CloseHandle; the "sim" backend hands every call to the
// simulated kernel driver in this process, with all open parameters, so it can check them.
#pragma once

#include "win32.h"

HANDLE DevCreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile);
HANDLE DevCreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DevDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                        DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL DevCloseHandle(HANDLE device);
