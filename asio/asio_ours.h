// The driver object: the IASIO implementation that hosts talk to.
//
// Locks (all recursive critical sections), always taken in this order when nested:
//   apiLock      serialises createBuffers, disposeBuffers, start, setSampleRate, reset
//                requests and device removal handling
//   stateLock    guards resetState
//   streamLock   guards started, hostCallbacks, half and the buffer switch (including the
//                host's bufferSwitch and the slots' blocks while a switch runs)
//   positionLock guards samplePosition and timeStampNs
#pragma once

#include "asio.h"
#include "com_server.h"
#include "dev_all.h"
#include "nxkd_requests.h"
#include "win32.h"

#include <cstdint>

constexpr int kErrorMessageBytes = 124;

// What the driver remembers about resets it owes or has asked the host for. Under stateLock.
struct ResetState {
    LONG channelsChanged;   // counts differ from those the host last got from getChannels
    LONG buffersStale;      // the sampling frequency changed while buffers were requested
    LONG sizeMismatch;      // createBuffers got a size outside the device's rules
    LONG buffersRequested;  // createBuffers passed its size check
    LONG resetRequested;    // a reset request reached the host: terminal for this object
    LONG reportedInputs;
    LONG reportedOutputs;
    class AsioOurs* stateOwner;
};

// The latency arithmetic: how far output runs ahead of the kernel driver's reading.
struct LatencyOffsets {
    DWORD latencyPart;
    DWORD outputLead;
};
LatencyOffsets ComputeLatencyOffsets(DWORD bufferSize, DWORD sampleRate, LONG latencyLevel);

class AsioOursBase : public IASIO, public CUnknown {
public:
    explicit AsioOursBase(IUnknown* outer);
    ~AsioOursBase() override = default;

    // IUnknown: forwarded unchanged to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID iid, void** object) override;

    void getDriverName(char* name) override;
    LONG getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError future(LONG selector, void* opt) override;
    ASIOError outputReady() override;
    // The buffer creation that follows the checks of AsioOurs::createBuffers.
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                            ASIOCallbacks* callbacks) override;

protected:
    CDevAll devices;
    CRITICAL_SECTION positionLock;
    CRITICAL_SECTION streamLock;
    CRITICAL_SECTION apiLock;
    char errorMessage[kErrorMessageBytes];
    volatile LONG started;
    ASIOCallbacks* hostCallbacks;
    LONG bufferSize;

    // Streaming position (see the lock table above).
    std::uint64_t totalSamples;    // worker thread and start
    std::uint64_t samplePosition;  // positionLock
    DWORD kernelTimeMs;            // worker thread and start
    std::uint64_t timeStampNs;     // positionLock
    DWORD kernelPeriodIndex;       // worker thread and start
    LONG half;                     // streamLock

    NxSettingsRecord settings;
    CRITICAL_SECTION stateLock;
    ResetState resetState;
};

class AsioOurs : public AsioOursBase {
public:
    explicit AsioOurs(IUnknown* outer);
    ~AsioOurs() override;

    static INonDelegatingUnknown* Create(IUnknown* outer, HRESULT* result);

    ASIOBool init(void* sysHandle) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) override;
    ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) override;
    ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) override;
    ASIOError setClockSource(LONG reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;

    // Called on the worker thread.
    void OnPeriodEvent();
    void OnMessageEvent();
    void OnRemovalEvent(int slot);

private:
    bool HasDevice() const { return devices.mainCount != 0; }
    LONG LatencyLevel() const;

    // Buffers.
    ASIOError SizeCheck(LONG size);

    // Streaming.
    void SwitchBuffers(bool callHost);
    DWORD MainClientPeriod() const;

    // Resets.
    bool callAsioResetRequest();
    void AsioReset();
    void Reassess();
    void ResetCheck();
    ASIOError StartGate();
    void ClearBufferRequestFlags();
};
