// Events, named mutexes, waits, handles, critical sections and the thread's last error.
#include "objects.h"
#include "precise_time.h"
#include "test_hooks.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <unordered_map>

namespace nxplat {
namespace {

struct Table {
    PiMutex lock;
    Condition changed;
    // Guarded by lock: open handles, and the named objects (by name; events and mutexes
    // share one namespace as on Windows).
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> handles;
    std::map<std::string, std::weak_ptr<KernelObject>> names;
    std::uintptr_t nextHandle = 0x1000;
};

// Never destroyed: threads may still wait or close handles while the process exits.
Table& TheTable()
{
    static Table* table = new Table;
    return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

// Creates an event or mutex, or opens the existing object of that name.
// With table.lock held.
HANDLE CreateNamed(ObjectKind kind, const char* name, const std::shared_ptr<KernelObject>& fresh)
{
    Table& table = TheTable();
    if (name != nullptr && *name != 0) {
        auto found = table.names.find(name);
        if (found != table.names.end()) {
            if (auto existing = found->second.lock()) {
                if (existing->kind != kind) {
                    lastError = ERROR_INVALID_HANDLE;
                    return nullptr;
                }
                HANDLE handle = AddHandle(existing);
                lastError = ERROR_ALREADY_EXISTS;
                return handle;
            }
        }
        fresh->name = name;
        table.names[name] = fresh;
    }
    HANDLE handle = AddHandle(fresh);
    lastError = ERROR_SUCCESS;
    return handle;
}

// With the lock held: whether a wait on the object would be satisfied now by this thread.
bool IsSignalled(const KernelObject& object, DWORD self)
{
    if (object.kind == ObjectKind::Mutex)
        return object.owner == 0 || object.owner == self;
    return object.signalled;
}

// With the lock held: takes what a satisfied wait takes; the result for this object.
DWORD Consume(KernelObject& object, DWORD self, DWORD index)
{
    switch (object.kind) {
    case ObjectKind::Event:
        if (!object.manualReset)
            object.signalled = false;
        break;
    case ObjectKind::Mutex:
        object.owner = self;
        ++object.recursion;
        if (object.abandoned) {
            object.abandoned = false;
            return WAIT_ABANDONED_0 + index;
        }
        break;
    case ObjectKind::Thread:
        break;
    }
    return WAIT_OBJECT_0 + index;
}

}  // namespace

PiMutex::PiMutex(bool recursive) { InitPiMutex(&mutex, recursive); }
PiMutex::~PiMutex() { pthread_mutex_destroy(&mutex); }

void InitPiMutex(pthread_mutex_t* mutex, bool recursive)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (recursive)
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

Condition::Condition()
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

Condition::~Condition() { pthread_cond_destroy(&condition); }

void Condition::Wait(std::unique_lock<PiMutex>& hold)
{
    pthread_cond_wait(&condition, hold.mutex()->native());
}

bool Condition::WaitUntil(std::unique_lock<PiMutex>& hold, std::uint64_t deadlineNs)
{
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000ull);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000ull);
    return pthread_cond_timedwait(&condition, hold.mutex()->native(), &deadline) != ETIMEDOUT;
}

PiMutex& ObjectLock() { return TheTable().lock; }

void WakeWaiters(KernelObject& object)
{
    for (Waiter* waiter : object.waiters)
        waiter->wake.Signal();
}
Condition& ObjectsChanged() { return TheTable().changed; }

HANDLE AddHandle(const std::shared_ptr<KernelObject>& object)
{
    Table& table = TheTable();
    HANDLE handle = reinterpret_cast<HANDLE>(table.nextHandle);
    table.nextHandle += 4;
    table.handles[handle] = object;
    return handle;
}

std::shared_ptr<KernelObject> FindObject(HANDLE handle)
{
    Table& table = TheTable();
    auto found = table.handles.find(handle);
    return found == table.handles.end() ? nullptr : found->second;
}

void AbandonMutexesOf(DWORD threadId)
{
    for (auto& entry : TheTable().handles) {
        KernelObject& object = *entry.second;
        if (object.kind == ObjectKind::Mutex && object.owner == threadId) {
            object.owner = 0;
            object.recursion = 0;
            object.abandoned = true;
            WakeWaiters(object);
        }
    }
}

namespace {

thread_local DWORD cachedThreadId = 0;

// A forked child's thread has a new id: forget the parent's.
void ForgetThreadId() { cachedThreadId = 0; }

}  // namespace

DWORD CurrentThreadId()
{
    if (cachedThreadId == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, ForgetThreadId);
        (void)registered;
        cachedThreadId = static_cast<DWORD>(::syscall(SYS_gettid));
    }
    return cachedThreadId;
}

std::string Utf16ToUtf8(LPCWSTR text)
{
    std::string out;
    for (; *text != 0; ++text) {
        std::uint32_t c = *text;
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        if (lead >= 0x80 && lead < 0xC0)
            extra = 0, c = 0xFFFD;  // a stray continuation byte
        ++i;
        for (int k = 0; k < extra; ++k, ++i) {
            if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string NarrowName(LPCWSTR name)
{
    return name == nullptr ? std::string() : Utf16ToUtf8(name);
}

}  // namespace nxplat

using namespace nxplat;

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD error) { lastError = error; }

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    auto event = std::make_shared<KernelObject>(ObjectKind::Event);
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the handle table
    return CreateNamed(ObjectKind::Event, name, event);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                           LPCWSTR name)
{
    std::string narrow = NarrowName(name);
    return CreateEventA(security, manualReset, initialState, name ? narrow.c_str() : nullptr);
}

namespace {

BOOL ChangeEvent(HANDLE handle, bool signalled)
{
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the event's state
    auto object = FindObject(handle);
    if (!object || object->kind != ObjectKind::Event) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    object->signalled = signalled;
    if (signalled)
        WakeWaiters(*object);
    return TRUE;
}

}  // namespace

BOOL WINAPI SetEvent(HANDLE event) { return ChangeEvent(event, true); }
BOOL WINAPI ResetEvent(HANDLE event) { return ChangeEvent(event, false); }

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    if (waitAll) {
        lastError = ERROR_NOT_SUPPORTED;
        return WAIT_FAILED;
    }
    const std::uint64_t deadline = PreciseNowNs() + std::uint64_t(milliseconds) * 1000000u;
    const DWORD self = CurrentThreadId();
    std::unique_lock<PiMutex> hold(ObjectLock());  // guards every object's state
    // Keep the objects alive for the whole wait even if another thread closes a handle.
    std::shared_ptr<KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = FindObject(handles[i]);
        if (!objects[i]) {
            lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        if (IsSignalled(*objects[i], self))
            return Consume(*objects[i], self, i);
    }
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    Waiter waiter;
    for (DWORD i = 0; i < count; ++i)
        objects[i]->waiters.push_back(&waiter);
    DWORD result = WAIT_TIMEOUT;
    for (bool timedOut = false; result == WAIT_TIMEOUT && !timedOut;) {
        if (milliseconds == INFINITE)
            waiter.wake.Wait(hold);
        else
            timedOut = !waiter.wake.WaitUntil(hold, deadline);
        for (DWORD i = 0; i < count; ++i) {
            if (IsSignalled(*objects[i], self)) {
                result = Consume(*objects[i], self, i);
                break;
            }
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        auto& waiters = objects[i]->waiters;
        waiters.erase(std::find(waiters.begin(), waiters.end(), &waiter));
    }
    return result;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> last;  // released after the lock, outside it
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the handle table
    auto& handles = TheTable().handles;
    auto found = handles.find(handle);
    if (found == handles.end()) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    last = std::move(found->second);
    handles.erase(found);
    if (last.use_count() == 1 && !last->name.empty())
        TheTable().names.erase(last->name);
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL, DWORD)
{
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the handle table
    auto object = FindObject(source);
    if (!object || target == nullptr) {
        lastError = object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *target = AddHandle(object);
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name)
{
    auto mutex = std::make_shared<KernelObject>(ObjectKind::Mutex);
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the handle table and names
    HANDLE handle = CreateNamed(ObjectKind::Mutex, name, mutex);
    if (handle != nullptr && initialOwner && lastError != ERROR_ALREADY_EXISTS) {
        mutex->owner = CurrentThreadId();
        mutex->recursion = 1;
    }
    return handle;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name)
{
    std::string narrow = NarrowName(name);
    return CreateMutexA(security, initialOwner, name ? narrow.c_str() : nullptr);
}

BOOL WINAPI ReleaseMutex(HANDLE handle)
{
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the mutex's owner
    auto object = FindObject(handle);
    if (!object || object->kind != ObjectKind::Mutex) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (object->owner != CurrentThreadId()) {
        lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    if (--object->recursion == 0) {
        object->owner = 0;
        WakeWaiters(*object);
    }
    return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    InitPiMutex(&section->mutex, true);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD)
{
    InitializeCriticalSection(section);
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(&section->mutex); }

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return pthread_mutex_trylock(&section->mutex) == 0 ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->mutex); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }

int platform_test::LiveHandleCount()
{
    std::lock_guard<PiMutex> hold(ObjectLock());  // guards the handle table
    return static_cast<int>(TheTable().handles.size());
}
