// Both loaders end the same way: ask the library's class factory for a driver object,
// passing the class identifier as the interface identifier, as ASIO hosts do.
#include "host_os.h"

#include <cstdio>

namespace asiohost {

std::string HexResult(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(hr)));
    return text;
}

IASIO* CreateThroughFactory(GetClassObjectFn getClassObject, std::string* error)
{
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_Brixen, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (hr != S_OK || factory == nullptr) {
        *error = "DllGetClassObject failed (" + HexResult(hr) + ")";
        return nullptr;
    }
    IASIO* driver = nullptr;
    hr = factory->CreateInstance(nullptr, CLSID_Brixen, reinterpret_cast<void**>(&driver));
    factory->Release();
    if (hr != S_OK || driver == nullptr) {
        *error = "CreateInstance failed (" + HexResult(hr) + ")";
        return nullptr;
    }
    return driver;
}

}  // namespace asiohost
