#include "driver_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

TestHost* TestHost::current = nullptr;

DriverLibrary::DriverLibrary()
{
    module = dlopen(NX_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(module, nullptr) << dlerror();
}

DriverLibrary::~DriverLibrary()
{
    if (module != nullptr)
        dlclose(module);
}

template <typename F> F DriverLibrary::Symbol(const char* name)
{
    void* symbol = module != nullptr ? dlsym(module, name) : nullptr;
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<F>(symbol);
}

HRESULT DriverLibrary::GetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    auto f = Symbol<HRESULT (*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    return f != nullptr ? f(clsid, iid, object) : E_FAIL;
}

HRESULT DriverLibrary::CanUnloadNow()
{
    auto f = Symbol<HRESULT (*)()>("DllCanUnloadNow");
    return f != nullptr ? f() : E_FAIL;
}

HRESULT DriverLibrary::RegisterServer()
{
    auto f = Symbol<HRESULT (*)()>("DllRegisterServer");
    return f != nullptr ? f() : E_FAIL;
}

HRESULT DriverLibrary::UnregisterServer()
{
    auto f = Symbol<HRESULT (*)()>("DllUnregisterServer");
    return f != nullptr ? f() : E_FAIL;
}

BOOL DriverLibrary::EntryPoint(DWORD reason)
{
    auto f = Symbol<BOOL (*)(HINSTANCE, DWORD, LPVOID)>("DllEntryPoint");
    return f != nullptr ? f(nullptr, reason, nullptr) : FALSE;
}

IASIO* DriverLibrary::CreateDriver()
{
    IClassFactory* factory = nullptr;
    if (GetClassObject(CLSID_Brixen, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
        return nullptr;
    IASIO* driver = nullptr;
    HRESULT hr = factory->CreateInstance(nullptr, CLSID_Brixen, reinterpret_cast<void**>(&driver));
    factory->Release();
    return hr == S_OK ? driver : nullptr;
}

TestHost::TestHost()
{
    callbacks = {};
    callbacks.bufferSwitch = &TestHost::BufferSwitchThunk;
    callbacks.asioMessage = &TestHost::AsioMessageThunk;
    current = this;
}

TestHost::~TestHost()
{
    current = nullptr;
}

std::vector<HostCall> TestHost::Calls()
{
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

void TestHost::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
}

int TestHost::BufferSwitchCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const HostCall& call : calls)
        n += call.kind == HostCall::BufferSwitch ? 1 : 0;
    return n;
}

void TestHost::SupportResetRequest(bool supported)
{
    std::lock_guard<std::mutex> lock(mutex);
    supportReset = supported;
}

void TestHost::OnBufferSwitch(std::function<void(LONG)> action)
{
    std::lock_guard<std::mutex> lock(mutex);
    onSwitch = std::move(action);
}

void TestHost::BufferSwitchThunk(LONG index, ASIOBool direct)
{
    TestHost* host = current;
    if (host == nullptr)
        return;
    std::function<void(LONG)> action;
    {
        std::lock_guard<std::mutex> lock(host->mutex);
        host->calls.push_back({HostCall::BufferSwitch, index, direct});
        action = host->onSwitch;
    }
    if (action)
        action(index);
}

LONG TestHost::AsioMessageThunk(LONG selector, LONG value, void*, double*)
{
    TestHost* host = current;
    if (host == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(host->mutex);
    host->calls.push_back({HostCall::AsioMessage, selector, value});
    if (selector == kAsioSelectorSupported)
        return (value == kAsioResetRequest && host->supportReset) ? 1 : 0;
    return 0;
}
