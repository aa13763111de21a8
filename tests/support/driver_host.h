// Loads the driver library the way a host's COM runtime does (dlopen, then the exported
// DllGetClassObject) and records the host callbacks the driver makes.
#pragma once

#include "asio.h"
#include "win32.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class DriverLibrary {
public:
    DriverLibrary();   // loads NX_DRIVER_PATH; fails the current test if it cannot
    ~DriverLibrary();  // unloads

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);
    HRESULT CanUnloadNow();
    HRESULT RegisterServer();
    HRESULT UnregisterServer();
    BOOL EntryPoint(DWORD reason);

    // Factory + CreateInstance(null, CLSID_Brixen, CLSID_Brixen): the IASIO with one reference.
    IASIO* CreateDriver();

private:
    void* module;
    template <typename F> F Symbol(const char* name);
};

// One recorded callback from the driver to the host.
struct HostCall {
    enum Kind { BufferSwitch, AsioMessage } kind;
    LONG a;  // bufferSwitch: index; asioMessage: selector
    LONG b;  // bufferSwitch: directProcess; asioMessage: value
};

// The host side of ASIOCallbacks. There is one active TestHost at a time (the callbacks
// are plain C functions), installed by its constructor.
class TestHost {
public:
    TestHost();
    ~TestHost();

    ASIOCallbacks* Callbacks() { return &callbacks; }
    std::vector<HostCall> Calls();
    void ClearCalls();
    int BufferSwitchCount();

    // Answer to asioMessage(kAsioSelectorSupported, kAsioResetRequest): default 1.
    void SupportResetRequest(bool supported);
    // Runs inside each bufferSwitch, after it was recorded (the driver holds its stream lock).
    void OnBufferSwitch(std::function<void(LONG index)> action);

    static TestHost* current;
    static void BufferSwitchThunk(LONG index, ASIOBool direct);
    static LONG AsioMessageThunk(LONG selector, LONG value, void* message, double* opt);

private:
    ASIOCallbacks callbacks;
    std::mutex mutex;  // guards calls, supportReset, onSwitch
    std::vector<HostCall> calls;
    bool supportReset = true;
    std::function<void(LONG)> onSwitch;
};
