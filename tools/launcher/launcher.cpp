// Nxlh2650.dat: started as "Nxlh2650.dat <program> <arguments...>", it starts <program> with
// those arguments, does not wait for it, and exits with 0 when the program was started.
//
// The 32-bit driver runs it from a 32-bit host process, where the platform's program search
// sees the 32-bit system directory. The settings program is a 64-bit program installed in
// the real system directory, so the search runs with file system redirection turned off:
// then the launcher finds it where the 64-bit driver finds it.
#include <windows.h>

namespace {

// Exit codes.
const int kStarted = 0;
const int kNotStarted = 1;
const int kNoProgram = 2;

// The command line after the launcher's own name (quoted or bare), without leading blanks.
char* ArgumentsAfterOwnName(char* commandLine)
{
    char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// The started program is shown as the launcher was asked to show itself.
STARTUPINFOA StartupInfoForProgram()
{
    STARTUPINFOA own = {};
    own.cb = sizeof own;
    GetStartupInfoA(&own);
    STARTUPINFOA info = {};
    info.cb = sizeof info;
    if ((own.dwFlags & STARTF_USESHOWWINDOW) != 0) {
        info.dwFlags = STARTF_USESHOWWINDOW;
        info.wShowWindow = own.wShowWindow;
    }
    return info;
}

bool StartProgram(char* commandLine)
{
    STARTUPINFOA info = StartupInfoForProgram();
    PROCESS_INFORMATION process = {};
    // Fails harmlessly where there is no redirection (a 64-bit launcher, 32-bit Windows).
    PVOID redirection = nullptr;
    BOOL redirectionOff = Wow64DisableWow64FsRedirection(&redirection);
    BOOL started = CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &info, &process);
    if (redirectionOff)
        Wow64RevertWow64FsRedirection(redirection);
    if (!started)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // CreateProcessA may write into its command line: work on our own copy.
    const char* own = GetCommandLineA();
    int length = lstrlenA(own);
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(length) + 1));
    if (copy == nullptr)
        return kNotStarted;
    lstrcpyA(copy, own);
    char* arguments = ArgumentsAfterOwnName(copy);
    int result = kNoProgram;
    if (*arguments != '\0')
        result = StartProgram(arguments) ? kStarted : kNotStarted;
    HeapFree(GetProcessHeap(), 0, copy);
    return result;
}
