// What differs between the operating systems for the host tool: how a driver library is
// found, loaded and asked for a driver object, the clock, and whether output is a terminal.
// One implementation per OS (loader_posix.cpp, loader_win32.cpp), chosen by the build.
#pragma once

#include "asio.h"

#include <cstdint>
#include <string>

namespace asiohost {

class DriverLoader {
public:
    DriverLoader() = default;
    ~DriverLoader();
    DriverLoader(const DriverLoader&) = delete;
    DriverLoader& operator=(const DriverLoader&) = delete;

    // path empty: the default driver of this OS. argv0 helps to find the program's folder.
    bool Open(const std::string& path, const char* argv0, std::string* error);
    // A new driver object holding one reference, or null with the reason in error.
    IASIO* Create(std::string* error);
    // DllCanUnloadNow's answer (S_OK 0, S_FALSE 1), or -1 when it cannot be asked.
    long CanUnloadNow();
    void Close();
    // Which driver was loaded: the library path, or the registered class identifier.
    const std::string& Source() const { return source; }

private:
    void* module = nullptr;
    bool comActivation = false;
    bool comInitialized = false;
    CLSID clsid = {};
    std::string source;
};

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
// The library's class factory asked for a driver object; null with the reason in error.
IASIO* CreateThroughFactory(GetClassObjectFn getClassObject, std::string* error);
std::string HexResult(HRESULT hr);  // "0x80004002"

std::uint64_t NowMs();            // monotonic milliseconds
void SleepMs(unsigned ms);
bool IsTerminal(bool standardError);

}  // namespace asiohost
