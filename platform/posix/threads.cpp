// Threads: CreateThread on pthreads, exit codes, priorities, the live thread count.
#include "objects.h"
#include "test_hooks.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> liveThreads{0};

// What the new thread needs; it owns this and deletes it.
struct StartBlock {
    std::shared_ptr<nxplat::KernelObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Applies a Win32 priority to a running thread (by its kernel id). Time-critical asks for
// SCHED_FIFO, which needs a privilege we may not have: then the thread stays normal.
void ApplyPriority(pid_t tid, int priority)
{
    sched_param param{};
    if (priority >= THREAD_PRIORITY_TIME_CRITICAL) {
        param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
        if (sched_setscheduler(tid, SCHED_FIFO, &param) == 0)
            return;
        param.sched_priority = 0;
    }
    sched_setscheduler(tid, SCHED_OTHER, &param);
}

void* ThreadMain(void* argument)
{
    StartBlock* start = static_cast<StartBlock*>(argument);
    const DWORD self = nxplat::CurrentThreadId();
    {
        std::lock_guard<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards the thread object
        start->thread->tid = static_cast<pid_t>(self);
        nxplat::ObjectsChanged().Broadcast();
    }
    const DWORD exitCode = start->routine(start->parameter);
    {
        std::lock_guard<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards thread and mutexes
        start->thread->exitCode = exitCode;
        start->thread->signalled = true;
        nxplat::AbandonMutexesOf(self);
        --liveThreads;
        nxplat::WakeWaiters(*start->thread);
    }
    delete start;
    return nullptr;
}

// With ObjectLock() held: the thread object of a handle, or of the pseudo handle.
std::shared_ptr<nxplat::KernelObject> FindThread(HANDLE handle)
{
    auto object = nxplat::FindObject(handle);
    return object && object->kind == nxplat::ObjectKind::Thread ? object : nullptr;
}

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
thread_local int currentPriority = THREAD_PRIORITY_NORMAL;  // for threads we did not create

}  // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    if (routine == nullptr || (flags & CREATE_SUSPENDED) != 0) {
        SetLastError(routine == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto thread = std::make_shared<nxplat::KernelObject>(nxplat::ObjectKind::Thread);
    StartBlock* start = new StartBlock{thread, routine, parameter};

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // New threads start at normal priority, as on Windows, even when a time-critical
    // thread creates them (pthreads would inherit SCHED_FIFO).
    sched_param normal{};
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    pthread_attr_setschedparam(&attributes, &normal);
    size_t defaultStack = 0;
    pthread_attr_getstacksize(&attributes, &defaultStack);
    if (stackSize > defaultStack)
        pthread_attr_setstacksize(&attributes, stackSize);
    ++liveThreads;
    pthread_t id;
    const int failed = pthread_create(&id, &attributes, ThreadMain, start);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        --liveThreads;
        delete start;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::unique_lock<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards the thread object
    while (thread->tid == 0)
        nxplat::ObjectsChanged().Wait(hold);
    if (threadId != nullptr)
        *threadId = static_cast<DWORD>(thread->tid);
    return nxplat::AddHandle(thread);
}

HANDLE WINAPI GetCurrentThread() { return kCurrentThread; }
DWORD WINAPI GetCurrentThreadId() { return nxplat::CurrentThreadId(); }
HANDLE WINAPI GetCurrentProcess() { return kCurrentProcess; }
DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL WINAPI SetThreadPriority(HANDLE handle, int priority)
{
    if (handle == kCurrentThread) {
        currentPriority = priority;
        ApplyPriority(0, priority);
        return TRUE;
    }
    std::lock_guard<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards the thread object
    auto thread = FindThread(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread->priority = priority;
    // While the lock is held a running thread cannot finish, so its id stays its own.
    if (!thread->signalled)
        ApplyPriority(thread->tid, priority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE handle)
{
    if (handle == kCurrentThread)
        return currentPriority;
    std::lock_guard<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards the thread object
    auto thread = FindThread(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return thread->priority;
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode)
{
    std::lock_guard<nxplat::PiMutex> hold(nxplat::ObjectLock());  // guards the thread object
    auto thread = FindThread(handle);
    if (!thread || exitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = thread->exitCode;
    return TRUE;
}

int platform_test::LiveThreadCount() { return liveThreads.load(); }
