// The worker thread: a thread with a start handshake, a stop and a user event, and the
// driver's ten kernel-signalled events, each turned into a call on the driver object.
#include "asio_thread.h"

#include "asio_ours.h"
#include "trace.h"

static void CloseAndClear(HANDLE* handle)
{
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

static HANDLE CreateAutoResetEvent()
{
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// ---------------------------------------------------------------------------
// CThreadBase

CThreadBase::CThreadBase() : threadHandle(nullptr), threadId(0), startHandshake(nullptr)
{
}

CThreadBase::~CThreadBase()
{
    CloseAndClear(&startHandshake);
    CloseAndClear(&threadHandle);
}

bool CThreadBase::OnStopEvent()
{
    return true;
}

bool CThreadBase::OnUserEvent()
{
    return true;
}

DWORD WINAPI CThreadBase::EntryRoutine(LPVOID self)
{
    CThreadBase* thread = static_cast<CThreadBase*>(self);
    SetEvent(thread->startHandshake);
    return thread->Run();
}

// ---------------------------------------------------------------------------
// CUsrThread

CUsrThread::CUsrThread() : stopEvent(nullptr), userEvent(nullptr)
{
}

CUsrThread::~CUsrThread()
{
    CloseAndClear(&stopEvent);
    CloseAndClear(&userEvent);
}

bool CUsrThread::StartThread()
{
    if (stopEvent == nullptr)
        stopEvent = CreateAutoResetEvent();
    if (userEvent == nullptr)
        userEvent = CreateAutoResetEvent();
    if (stopEvent == nullptr || userEvent == nullptr) {
        CloseAndClear(&stopEvent);
        CloseAndClear(&userEvent);
        return false;
    }
    if (threadHandle != nullptr)
        return true;

    startHandshake = CreateAutoResetEvent();
    if (startHandshake == nullptr)
        return false;
    threadHandle = CreateThread(nullptr, 0, &CThreadBase::EntryRoutine, this, 0, &threadId);
    // The caller may rely on the thread running once this returns.
    if (threadHandle != nullptr)
        WaitForSingleObject(startHandshake, INFINITE);
    CloseAndClear(&startHandshake);
    return threadHandle != nullptr;
}

DWORD CUsrThread::Run()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    for (;;) {
        HANDLE events[2] = {stopEvent, userEvent};
        DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) {
            if (OnStopEvent())
                return 1;
        } else if (which == WAIT_OBJECT_0 + 1) {
            OnUserEvent();
        }
    }
}

// ---------------------------------------------------------------------------
// CAsioTh

CAsioTh::CAsioTh() : owner(nullptr)
{
    for (HANDLE& event : deviceEvents)
        event = nullptr;
    for (HANDLE& entry : waitTable)
        entry = nullptr;
}

CAsioTh::~CAsioTh()
{
    for (HANDLE& event : deviceEvents)
        CloseAndClear(&event);
}

bool CAsioTh::Start()
{
    bool created = true;
    for (int i = 0; i < kDeviceEventCount && created; ++i) {
        if (deviceEvents[i] == nullptr)
            deviceEvents[i] = CreateAutoResetEvent();
        created = deviceEvents[i] != nullptr;
    }
    if (created) {
        for (int i = 0; i < kDeviceEventCount; ++i)
            waitTable[2 + i] = deviceEvents[i];
        if (StartThread())
            return true;
    }
    Stop();
    return false;
}

void CAsioTh::Stop()
{
    if (stopEvent != nullptr)
        SetEvent(stopEvent);
    if (threadHandle != nullptr) {
        WaitForSingleObject(threadHandle, INFINITE);
        CloseAndClear(&threadHandle);
    }
    threadId = 0;
    CloseAll();
}

void CAsioTh::CloseAll()
{
    CloseAndClear(&stopEvent);
    CloseAndClear(&userEvent);
    for (HANDLE& event : deviceEvents)
        CloseAndClear(&event);
    for (HANDLE& entry : waitTable)
        entry = nullptr;
}

DWORD CAsioTh::Run()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    for (;;) {
        waitTable[0] = stopEvent;
        waitTable[1] = userEvent;
        DWORD which = WaitForMultipleObjects(kWaitTableSize, waitTable, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) {
            if (OnStopEvent())
                return 1;
        } else if (which >= WAIT_OBJECT_0 + 2 && which < WAIT_OBJECT_0 + 2 + kDeviceSlots) {
            if (owner != nullptr)
                owner->OnRemovalEvent(static_cast<int>(which - WAIT_OBJECT_0 - 2));
        } else if (which == WAIT_OBJECT_0 + 2 + kMessageEventIndex) {
            if (owner != nullptr)
                owner->OnMessageEvent();
        } else if (which == WAIT_OBJECT_0 + 2 + kPeriodEventIndex) {
            if (owner != nullptr)
                owner->OnPeriodEvent();
        }
        // userEvent and anything else: wait again.
    }
}
