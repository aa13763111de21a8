// The "win32" device I/O backend: straight to the system calls it stands for.
#include "device_io.h"

HANDLE DevCreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile)
{
    return CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
}

HANDLE DevCreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile)
{
    return CreateFileW(path, access, shareMode, security, disposition, flags, templateFile);
}

BOOL DevDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                        DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    return DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL DevCloseHandle(HANDLE device) { return CloseHandle(device); }
