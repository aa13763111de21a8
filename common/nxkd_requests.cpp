#include "nxkd_requests.h"

#include "device_io.h"

#include <cstdio>
#include <cstring>

void PresetSettingsDefaults(NxSettingsRecord* record)
{
    record->option280 = 0;
    record->option284 = 0;
    record->latencyLevel = 5;
    record->option292 = 1;
    record->independentRate = 0;
    record->adjustment1Enabled = 1;
    record->adjustment1 = 0;
    record->adjustment2Enabled = 1;
    record->adjustment2 = 0;
    record->levelMode = 0;
    record->option320 = 1;
    record->option324 = 0;
    record->option328 = 0;
    record->option332 = 0;
}

static const char kDeviceBaseName[] = "Nxkd2650";

void FormatDevicePathA(char (&path)[kDevicePathChars], int number)
{
    std::snprintf(path, kDevicePathChars, "\\\\.\\%s00%d", kDeviceBaseName, number);
}

void FormatDevicePathW(WCHAR (&path)[kDevicePathChars], int number)
{
    char narrow[kDevicePathChars];
    FormatDevicePathA(narrow, number);
    size_t i = 0;
    for (; narrow[i] != '\0' && i + 1 < kDevicePathChars; ++i)
        path[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));
    path[i] = 0;
}

HANDLE OpenDeviceA(const char* path)
{
    return DevCreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
}

HANDLE OpenDeviceW(const WCHAR* path)
{
    return DevCreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
}

void CloseDevice(HANDLE handle)
{
    DevCloseHandle(handle);
}

bool SendRequest(HANDLE handle, DWORD code, void* record, DWORD length)
{
    DWORD returned = 0;
    void* buffer = length != 0 ? record : nullptr;
    return DevDeviceIoControl(handle, code, buffer, length, buffer, length, &returned, nullptr) != FALSE;
}

template <typename Char, HANDLE (*Open)(const Char*)>
static bool SendOnce(const Char* path, DWORD code, void* record, DWORD length)
{
    HANDLE handle = Open(path);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool ok = SendRequest(handle, code, record, length);
    CloseDevice(handle);
    return ok;
}

bool SendRequestOnce(const char* path, DWORD code, void* record, DWORD length)
{
    return SendOnce<char, OpenDeviceA>(path, code, record, length);
}

bool SendRequestOnce(const WCHAR* path, DWORD code, void* record, DWORD length)
{
    return SendOnce<WCHAR, OpenDeviceW>(path, code, record, length);
}

bool BeginMapBuffer(HANDLE handle, NxMapBufferRecord* input, void* block, DWORD blockLength,
                    OVERLAPPED* overlapped)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::memset(overlapped, 0, sizeof(*overlapped));
    overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped->hEvent == nullptr)
        return false;
    DWORD returned = 0;
    BOOL done = DevDeviceIoControl(handle, IOCTL_NXKD_MAP_BUFFER, input, sizeof(*input), block,
                                   blockLength, &returned, overlapped);
    DWORD error = GetLastError();
    if (done || error == ERROR_IO_PENDING || error == 0)
        return true;
    CloseHandle(overlapped->hEvent);
    overlapped->hEvent = nullptr;
    return false;
}

void EndMapBuffer(HANDLE handle, OVERLAPPED* overlapped)
{
    if (handle == INVALID_HANDLE_VALUE || overlapped->hEvent == nullptr)
        return;
    SendRequest(handle, IOCTL_NXKD_RELEASE_BUFFER, nullptr, 0);
    WaitForSingleObject(overlapped->hEvent, INFINITE);
    CloseHandle(overlapped->hEvent);
    overlapped->hEvent = nullptr;
}
