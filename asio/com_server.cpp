// In-process COM server: object counting, aggregation-aware reference counting, the
// class factory and the library's COM entry points.
#include "com_server.h"

#include "asio_ours.h"
#include "trace.h"

#include <new>

// {6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}
const CLSID CLSID_Brixen = {0x6B3E91C4, 0x52D7, 0x4A0F, {0x9E, 0x21, 0xC5, 0xA8, 0xD0, 0x4F, 0x7B, 0x36}};

volatile LONG liveObjectCount = 0;
LONG serverLockCount = 0;

const ClassTableEntry classTable[] = {
    {&CLSID_Brixen, &AsioOurs::Create, nullptr},
};
const int classTableSize = sizeof(classTable) / sizeof(classTable[0]);

// ---------------------------------------------------------------------------
// CBaseObject

CBaseObject::CBaseObject()
{
    InterlockedIncrement(&liveObjectCount);
}

CBaseObject::~CBaseObject()
{
    InterlockedDecrement(&liveObjectCount);
}

// ---------------------------------------------------------------------------
// CUnknown

CUnknown::CUnknown(IUnknown* outer)
    // Without an aggregating object the object is its own controlling unknown: the
    // non-delegating interface has IUnknown's three slots in IUnknown's order.
    : controllingUnknown(outer != nullptr
                             ? outer
                             : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))),
      refCount(0)
{
}

CUnknown::~CUnknown() = default;

HRESULT STDMETHODCALLTYPE CUnknown::InnerQueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
        *object = static_cast<INonDelegatingUnknown*>(this);
        InnerAddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::InnerAddRef()
{
    LONG count = InterlockedIncrement(&refCount);
    return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG STDMETHODCALLTYPE CUnknown::InnerRelease()
{
    LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        // Keeps the count off zero while the destructor runs, so that an AddRef/Release
        // pair made during destruction cannot delete the object a second time.
        InterlockedIncrement(&refCount);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count > 1 ? count : 1);
}

// ---------------------------------------------------------------------------
// CClassFactory

CClassFactory::CClassFactory(const ClassTableEntry* tableEntry) : entry(tableEntry), refCount(0)
{
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef()
{
    return static_cast<ULONG>(++refCount);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release()
{
    if (--refCount == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(refCount);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    // An aggregated object can only hand out its non-delegating unknown.
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
        return E_NOINTERFACE;

    HRESULT result = S_OK;
    INonDelegatingUnknown* created = entry->create(outer, &result);
    if (created == nullptr)
        return E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete static_cast<CUnknown*>(created);
        return result;
    }
    // The temporary reference makes a failed query delete the object again.
    created->InnerAddRef();
    HRESULT query = created->InnerQueryInterface(iid, object);
    created->InnerRelease();
    return query;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock)
{
    if (lock)
        ++serverLockCount;
    else
        --serverLockCount;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Exports

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    for (int i = 0; i < classTableSize; ++i) {
        if (!IsEqualCLSID(clsid, *classTable[i].clsid))
            continue;
        if (object == nullptr)
            return E_POINTER;
        CClassFactory* factory = new (std::nothrow) CClassFactory(&classTable[i]);
        if (factory == nullptr) {
            *object = nullptr;
            return E_OUTOFMEMORY;
        }
        *object = static_cast<IClassFactory*>(factory);
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow(void)
{
    LONG live = InterlockedCompareExchange(&liveObjectCount, 0, 0);  // atomic read
    return (serverLockCount > 0 || live != 0) ? S_FALSE : S_OK;
}

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        for (int i = 0; i < classTableSize; ++i) {
            if (classTable[i].onLoad != nullptr)
                classTable[i].onLoad(TRUE, classTable[i].clsid);
        }
    } else if (reason == DLL_PROCESS_DETACH) {
        for (int i = 0; i < classTableSize; ++i) {
            if (classTable[i].onLoad != nullptr)
                classTable[i].onLoad(FALSE, classTable[i].clsid);
        }
    }
    return TRUE;
}
