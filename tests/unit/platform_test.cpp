// The POSIX Win32 subset: the semantics the driver relies on (event release rules, waits,
// threads, critical sections, global memory, the registry, WinExec, message boxes).
#include "nxkd_sim.h"
#include "precise_time.h"
#include "test_hooks.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

namespace {

// Generous bound for things that must happen; short bound for things that must not.
constexpr DWORD kMust = 5000;
constexpr DWORD kMustNot = 50;

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nxsim::Simulator::Instance().Reset();
        platform_test::ResetRegistry();
        platform_test::ClearMessageBoxes();
        platform_test::ClearWinExecCalls();
        handlesAtStart = platform_test::LiveHandleCount();
        threadsAtStart = platform_test::LiveThreadCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(platform_test::LiveHandleCount(), handlesAtStart);
        // Every test waits for its threads' handles, which signal once the count dropped.
        EXPECT_EQ(platform_test::LiveThreadCount(), threadsAtStart);
    }
    int handlesAtStart = 0;
    int threadsAtStart = 0;
};

// A thread running a lambda; the handle is closed by the destructor.
class Thread {
public:
    template <typename F>
    explicit Thread(F body) : function(body)
    {
        handle = CreateThread(nullptr, 0, &Thread::Entry, this, 0, &id);
    }
    ~Thread()
    {
        if (handle != nullptr) {
            WaitForSingleObject(handle, kMust);
            CloseHandle(handle);
        }
    }
    HANDLE handle = nullptr;
    DWORD id = 0;

private:
    static DWORD WINAPI Entry(LPVOID self) { return static_cast<Thread*>(self)->function(); }
    std::function<DWORD()> function;
};

// ---- events and waits -----------------------------------------------------------------

TEST_F(PlatformTest, AutoResetEventReleasesOneWaitPerSignal)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    // Two signals without a waiter are one signal.
    SetEvent(event);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // Two waiters, one signal: exactly one of them returns.
    std::atomic<int> released{0};
    auto waiter = [&] {
        DWORD result = WaitForSingleObject(event, kMust);
        if (result == WAIT_OBJECT_0)
            ++released;
        return result;
    };
    {
        Thread first(waiter);
        Thread second(waiter);
        SetEvent(event);
        HANDLE threads[] = {first.handle, second.handle};
        const DWORD done = WaitForMultipleObjects(2, threads, FALSE, kMust);
        ASSERT_LT(done, 2u);
        EXPECT_EQ(WaitForSingleObject(threads[1 - done], kMustNot), WAIT_TIMEOUT);
        EXPECT_EQ(released.load(), 1);
        SetEvent(event);
        EXPECT_EQ(WaitForSingleObject(threads[1 - done], kMust), WAIT_OBJECT_0);
        DWORD code[2];
        GetExitCodeThread(first.handle, &code[0]);
        GetExitCodeThread(second.handle, &code[1]);
        EXPECT_EQ(code[0], WAIT_OBJECT_0);
        EXPECT_EQ(code[1], WAIT_OBJECT_0);
    }
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // both signals consumed
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(PlatformTest, ManualResetEventStaysSignalledUntilReset)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    {
        Thread first([&] { return WaitForSingleObject(event, kMust); });
        Thread second([&] { return WaitForSingleObject(event, kMust); });
        HANDLE threads[] = {first.handle, second.handle};
        for (HANDLE thread : threads)
            EXPECT_EQ(WaitForSingleObject(thread, kMust), WAIT_OBJECT_0);
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);

    HANDLE initiallySet = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_TIMEOUT);
    CloseHandle(initiallySet);
}

TEST_F(PlatformTest, WaitForMultipleReturnsLowestSignalledAndConsumesOnlyIt)
{
    HANDLE events[3];
    for (HANDLE& event : events)
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);

    // A manual-reset event at a lower index keeps winning while set.
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE mixed[] = {manual, events[0]};
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0 + 1);

    // A signal from another thread wakes a blocked wait with the right index.
    {
        Thread setter([&] { return static_cast<DWORD>(SetEvent(events[2])); });
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, kMust), WAIT_OBJECT_0 + 2);
    }
    for (HANDLE event : events)
        CloseHandle(event);
    CloseHandle(manual);
}

TEST_F(PlatformTest, WaitsTimeOutAndRefuseBadArguments)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const std::uint64_t start = PreciseNowNs();
    EXPECT_EQ(WaitForSingleObject(event, 30), WAIT_TIMEOUT);
    EXPECT_GE(PreciseNowNs() - start, 29000000u);  // never returns early

    HANDLE unknown = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7777770));
    HANDLE list[] = {event, unknown};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForMultipleObjects(0, list, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, list, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, list, TRUE, 0), WAIT_FAILED);  // waitAll unsupported
    EXPECT_FALSE(SetEvent(unknown));
    CloseHandle(event);
}

TEST_F(PlatformTest, HandlesAreCountedAndClosedOnce)
{
    const int start = platform_test::LiveHandleCount();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(platform_test::LiveHandleCount(), start + 2);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_EQ(platform_test::LiveHandleCount(), start);

    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));  // already closed
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
}

TEST_F(PlatformTest, LastErrorIsPerThread)
{
    SetLastError(ERROR_MORE_DATA);
    Thread other([] {
        SetLastError(ERROR_GEN_FAILURE);
        return GetLastError();
    });
    WaitForSingleObject(other.handle, kMust);
    DWORD code = 0;
    GetExitCodeThread(other.handle, &code);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

// ---- threads --------------------------------------------------------------------------

TEST_F(PlatformTest, ThreadHandleSignalsWhenTheRoutineReturns)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD idInside = 0;
    Thread worker([&] {
        idInside = GetCurrentThreadId();
        WaitForSingleObject(go, kMust);
        return DWORD{42};
    });
    ASSERT_NE(worker.handle, nullptr);
    EXPECT_NE(worker.id, 0u);
    EXPECT_NE(worker.id, GetCurrentThreadId());
    EXPECT_EQ(platform_test::LiveThreadCount(), threadsAtStart + 1);
    EXPECT_EQ(WaitForSingleObject(worker.handle, kMustNot), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(worker.handle, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    // Priorities never fail, whether or not real-time scheduling is permitted.
    EXPECT_TRUE(SetThreadPriority(worker.handle, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_TRUE(SetThreadPriority(worker.handle, THREAD_PRIORITY_NORMAL));

    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(worker.handle, kMust), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(worker.handle, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(worker.handle, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(idInside, worker.id);
    CloseHandle(go);
}

TEST_F(PlatformTest, ThreadPriorityOnCurrentThreadAndBadHandles)
{
    Thread worker([] {
        BOOL critical = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        BOOL highest = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
        return static_cast<DWORD>(critical && highest);
    });
    WaitForSingleObject(worker.handle, kMust);
    DWORD code = 0;
    GetExitCodeThread(worker.handle, &code);
    EXPECT_EQ(code, 1u);
    HANDLE unknown = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7777770));
    EXPECT_FALSE(SetThreadPriority(unknown, THREAD_PRIORITY_NORMAL));
    EXPECT_FALSE(GetExitCodeThread(unknown, &code));
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST_F(PlatformTest, ThreadsStartAtNormalPriorityWhateverTheirCreator)
{
    Thread creator([] {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        Thread created([] { return static_cast<DWORD>(sched_getscheduler(0)); });
        WaitForSingleObject(created.handle, kMust);
        DWORD policy = 99;
        GetExitCodeThread(created.handle, &policy);
        return policy;
    });
    WaitForSingleObject(creator.handle, kMust);
    DWORD policy = 99;
    GetExitCodeThread(creator.handle, &policy);
    EXPECT_EQ(policy, static_cast<DWORD>(SCHED_OTHER));
}

// ---- mutexes and critical sections -----------------------------------------------------

TEST_F(PlatformTest, NamedMutexIsSharedAndOwnedRecursively)
{
    HANDLE first = CreateMutexA(nullptr, TRUE, "Local\\NxPlatformTest");
    ASSERT_NE(first, nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE second = CreateMutexA(nullptr, FALSE, "Local\\NxPlatformTest");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // owner again: recursion 2
    {
        Thread other([&] { return WaitForSingleObject(second, 0); });
        WaitForSingleObject(other.handle, kMust);
        DWORD code = 0;
        GetExitCodeThread(other.handle, &code);
        EXPECT_EQ(code, WAIT_TIMEOUT);
        Thread stranger([&] { return static_cast<DWORD>(ReleaseMutex(first)); });
        WaitForSingleObject(stranger.handle, kMust);
        GetExitCodeThread(stranger.handle, &code);
        EXPECT_EQ(code, static_cast<DWORD>(FALSE));  // only the owner releases
    }
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_FALSE(ReleaseMutex(first));
    {
        Thread other([&] {
            DWORD result = WaitForSingleObject(second, 0);
            ReleaseMutex(second);
            return result;
        });
        WaitForSingleObject(other.handle, kMust);
        DWORD code = 0;
        GetExitCodeThread(other.handle, &code);
        EXPECT_EQ(code, WAIT_OBJECT_0);
    }
    CloseHandle(first);
    CloseHandle(second);

    // Once every handle is closed the name is free again.
    HANDLE again = CreateMutexW(nullptr, FALSE, u"Local\\NxPlatformTest");
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
}

TEST_F(PlatformTest, MutexLeftByAnEndedThreadIsAbandoned)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    {
        Thread owner([&] { return WaitForSingleObject(mutex, 0); });
    }
    EXPECT_EQ(WaitForSingleObject(mutex, kMust), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(PlatformTest, CriticalSectionIsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));  // held twice now

    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        Thread other([&] {
            const BOOL tried = TryEnterCriticalSection(&section);
            EnterCriticalSection(&section);
            SetEvent(entered);
            LeaveCriticalSection(&section);
            return static_cast<DWORD>(tried);
        });
        LeaveCriticalSection(&section);
        EXPECT_EQ(WaitForSingleObject(entered, kMustNot), WAIT_TIMEOUT);  // still held once
        LeaveCriticalSection(&section);
        EXPECT_EQ(WaitForSingleObject(entered, kMust), WAIT_OBJECT_0);
        WaitForSingleObject(other.handle, kMust);
        DWORD tried = 1;
        GetExitCodeThread(other.handle, &tried);
        EXPECT_EQ(tried, static_cast<DWORD>(FALSE));
    }
    CloseHandle(entered);
    DeleteCriticalSection(&section);
}

TEST_F(PlatformTest, InterlockedOperationsReturnWin32Values)
{
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 9);  // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedExchangeAdd(&value, -3), 1);
    EXPECT_EQ(value, -2);

    LONG volatile counter = 0;
    {
        auto add = [&] {
            for (int i = 0; i < 20000; ++i)
                InterlockedIncrement(&counter);
            return DWORD{0};
        };
        Thread a(add);
        Thread b(add);
    }
    EXPECT_EQ(counter, 40000);
}

// ---- memory and time ------------------------------------------------------------------

TEST_F(PlatformTest, GlobalMemoryIsZeroedSizedAndFreedOnce)
{
    for (UINT flags : {UINT(GHND), UINT(GPTR), UINT(GMEM_MOVEABLE | GMEM_ZEROINIT)}) {
        HGLOBAL memory = GlobalAlloc(flags, 4099);
        ASSERT_NE(memory, nullptr);
        EXPECT_EQ(GlobalSize(memory), 4099u);
        BYTE* bytes = static_cast<BYTE*>(GlobalLock(memory));
        ASSERT_NE(bytes, nullptr);
        int nonZero = 0;
        for (int i = 0; i < 4099; ++i)
            nonZero += bytes[i] != 0;
        EXPECT_EQ(nonZero, 0);
        std::memset(bytes, 0xAB, 4099);
        GlobalUnlock(memory);
        EXPECT_EQ(GlobalFree(memory), nullptr);
    }
    HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 16);
    EXPECT_EQ(GlobalLock(fixed), fixed);
    GlobalUnlock(fixed);
    EXPECT_EQ(GlobalFree(fixed), nullptr);
    EXPECT_EQ(GlobalFree(fixed), fixed);  // freed already: refused, not freed twice
    EXPECT_EQ(GlobalSize(fixed), 0u);
}

TEST_F(PlatformTest, HugeGlobalAllocationsFailCleanly)
{
    for (SIZE_T bytes : {~SIZE_T(0), SIZE_T(1) << 62, SIZE_T(0xFFFFFFFFu) + 1}) {
        SetLastError(0);
        EXPECT_EQ(GlobalAlloc(GHND, bytes), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
}

TEST_F(PlatformTest, ClocksAreMonotonicAndSleepWaits)
{
    const DWORD before = timeGetTime();
    const std::uint64_t preciseBefore = PreciseNowNs();
    Sleep(5);
    EXPECT_GE(timeGetTime() - before, 4u);  // wrap-safe difference
    EXPECT_GE(PreciseNowNs() - preciseBefore, 5000000u);
    const std::uint64_t deadline = PreciseNowNs() + 2000000;
    PreciseSleepUntilNs(deadline);
    EXPECT_GE(PreciseNowNs(), deadline);
    PreciseSleepUntilNs(deadline - 1000000);  // a past deadline returns at once
}

// ---- registry -------------------------------------------------------------------------

class RegistryTest : public PlatformTest {
protected:
    // Creates the path with full access and returns the open key.
    HKEY Create(HKEY root, const char* path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    LONG SetString(HKEY key, const char* name, const char* text)
    {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              static_cast<DWORD>(std::strlen(text) + 1));
    }
    std::string GetString(HKEY key, const char* name)
    {
        char buffer[512] = {};
        DWORD size = sizeof buffer;
        DWORD type = 0;
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS)
            return "<missing>";
        return std::string(buffer);
    }
};

TEST_F(RegistryTest, CreateOpenAndSizeFirstQuery)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(SetString(key, "CLSID", "{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, nullptr, "default"), ERROR_SUCCESS);
    const DWORD number = 0x12345678;
    EXPECT_EQ(RegSetValueExA(key, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\asio\\brixen", 0, nullptr, 0, KEY_READ,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // Size first: no buffer gives the size with the terminator.
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "clsid", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 39u);
    char small[10];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "CLSID", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 39u);
    EXPECT_EQ(GetString(key, "CLSID"), "{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}");
    EXPECT_EQ(GetString(key, ""), "default");
    EXPECT_EQ(GetString(key, nullptr), "default");

    DWORD read = 0;
    size = sizeof read;
    EXPECT_EQ(RegQueryValueExA(key, "LEVEL", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, number);

    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    // HKEY_CLASSES_ROOT is a root of its own.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "SOFTWARE\\ASIO\\BRIXEN", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeyOpenedForReadingRefusesWrites)
{
    RegCloseKey(Create(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{x}", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, "", "path"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, "InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    // Write-only keys refuse reads in turn.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{X}", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, "", "path"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, EnumeratesSubkeysInNameOrder)
{
    HKEY parent = Create(HKEY_CURRENT_USER, "Software\\Nx");
    for (const char* name : {"beta", "Alpha", "gamma-long-name"})
        RegCloseKey(Create(parent, name));

    char name[8];
    const char* expected[] = {"Alpha", "beta"};
    for (DWORD i = 0; i < 2; ++i) {
        DWORD length = sizeof name;
        ASSERT_EQ(RegEnumKeyExA(parent, i, name, &length, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(length, std::strlen(expected[i]));
    }
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 3, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeysAndStaleHandlesFail)
{
    HKEY leaf = Create(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32");
    SetString(leaf, "ThreadingModel", "Apartment");
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{B}"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{a}\\inprocserver32"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_SUCCESS);

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(leaf, "ThreadingModel", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(leaf, "x", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(leaf), ERROR_INVALID_HANDLE);

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, WideEntryPointsShareValuesWithNarrowOnes)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Nx\\Wide", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char16_t text[] = u"\u30c6\u30b9\u30c8 ok";  // "テスト ok"
    ASSERT_EQ(RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             sizeof text),
              ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, "name"), "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88 ok");

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"NAME", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    char16_t back[16] = {};
    size = sizeof back;
    EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(back), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(back), std::u16string(text));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\NX\\WIDE", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SaveAndLoadKeepKeysValuesAndBytes)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN");
    SetString(key, "Description", "quote \" back\\slash\nnewline");
    SetString(key, nullptr, "");
    const BYTE blob[] = {0, 1, 0xFF, 0, 'a'};
    RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob);
    RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0);
    RegCloseKey(key);
    RegCloseKey(Create(HKEY_CLASSES_ROOT, "CLSID\\{Empty Key}"));

    const std::string path = ::testing::TempDir() + "nx_registry_save_test.txt";
    ASSERT_TRUE(platform_test::SaveRegistry(path));
    platform_test::ResetRegistry();
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(platform_test::LoadRegistry(path));

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, "Description"), "quote \" back\\slash\nnewline");
    EXPECT_EQ(GetString(key, ""), "");
    BYTE back[16];
    DWORD size = sizeof back;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, back, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, sizeof blob);
    EXPECT_EQ(std::memcmp(back, blob, sizeof blob), 0);
    size = sizeof back;
    EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, back, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{empty key}", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    // A file that cannot be parsed leaves the registry as it was.
    const std::string bad = ::testing::TempDir() + "nx_registry_bad_test.txt";
    std::ofstream(bad) << "[HKEY_NOWHERE\\X]\n";
    EXPECT_FALSE(platform_test::LoadRegistry(bad));
    EXPECT_FALSE(platform_test::LoadRegistry(bad + ".missing"));
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{empty key}", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    std::remove(path.c_str());
    std::remove(bad.c_str());
}

// The file named by NX_REGISTRY_FILE is read at the first registry call of a process and
// rewritten after each change. The first use happens in a fresh process (re-executed).
TEST(RegistryFileTest, ReadAtFirstUseAndWrittenAfterChanges)
{
    const std::string path = ::testing::TempDir() + "nx_registry_env_test.txt";
    std::ofstream(path) << "; test\n[HKEY_CURRENT_USER\\Software\\Nx]\n\"Level\"=dword:00000007\n";
    setenv("NX_REGISTRY_FILE", path.c_str(), 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HKEY key = nullptr;
            DWORD level = 0;
            DWORD size = sizeof level;
            const bool read =
                RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nx", 0, KEY_ALL_ACCESS, &key) == 0 &&
                RegQueryValueExA(key, "Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&level),
                                 &size) == 0 &&
                level == 7;
            level = 9;
            RegSetValueExA(key, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), 4);
            std::exit(read ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("NX_REGISTRY_FILE");

    ASSERT_TRUE(platform_test::LoadRegistry(path));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nx", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD level = 0;
    DWORD size = sizeof level;
    EXPECT_EQ(RegQueryValueExA(key, "Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&level), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(level, 9u);
    RegCloseKey(key);
    platform_test::ResetRegistry();
    std::remove(path.c_str());
}

TEST_F(RegistryTest, SystemDirectoryIsConfigurable)
{
    char buffer[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), 19u);
    EXPECT_STREQ(buffer, "C:\\Windows\\system32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 19), 20u);  // no room for the terminator
    platform_test::SetSystemDirectory("/opt/nx");
    EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), 7u);
    EXPECT_STREQ(buffer, "/opt/nx");
    platform_test::SetSystemDirectory("C:\\Windows\\system32");
}

// ---- processes, message boxes, COM ----------------------------------------------------

// Children of this process that have ended but were not reaped.
int ZombieChildren()
{
    int zombies = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    const std::string self = std::to_string(getpid());
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
            state == 'Z' && std::to_string(parent) == self)
            ++zombies;
    }
    closedir(proc);
    return zombies;
}

TEST_F(PlatformTest, WinExecStartsProgramsAndReportsMissingOnes)
{
    struct Case {
        const char* commandLine;
        bool starts;
    } cases[] = {
        {"/bin/true", true},
        {"true --ignored \"quoted argument\"", true},
        {"\"/bin/true\"", true},
        {"/nonexistent/program.exe -x", false},
        {"C:\\Windows\\system32\\Nxsp2650.exe", false},
        {"no-such-program-anywhere", false},
        {"", false},
    };
    for (const Case& c : cases) {
        const UINT result = WinExec(c.commandLine, SW_SHOWNORMAL);
        if (c.starts)
            EXPECT_GE(result, 32u) << c.commandLine;
        else
            EXPECT_EQ(result, static_cast<UINT>(ERROR_FILE_NOT_FOUND)) << c.commandLine;
    }
    const auto calls = platform_test::WinExecCalls();
    ASSERT_EQ(calls.size(), sizeof cases / sizeof cases[0]);
    EXPECT_EQ(calls[1].commandLine, cases[1].commandLine);
    EXPECT_EQ(calls[1].show, static_cast<UINT>(SW_SHOWNORMAL));
    EXPECT_EQ(calls[3].result, static_cast<UINT>(ERROR_FILE_NOT_FOUND));

    // Started programs are reaped without the caller waiting for them.
    int zombies = ZombieChildren();
    for (int i = 0; i < 500 && zombies != 0; ++i) {
        Sleep(10);
        zombies = ZombieChildren();
    }
    EXPECT_EQ(zombies, 0);
}

TEST_F(PlatformTest, MessageBoxesAreRecordedAndAnsweredOk)
{
    EXPECT_EQ(MessageBoxA(nullptr, "Device not found", "BRIXEN", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "No caption", nullptr, MB_OK), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, u"\u30c7\u30d0\u30a4\u30b9", u"Nx", MB_ICONWARNING), IDOK);
    const auto boxes = platform_test::MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Device not found");
    EXPECT_TRUE(boxes[0].hasCaption);
    EXPECT_EQ(boxes[0].caption, "BRIXEN");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_FALSE(boxes[1].hasCaption);
    EXPECT_EQ(boxes[2].text, "\xe3\x83\x87\xe3\x83\x90\xe3\x82\xa4\xe3\x82\xb9");
    EXPECT_EQ(boxes[2].caption, "Nx");
    platform_test::ClearMessageBoxes();
    EXPECT_TRUE(platform_test::MessageBoxes().empty());
}

TEST(ComTest, WellKnownInterfaceIdentifiers)
{
    WCHAR text[39];
    ASSERT_EQ(StringFromGUID2(IID_IUnknown, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{00000000-0000-0000-C000-000000000046}");
    ASSERT_EQ(StringFromGUID2(IID_IClassFactory, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{00000001-0000-0000-C000-000000000046}");
    EXPECT_EQ(StringFromGUID2(IID_IUnknown, text, 38), 0);
    EXPECT_TRUE(IID_IUnknown != IID_IClassFactory);
    EXPECT_TRUE(IsEqualGUID(IID_IUnknown, IID_IUnknown));
    EXPECT_EQ(sizeof(GUID), 16u);
    EXPECT_EQ(sizeof(LONG), 4u);
    EXPECT_EQ(sizeof(DWORD), 4u);
    EXPECT_EQ(sizeof(WCHAR), 2u);
    EXPECT_EQ(sizeof(SIZE_T), sizeof(void*));
}

}  // namespace
