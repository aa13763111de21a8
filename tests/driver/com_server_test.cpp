// The COM server as a host's COM runtime sees it: DllGetClassObject, the class factory,
// CreateInstance with and without aggregation, DllCanUnloadNow, DllEntryPoint, and the
// driver's description operations with and without a device.
#include "com_server.h"
#include "driver_life_support.h"

using namespace driver_life;

namespace {

const CLSID kOtherClsid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
void* const kSentinel = reinterpret_cast<void*>(0x5A5A);

// An aggregating object that records what reaches it through the inner object.
struct TestOuter : public IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        ++queries;
        lastIid = iid;
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    int queries = 0;
    int refs = 1;
    IID lastIid = {};
};

class ComServerTest : public DriverLifeTest {
protected:
    IClassFactory* Factory()
    {
        void* object = nullptr;
        EXPECT_EQ(library.GetClassObject(CLSID_Brixen, IID_IClassFactory, &object), S_OK);
        return static_cast<IClassFactory*>(object);
    }
};

TEST_F(ComServerTest, GetClassObjectGivesAFactoryForClassFactoryOrUnknown)
{
    for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
        void* object = nullptr;
        ASSERT_EQ(library.GetClassObject(CLSID_Brixen, *iid, &object), S_OK);
        ASSERT_NE(object, nullptr);
        auto* factory = static_cast<IClassFactory*>(object);
        void* again = nullptr;
        EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, &again), S_OK);
        EXPECT_EQ(again, object);
        EXPECT_EQ(factory->Release(), 1u);
        EXPECT_EQ(factory->Release(), 0u);
    }
    // A factory is not a live object.
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, GetClassObjectRefusesOtherInterfacesBeforeLookingAtTheClass)
{
    struct Case {
        const CLSID* clsid;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&CLSID_Brixen, &CLSID_Brixen, E_NOINTERFACE},
        {&kOtherClsid, &kOtherClsid, E_NOINTERFACE},
        {&kOtherClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {&kOtherClsid, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
    };
    for (const Case& c : cases) {
        void* object = kSentinel;
        EXPECT_EQ(library.GetClassObject(*c.clsid, *c.iid, &object), c.expected);
        EXPECT_EQ(object, kSentinel) << "out pointer must stay untouched";
    }
}

TEST_F(ComServerTest, FactoryQueryInterface)
{
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    void* object = kSentinel;
    EXPECT_EQ(factory->QueryInterface(CLSID_Brixen, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, factory);
    EXPECT_EQ(factory->AddRef(), 3u);
    EXPECT_EQ(factory->Release(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComServerTest, CreateInstanceStandalone)
{
    Sim().AddDevice(1, QuietDevice());
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_Brixen, nullptr), E_POINTER);

    // IASIO is asked for with the class identifier; it comes with one reference.
    void* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_Brixen, &object), S_OK);
    auto* driver = static_cast<IASIO*>(object);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    void* same = nullptr;
    EXPECT_EQ(driver->QueryInterface(CLSID_Brixen, &same), S_OK);
    EXPECT_EQ(same, object);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    // IID_IUnknown gives the inner (non-delegating) unknown, which hands out IASIO.
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), S_OK);
    auto* inner = static_cast<INonDelegatingUnknown*>(object);
    void* asio = nullptr;
    EXPECT_EQ(inner->InnerQueryInterface(CLSID_Brixen, &asio), S_OK);
    ASSERT_NE(asio, nullptr);
    EXPECT_NE(asio, object);
    EXPECT_EQ(inner->InnerQueryInterface(CLSID_Brixen, nullptr), E_POINTER);
    EXPECT_EQ(static_cast<IASIO*>(asio)->getDriverVersion(), 1);
    EXPECT_EQ(static_cast<IASIO*>(asio)->Release(), 1u);
    EXPECT_EQ(inner->InnerRelease(), 0u);

    // Any other interface: nothing stays alive.
    object = kSentinel;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    factory->Release();
    ExpectNothingLeft();
}

TEST_F(ComServerTest, CreateInstanceAggregated)
{
    Sim().AddDevice(1, QuietDevice());
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    TestOuter outer;

    // An outer object may only ask for the inner unknown; nothing is created otherwise.
    void* object = kSentinel;
    Sim().ClearLog();
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_Brixen, &object), E_NOINTERFACE);
    EXPECT_EQ(object, kSentinel);
    EXPECT_TRUE(Sim().Log().empty()) << "no device may be touched";
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &object), S_OK);
    auto* inner = static_cast<INonDelegatingUnknown*>(object);
    EXPECT_EQ(outer.refs, 1) << "the inner object does not hold its outer object";

    void* asioObject = nullptr;
    ASSERT_EQ(inner->InnerQueryInterface(CLSID_Brixen, &asioObject), S_OK);
    auto* asio = static_cast<IASIO*>(asioObject);
    EXPECT_EQ(outer.refs, 2) << "IASIO references belong to the outer object";

    // IUnknown on the IASIO pointer is the outer object's.
    void* other = nullptr;
    EXPECT_EQ(asio->QueryInterface(CLSID_Brixen, &other), E_NOINTERFACE);
    EXPECT_EQ(outer.queries, 1);
    EXPECT_TRUE(IsEqualIID(outer.lastIid, CLSID_Brixen));
    EXPECT_EQ(asio->AddRef(), 3u);
    EXPECT_EQ(asio->Release(), 2u);
    EXPECT_EQ(asio->Release(), 1u);
    EXPECT_EQ(asio->init(nullptr), ASIOTrue);

    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(inner->InnerRelease(), 0u);
    EXPECT_EQ(outer.refs, 1);
    factory->Release();
    ExpectNothingLeft();
}

TEST_F(ComServerTest, CanUnloadNowCountsObjectsAndServerLocks)
{
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    IASIO* first = library.CreateDriver();
    IASIO* second = library.CreateDriver();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    first->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    second->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    factory->Release();
}

TEST_F(ComServerTest, EntryPointReturnsTrueForEveryReason)
{
    for (DWORD reason : {DWORD(DLL_PROCESS_ATTACH), DWORD(DLL_THREAD_ATTACH), DWORD(DLL_THREAD_DETACH),
                         DWORD(DLL_PROCESS_DETACH), DWORD(77)})
        EXPECT_EQ(library.EntryPoint(reason), TRUE) << reason;
}

// ---------------------------------------------------------------------------
// Description operations

const char kNoDevice[] = "Can not found a device. Please connect the device.";

TEST_F(ComServerTest, WithoutDeviceTheObjectReportsIt)
{
    IASIO* driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);

    char text[200];
    std::memset(text, 0x55, sizeof(text));
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, kNoDevice);
    for (size_t i = sizeof(kNoDevice); i < 124; ++i)
        EXPECT_EQ(text[i], 0) << i;
    for (size_t i = 124; i < sizeof(text); ++i)
        ASSERT_EQ(text[i], 0x55) << "written beyond 124 bytes at " << i;

    char name[16];
    std::memset(name, 0x55, sizeof(name));
    driver->getDriverName(name);
    EXPECT_EQ(std::memcmp(name, "BRIXEN", 7), 0);
    EXPECT_EQ(name[7], 0x55);
    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
    EXPECT_EQ(driver->getDriverVersion(), 1);

    // Every device operation answers "not present".
    LONG a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(driver->getBufferSize(&a, &b, &c, &d), ASE_NotPresent);
    EXPECT_EQ(driver->canSampleRate(48000.0), ASE_NotPresent);

    EXPECT_EQ(driver->Release(), 0u);
    ExpectNothingLeft();
}

TEST_F(ComServerTest, WithDeviceInitSucceedsWhateverTheHandle)
{
    Sim().AddDevice(1, QuietDevice());
    IASIO* driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);
    int dummy = 0;
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&dummy), kSentinel})
        EXPECT_EQ(driver->init(handle), ASIOTrue);

    char text[124];
    std::memset(text, 0x55, sizeof(text));
    driver->getErrorMessage(text);
    for (char ch : text)
        ASSERT_EQ(ch, 0);

    char name[8] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "BRIXEN");
    EXPECT_EQ(driver->Release(), 0u);
    ExpectNothingLeft();
}

}  // namespace
