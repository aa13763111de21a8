// Linux: the driver library is loaded as a host's COM runtime would load it in process:
// dlopen, then the exported DllGetClassObject and the class factory.
#include "host_os.h"

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace asiohost {

namespace {

typedef HRESULT (*CanUnloadNowFn)();

std::string ProgramFolder(const char* argv0)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string exe = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(argv0 ? argv0 : "");
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

std::string DefaultDriverPath(const char* argv0)
{
    std::string beside = ProgramFolder(argv0) + "/libNxqe2650.so";
    if (access(beside.c_str(), R_OK) == 0)
        return beside;
#ifdef NX_DEFAULT_DRIVER_PATH
    return NX_DEFAULT_DRIVER_PATH;
#else
    return beside;
#endif
}

}  // namespace

DriverLoader::~DriverLoader()
{
    Close();
}

bool DriverLoader::Open(const std::string& path, const char* argv0, std::string* error)
{
    source = path.empty() ? DefaultDriverPath(argv0) : path;
    module = dlopen(source.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + source + ": " + (why ? why : "unknown error");
        return false;
    }
    if (dlsym(module, "DllGetClassObject") == nullptr) {
        *error = source + " does not export DllGetClassObject";
        return false;
    }
    return true;
}

IASIO* DriverLoader::Create(std::string* error)
{
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(module ? dlsym(module, "DllGetClassObject") : nullptr);
    if (getClassObject == nullptr) {
        *error = "no driver library loaded";
        return nullptr;
    }
    return CreateThroughFactory(getClassObject, error);
}

long DriverLoader::CanUnloadNow()
{
    auto canUnload = reinterpret_cast<CanUnloadNowFn>(module ? dlsym(module, "DllCanUnloadNow") : nullptr);
    return canUnload != nullptr ? static_cast<long>(canUnload()) : -1;
}

void DriverLoader::Close()
{
    if (module != nullptr)
        dlclose(module);
    module = nullptr;
}

std::uint64_t NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMs(unsigned ms)
{
    timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

bool IsTerminal(bool standardError)
{
    return isatty(standardError ? STDERR_FILENO : STDOUT_FILENO) != 0;
}

}  // namespace asiohost
