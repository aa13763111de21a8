// In-process COM server plumbing: reference-counted objects with aggregation,
// the class factory and the table of creatable classes.
#pragma once

#include "win32.h"

// The three operations that never pass through an aggregating object.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;
};

// Process-wide counters behind DllCanUnloadNow.
extern volatile LONG liveObjectCount;  // atomic
extern LONG serverLockCount;           // plain

// Counts itself in liveObjectCount for its whole life.
class CBaseObject {
public:
    CBaseObject();
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // outer: the aggregating object's IUnknown, or null for a standalone object.
    explicit CUnknown(IUnknown* outer);
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE InnerAddRef() override;
    ULONG STDMETHODCALLTYPE InnerRelease() override;
    virtual ~CUnknown();

protected:
    IUnknown* controllingUnknown;  // owner of the object's identity
    volatile LONG refCount;        // atomic
};

// One creatable class.
struct ClassTableEntry {
    const CLSID* clsid;
    INonDelegatingUnknown* (*create)(IUnknown* outer, HRESULT* result);
    void (*onLoad)(BOOL loading, const CLSID* clsid);
};
extern const ClassTableEntry classTable[];
extern const int classTableSize;

class CClassFactory : public IClassFactory {
public:
    explicit CClassFactory(const ClassTableEntry* entry);
    virtual ~CClassFactory() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    const ClassTableEntry* entry;
    LONG refCount;  // plain, as COM factories are used from one apartment
};

// The library's exports (C linkage, undecorated names; the module definition file lists them).
// NX_EXPORT marks them visible in the Linux library, whose other symbols are hidden.
extern "C" {
NX_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object);
NX_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
NX_EXPORT BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved);
NX_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void);
NX_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void);
}
