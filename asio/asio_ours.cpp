// The driver object: identity, description, and its life from construction (which opens
// the device) to destruction (which closes everything again).
#include "asio_ours.h"

#include "trace.h"

#include <cstring>
#include <new>

static const char kDriverName[] = "BRIXEN";
static const char kNoDeviceMessage[] = "Can not found a device. Please connect the device.";

// Copies at most kErrorMessageBytes - 1 characters and zero-fills the rest: always writes
// exactly kErrorMessageBytes bytes.
static void CopyErrorText(char* destination, const char* source)
{
    size_t length = std::strlen(source);
    if (length > kErrorMessageBytes - 1)
        length = kErrorMessageBytes - 1;
    std::memcpy(destination, source, length);
    std::memset(destination + length, 0, kErrorMessageBytes - length);
}

// ---------------------------------------------------------------------------
// AsioOursBase

AsioOursBase::AsioOursBase(IUnknown* outer)
    : CUnknown(outer),
      started(0),
      hostCallbacks(nullptr),
      bufferSize(0),
      totalSamples(0),
      samplePosition(0),
      kernelTimeMs(0),
      timeStampNs(0),
      kernelPeriodIndex(0),
      half(0)
{
    std::memset(errorMessage, 0, sizeof(errorMessage));
    std::memset(&settings, 0, sizeof(settings));
    PresetSettingsDefaults(&settings);

    InitializeCriticalSection(&stateLock);
    std::memset(&resetState, 0, sizeof(resetState));
    resetState.stateOwner = nullptr;

    InitializeCriticalSection(&positionLock);
    InitializeCriticalSection(&streamLock);
    InitializeCriticalSection(&apiLock);
}

// The standalone object's controlling unknown is its own non-delegating interface, which
// shares IUnknown's slot order; it is called through its own type here.
HRESULT STDMETHODCALLTYPE AsioOursBase::QueryInterface(REFIID iid, void** object)
{
    if (controllingUnknown == reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)))
        return InnerQueryInterface(iid, object);
    return controllingUnknown->QueryInterface(iid, object);
}

ULONG STDMETHODCALLTYPE AsioOursBase::AddRef()
{
    if (controllingUnknown == reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)))
        return InnerAddRef();
    return controllingUnknown->AddRef();
}

ULONG STDMETHODCALLTYPE AsioOursBase::Release()
{
    if (controllingUnknown == reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)))
        return InnerRelease();
    return controllingUnknown->Release();
}

HRESULT STDMETHODCALLTYPE AsioOursBase::InnerQueryInterface(REFIID iid, void** object)
{
    // Hosts ask for IASIO with the class identifier.
    if (IsEqualCLSID(iid, CLSID_Brixen)) {
        if (object == nullptr)
            return E_POINTER;
        *object = static_cast<IASIO*>(this);
        static_cast<IASIO*>(this)->AddRef();
        return S_OK;
    }
    return CUnknown::InnerQueryInterface(iid, object);
}

void AsioOursBase::getDriverName(char* name)
{
    if (name != nullptr)
        std::memcpy(name, kDriverName, sizeof(kDriverName));
}

LONG AsioOursBase::getDriverVersion()
{
    return 1;
}

void AsioOursBase::getErrorMessage(char* string)
{
    if (string != nullptr)
        CopyErrorText(string, errorMessage);
}

// ---------------------------------------------------------------------------
// AsioOurs

INonDelegatingUnknown* AsioOurs::Create(IUnknown* outer, HRESULT* /*result*/)
{
    AsioOurs* object = new (std::nothrow) AsioOurs(outer);
    return object != nullptr ? static_cast<INonDelegatingUnknown*>(object) : nullptr;
}

AsioOurs::AsioOurs(IUnknown* outer) : AsioOursBase(outer)
{
    devices.Init(this);
    if (!devices.OpenDevs()) {
        CopyErrorText(errorMessage, kNoDeviceMessage);
        return;
    }

    // The worker thread may already be closing a removed device.
    EnterCriticalSection(&devices.handleLock);
    for (int i = 0; i < kCandidateSlots; ++i) {
        CDevOne& slot = devices.slots[i];
        if (devices.present[i] == 0 || !slot.IsOpen())
            continue;
        NxValueRecord option = {0, slot.inputOption};
        SendRequest(slot.handle, IOCTL_NXKD_SET_INPUT_OPTION, &option, sizeof(option));
    }
    // A refused read leaves the defaults.
    devices.SendToMain(IOCTL_NXKD_GET_SETTINGS, &settings, sizeof(settings));
    LeaveCriticalSection(&devices.handleLock);

    EnterCriticalSection(&stateLock);  // resetState
    std::memset(&resetState, 0, sizeof(resetState));
    resetState.stateOwner = this;
    LeaveCriticalSection(&stateLock);
}

AsioOurs::~AsioOurs()
{
    // apiLock keeps the worker thread's removal handling off the slots while they are
    // stopped, released and closed here. It is given up before the worker thread is
    // waited for, since that thread takes it.
    EnterCriticalSection(&apiLock);
    if (HasDevice() && bufferSize != 0)
        stop();
    disposeBuffers();

    EnterCriticalSection(&stateLock);  // resetState
    std::memset(&resetState, 0, sizeof(resetState));
    resetState.stateOwner = nullptr;
    LeaveCriticalSection(&stateLock);

    devices.CloseSlots();
    LeaveCriticalSection(&apiLock);

    devices.CloseDevs();

    DeleteCriticalSection(&apiLock);
    DeleteCriticalSection(&streamLock);
    DeleteCriticalSection(&positionLock);
    DeleteCriticalSection(&stateLock);
}

ASIOBool AsioOurs::init(void* /*sysHandle*/)
{
    return HasDevice() ? ASIOTrue : ASIOFalse;
}

void AsioOurs::OnRemovalEvent(int slot)
{
    // Host operations that address the device hold apiLock, so they never see the slot
    // half closed or `main` half repaired.
    EnterCriticalSection(&apiLock);
    devices.OnRemoval(slot);
    LeaveCriticalSection(&apiLock);
}
