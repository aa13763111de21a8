// Kernel objects of the POSIX Win32 subset: the handle table shared by events, mutexes
// and threads (sync.cpp owns it, threads.cpp adds thread objects).
#pragma once

#include "win32_posix.h"

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nxplat {

enum class ObjectKind { Event, Mutex, Thread };

// A mutex with priority inheritance: time-critical threads (SCHED_FIFO) share it with
// normal ones, and a normal holder preempted under load must not hold them up.
class PiMutex {
public:
    explicit PiMutex(bool recursive = false);
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }
    pthread_mutex_t* native() { return &mutex; }

private:
    pthread_mutex_t mutex;
};

// Sets up a pthread mutex in place (critical sections use it too).
void InitPiMutex(pthread_mutex_t* mutex, bool recursive);

// A condition variable on CLOCK_MONOTONIC for a PiMutex.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    void Wait(std::unique_lock<PiMutex>& hold);
    // False when the deadline (PreciseNowNs() time) passed.
    bool WaitUntil(std::unique_lock<PiMutex>& hold, std::uint64_t deadlineNs);
    void Signal() { pthread_cond_signal(&condition); }
    void Broadcast() { pthread_cond_broadcast(&condition); }

private:
    pthread_cond_t condition;
};

// A thread blocked in WaitForMultipleObjects: woken only by the objects it waits on.
struct Waiter {
    Condition wake;
};

// Every field is guarded by ObjectLock().
struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    const ObjectKind kind;
    bool signalled = false;     // event: set; thread: routine returned
    bool manualReset = false;   // event
    DWORD owner = 0;            // mutex: owning thread id, 0 when free
    DWORD recursion = 0;        // mutex
    bool abandoned = false;     // mutex: owner ended while holding it
    std::string name;           // named event or mutex
    // thread
    DWORD exitCode = STILL_ACTIVE;
    pid_t tid = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    std::vector<Waiter*> waiters;  // threads blocked on this object now
};

// One lock for the handle table and every object's state, so that a wait on several
// objects sees them consistently. ObjectsChanged() tells CreateThread that a new thread
// has recorded its id.
PiMutex& ObjectLock();
Condition& ObjectsChanged();

// With ObjectLock() held: after an object became signalled (or a mutex free).
void WakeWaiters(KernelObject& object);

// Both with ObjectLock() held.
HANDLE AddHandle(const std::shared_ptr<KernelObject>& object);
std::shared_ptr<KernelObject> FindObject(HANDLE handle);

// With ObjectLock() held: marks the mutexes a finished thread still owns as abandoned.
void AbandonMutexesOf(DWORD threadId);

DWORD CurrentThreadId();

// Text conversions for the W entry points (UTF-16 <-> UTF-8); NarrowName maps null to "".
std::string Utf16ToUtf8(LPCWSTR text);
std::u16string Utf8ToUtf16(const std::string& text);
std::string NarrowName(LPCWSTR name);

}  // namespace nxplat
