// Stand-in for the settings program Nxsp2650.exe in the Wine suite: appends its command
// line to the file named by NX_STANDIN_LOG (when set) and exits at once, so that a
// driver's controlPanel can be followed without a dialog blocking the test.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("NX_STANDIN_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return 0;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const char* line = GetCommandLineA();
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
    return 0;
}
