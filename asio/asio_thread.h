// The driver's worker thread: waits on its stop and user events and on the ten events
// the kernel driver signals, and turns each into a call on the driver object.
#pragma once

#include "win32.h"

class AsioOurs;

constexpr int kDeviceEventCount = 10;  // removalEvent 0..7, messageEvent, periodEvent
constexpr int kWaitTableSize = 12;
constexpr int kMessageEventIndex = 8;  // in deviceEvents
constexpr int kPeriodEventIndex = 9;   // in deviceEvents

class CThreadBase {
public:
    CThreadBase();
    ~CThreadBase();  // closes what is still open; never stops a running thread
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    virtual DWORD Run() = 0;
    virtual bool OnStopEvent();
    virtual bool OnUserEvent();

protected:
    static DWORD WINAPI EntryRoutine(LPVOID self);

    HANDLE threadHandle;
    DWORD threadId;
    HANDLE startHandshake;  // exists only while StartThread waits for the new thread
};

class CUsrThread : public CThreadBase {
public:
    CUsrThread();
    ~CUsrThread();
    bool StartThread();
    DWORD Run() override;

protected:
    HANDLE stopEvent;  // auto-reset
    HANDLE userEvent;  // auto-reset, signalled by nobody
};

class CAsioTh : public CUsrThread {
public:
    CAsioTh();
    ~CAsioTh();

    // Creates the ten device events and starts the thread; cleans up on failure.
    bool Start();
    // Signals stopEvent, waits for the thread and closes every handle.
    void Stop();
    DWORD Run() override;

    HANDLE RemovalEvent(int slot) const { return deviceEvents[slot]; }
    HANDLE MessageEvent() const { return deviceEvents[kMessageEventIndex]; }
    HANDLE PeriodEvent() const { return deviceEvents[kPeriodEventIndex]; }

    AsioOurs* owner;

private:
    void CloseAll();

    HANDLE deviceEvents[kDeviceEventCount];
    HANDLE waitTable[kWaitTableSize];
};
