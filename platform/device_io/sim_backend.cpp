// The "sim" device I/O backend: every call goes to the simulated kernel driver in this
// process, with all open parameters, so it can check them.
#include "device_io.h"
#include "nxkd_sim.h"

HANDLE DevCreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                      DWORD disposition, DWORD flags, HANDLE)
{
    return nxsim::Simulator::Instance().Open(path, access, shareMode, disposition, flags);
}

HANDLE DevCreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                      DWORD disposition, DWORD flags, HANDLE)
{
    return nxsim::Simulator::Instance().OpenW(path, access, shareMode, disposition, flags);
}

BOOL DevDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                        DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    return nxsim::Simulator::Instance().Control(device, code, in, inSize, out, outSize, returned,
                                                overlapped);
}

BOOL DevCloseHandle(HANDLE device) { return nxsim::Simulator::Instance().Close(device); }
