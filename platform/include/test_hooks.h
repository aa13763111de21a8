// What tests and tools may read and set of the POSIX platform layer (Linux builds only).
#pragma once

#include "win32.h"

#include <string>
#include <vector>

namespace platform_test {

// Kernel-object style handles (events, threads, mutexes) created and not yet closed.
int LiveHandleCount();
// Threads started with CreateThread whose routine has not returned yet.
int LiveThreadCount();

struct MessageBoxRecord {
    HWND owner;
    std::string text;
    bool hasCaption;  // false when the caption pointer was null
    std::string caption;
    UINT type;
};
// MessageBoxA calls are recorded (and answered IDOK); tools may also print them.
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

// WinExec command lines, in call order, with the value each call returned.
struct WinExecRecord {
    std::string commandLine;
    UINT show;
    UINT result;
};
std::vector<WinExecRecord> WinExecCalls();
void ClearWinExecCalls();

// The in-process registry: emptied, or loaded from / saved to a file.
void ResetRegistry();
bool LoadRegistry(const std::string& path);
bool SaveRegistry(const std::string& path);

// What GetSystemDirectoryA reports; default "C:\Windows\system32".
void SetSystemDirectory(const std::string& directory);

}  // namespace platform_test
