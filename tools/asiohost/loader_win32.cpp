// Windows: the driver is found as ASIO hosts find it, through its registration under
// HKLM\SOFTWARE\ASIO\BRIXEN ("CLSID") and COM activation; or, with --driver, by loading
// the given library and asking its DllGetClassObject directly.
#include "host_os.h"

#include <io.h>
#include <stdio.h>

#include <string>

namespace asiohost {

namespace {

typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();

bool RegisteredClass(CLSID* clsid, std::string* text, std::string* error)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        *error = "the driver is not registered (HKLM\\SOFTWARE\\ASIO\\BRIXEN is missing)";
        return false;
    }
    char value[64] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        *error = "HKLM\\SOFTWARE\\ASIO\\BRIXEN has no CLSID text";
        return false;
    }
    value[sizeof value - 1] = 0;
    WCHAR wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, value, -1, wide, 64);
    if (FAILED(CLSIDFromString(wide, clsid))) {
        *error = std::string("HKLM\\SOFTWARE\\ASIO\\BRIXEN CLSID is not a class identifier: ") + value;
        return false;
    }
    *text = value;
    return true;
}

}  // namespace

DriverLoader::~DriverLoader()
{
    Close();
}

bool DriverLoader::Open(const std::string& path, const char*, std::string* error)
{
    if (!path.empty()) {
        source = path;
        module = LoadLibraryA(path.c_str());
        if (module == nullptr) {
            *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        return true;
    }
    std::string text;
    if (!RegisteredClass(&clsid, &text, error))
        return false;
    comInitialized = SUCCEEDED(CoInitialize(nullptr));
    comActivation = true;
    source = "CLSID " + text;
    return true;
}

IASIO* DriverLoader::Create(std::string* error)
{
    IASIO* driver = nullptr;
    if (comActivation) {
        // Hosts pass the class identifier as the interface identifier too.
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
        if (FAILED(hr) || driver == nullptr) {
            *error = "CoCreateInstance failed (" + HexResult(hr) + ")";
            return nullptr;
        }
        return driver;
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), "DllGetClassObject")) : nullptr);
    if (getClassObject == nullptr) {
        *error = source + " does not export DllGetClassObject";
        return nullptr;
    }
    return CreateThroughFactory(getClassObject, error);
}

long DriverLoader::CanUnloadNow()
{
    if (module == nullptr)
        return -1;
    auto canUnload = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), "DllCanUnloadNow")));
    return canUnload != nullptr ? static_cast<long>(canUnload()) : -1;
}

void DriverLoader::Close()
{
    if (module != nullptr)
        FreeLibrary(static_cast<HMODULE>(module));
    module = nullptr;
    if (comInitialized)
        CoUninitialize();
    comInitialized = false;
}

std::uint64_t NowMs()
{
    return GetTickCount64();
}

void SleepMs(unsigned ms)
{
    Sleep(ms);
}

bool IsTerminal(bool standardError)
{
    return _isatty(_fileno(standardError ? stderr : stdout)) != 0;
}

}  // namespace asiohost
