// WinExec on posix_spawn, message boxes (recorded, optionally printed) and string helpers.
#include "objects.h"
#include "test_hooks.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

constexpr UINT kStarted = 33;  // WinExec's success: any value above 31

struct Records {
    std::mutex lock;
    // Guarded by lock.
    std::vector<platform_test::MessageBoxRecord> messageBoxes;
    std::vector<platform_test::WinExecRecord> winExecCalls;
};

Records& TheRecords()
{
    static Records* records = new Records;  // never destroyed: calls may come during exit
    return *records;
}

// Splits at blanks; double quotes group blanks into one argument and are dropped.
std::vector<std::string> SplitCommandLine(const char* commandLine)
{
    std::vector<std::string> arguments;
    std::string current;
    bool inQuotes = false;
    bool hasArgument = false;
    for (const char* p = commandLine; *p != 0; ++p) {
        if (*p == '"') {
            inQuotes = !inQuotes;
            hasArgument = true;
        } else if ((*p == ' ' || *p == '\t') && !inQuotes) {
            if (hasArgument)
                arguments.push_back(current);
            current.clear();
            hasArgument = false;
        } else {
            current += *p;
            hasArgument = true;
        }
    }
    if (hasArgument)
        arguments.push_back(current);
    return arguments;
}

bool IsExecutableFile(const std::string& path)
{
    struct stat status{};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it names a directory, else the first match on PATH.
std::string FindProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return IsExecutableFile(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        std::string directory = directories.substr(start, end - start);
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return std::string();
}

UINT Start(const char* commandLine)
{
    if (commandLine == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::vector<std::string> arguments = SplitCommandLine(commandLine);
    if (arguments.empty())
        return ERROR_FILE_NOT_FOUND;
    const std::string program = FindProgram(arguments[0]);
    if (program.empty())
        return ERROR_FILE_NOT_FOUND;
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    // The program starts at normal priority with no blocked signals, whatever the
    // calling thread has.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sched_param normal{};
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setschedpolicy(&attributes, SCHED_OTHER);
    posix_spawnattr_setschedparam(&attributes, &normal);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSCHEDULER | POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int failed =
        posix_spawn(&child, program.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0)
        return ERROR_FILE_NOT_FOUND;
    // The caller does not wait for the program; reap it here so it leaves no zombie.
    std::thread([child] {
        int status = 0;
        while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
        }
    }).detach();
    return kStarted;
}

}  // namespace

UINT WINAPI WinExec(LPCSTR commandLine, UINT show)
{
    const UINT result = Start(commandLine);
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards winExecCalls
    records.winExecCalls.push_back({commandLine != nullptr ? commandLine : "", show, result});
    return result;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    platform_test::MessageBoxRecord record{owner, text != nullptr ? text : "", caption != nullptr,
                                           caption != nullptr ? caption : "", type};
    if (std::getenv("NX_PRINT_MESSAGE_BOXES") != nullptr) {
        // A null caption shows as "Error", as the system's message box titles it.
        std::fprintf(stderr, "[message box] %s: %s\n",
                     record.hasCaption ? record.caption.c_str() : "Error", record.text.c_str());
    }
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards messageBoxes
    records.messageBoxes.push_back(std::move(record));
    return IDOK;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    const std::string narrowCaption = nxplat::NarrowName(caption);
    return MessageBoxA(owner, nxplat::NarrowName(text).c_str(),
                       caption != nullptr ? narrowCaption.c_str() : nullptr, type);
}

int WINAPI lstrlenA(LPCSTR text) { return text != nullptr ? static_cast<int>(std::strlen(text)) : 0; }

int WINAPI lstrlenW(LPCWSTR text)
{
    int length = 0;
    while (text != nullptr && text[length] != 0)
        ++length;
    return length;
}

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int size)
{
    if (destination == nullptr || source == nullptr || size <= 0)
        return destination;
    int i = 0;
    for (; i < size - 1 && source[i] != 0; ++i)
        destination[i] = source[i];
    destination[i] = 0;
    return destination;
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a ? a : "", b ? b : ""); }
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) { return std::strcmp(a ? a : "", b ? b : ""); }

std::vector<platform_test::MessageBoxRecord> platform_test::MessageBoxes()
{
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards messageBoxes
    return records.messageBoxes;
}

void platform_test::ClearMessageBoxes()
{
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards messageBoxes
    records.messageBoxes.clear();
}

std::vector<platform_test::WinExecRecord> platform_test::WinExecCalls()
{
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards winExecCalls
    return records.winExecCalls;
}

void platform_test::ClearWinExecCalls()
{
    Records& records = TheRecords();
    std::lock_guard<std::mutex> hold(records.lock);  // guards winExecCalls
    records.winExecCalls.clear();
}
