// Streaming: start and stop, the period handler on the worker thread, the buffer switch
// with its host callback, and the sample position.
#include "asio_ours.h"

#include "slot_running.h"
#include "trace.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t kNanosecondsPerMs = 1000000;
constexpr std::uint64_t kNanosecondsPerSecond = 1000000000;

// A slot takes part in the period handling when it is open and has a transfer block.
bool Streams(const CDevOne& slot)
{
    return slot.IsOpen() && slot.transferBlock != nullptr;
}

DWORD NextPeriod(DWORD period)
{
    return (period + 1) % kRingPeriods;
}

// Scans the slots for pending periods. False when the handler has nothing to do: no slot
// streams, every streaming slot was halted by the kernel driver, or a slot is caught up.
bool ScanSlots(CDevAll& devices)
{
    int open = 0;
    int stopped = 0;
    for (CDevOne& slot : devices.slots) {
        if (!Streams(slot))
            continue;
        ++open;
        TransferBlockHeader* header = slot.Transfer();
        if (LoadShared(&header->halted) == 1) {
            // The kernel driver stopped on its own: the host hears silence until a restart.
            BYTE* base = slot.AudioBase();
            std::memset(base, 0, slot.audioBlockBytes - static_cast<SIZE_T>(base - slot.audioBlock));
            StoreShared(&header->haltAcknowledged, 1);
            StoreRunning(slot.running, 0);
            ++stopped;
        } else if (LoadShared(&header->clientPeriod) == LoadShared(&header->kernelPeriod)) {
            return false;
        } else {
            StoreRunning(slot.running, 1);
        }
    }
    return open != 0 && stopped != open;
}

// Moves every running slot's period index on by one. False when none moved.
bool AdvanceSlots(CDevAll& devices)
{
    bool advanced = false;
    for (CDevOne& slot : devices.slots) {
        if (!Streams(slot) || LoadRunning(slot.running) == 0)
            continue;
        TransferBlockHeader* header = slot.Transfer();
        StoreShared(&header->clientPeriod,
                    static_cast<LONG>(NextPeriod(static_cast<DWORD>(LoadShared(&header->clientPeriod)))));
        advanced = true;
    }
    return advanced;
}

// Output is written `outputLead` frames ahead of where the kernel driver starts reading.
void SetOutputLead(CDevAll& devices, DWORD outputLead)
{
    const std::uint64_t leadBytes =
        static_cast<std::uint64_t>(outputLead) * static_cast<std::uint64_t>(devices.bytesPerSample);
    for (CDevOne& slot : devices.slots) {
        if (!Streams(slot))
            continue;
        TransferBlockHeader* header = slot.Transfer();
        StoreShared(&header->reserved80, 0);
        StoreShared(&header->reserved84, 0);
        StoreShared(&header->outWriteOffset, 0);
        StoreShared(&header->outWrapCount, 0);
        if (leadBytes < static_cast<std::uint64_t>(static_cast<DWORD>(LoadShared(&header->outRingSize))))
            StoreShared(&header->outWriteOffset, static_cast<LONG>(leadBytes));
    }
}

// Capture is read from the ring's begin, where the kernel driver writes its first period.
void RewindCapture(CDevAll& devices)
{
    for (CDevOne& slot : devices.slots) {
        if (!Streams(slot))
            continue;
        TransferBlockHeader* header = slot.Transfer();
        StoreShared(&header->inReadOffset, 0);
        StoreShared(&header->inWrapCount, 0);
        StoreShared(&header->reserved48, 0);
        StoreShared(&header->reserved52, 0);
    }
}

}  // namespace

ASIOError AsioOurs::start()
{
    EnterCriticalSection(&apiLock);  // bufferSize and the blocks stay put for the whole start
    ASIOError result = StartGate();
    if (result == ASE_OK) {
        // A period handler still finishing a run (say after a stop from inside the host's
        // bufferSwitch) must not meet the blocks half prepared.
        EnterCriticalSection(&streamLock);  // started, half, the kernel bookkeeping and the blocks
        half = 0;
        totalSamples = 0;
        const DWORD now = timeGetTime();
        kernelTimeMs = now;
        kernelPeriodIndex = 0;
        EnterCriticalSection(&positionLock);  // samplePosition, timeStampNs
        samplePosition = 0;
        timeStampNs = static_cast<std::uint64_t>(now) * kNanosecondsPerMs;
        LeaveCriticalSection(&positionLock);

        devices.PreStartDevs();
        const LatencyOffsets offsets =
            ComputeLatencyOffsets(static_cast<DWORD>(bufferSize), devices.sampleRate, LatencyLevel());
        started = 1;
        SetOutputLead(devices, offsets.outputLead);
        // The host fills half 0 before any device runs; it lands at the lead position.
        SwitchBuffers(true);
        RewindCapture(devices);
        // Still under streamLock: a stop from another host thread comes wholly before or
        // wholly after this start, never between its preparation and the devices' start.
        // A host that stopped inside that first switch gets no running devices.
        if (started != 0 && !devices.StartDevs()) {
            stop();
            result = ASE_NotPresent;
        }
        LeaveCriticalSection(&streamLock);
    }
    Trace("AsioOurs::start() %s", result == ASE_OK ? "SUCCEEDED" : "FAILED");
    LeaveCriticalSection(&apiLock);
    return result;
}

ASIOError AsioOurs::stop()
{
    if (!HasDevice())
        return ASE_NotPresent;
    // Not under apiLock: a host may stop from inside its bufferSwitch. The stop requests
    // go out under streamLock too, so they cannot land after a start on another thread.
    EnterCriticalSection(&streamLock);  // started, bufferSize, the devices' stream state
    const bool hasBuffers = bufferSize != 0;
    if (hasBuffers) {
        started = 0;
        devices.StopDevs();
    }
    LeaveCriticalSection(&streamLock);
    Trace("AsioOurs::stop()... %s", hasBuffers ? "SUCCEEDED" : "FAILED");
    return hasBuffers ? ASE_OK : ASE_InvalidMode;
}

ASIOError AsioOurs::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!HasDevice())
        return ASE_NotPresent;
    if (sPos == nullptr || tStamp == nullptr)
        return ASE_InvalidParameter;
    EnterCriticalSection(&positionLock);  // samplePosition, timeStampNs
    const std::uint64_t position = samplePosition;
    const std::uint64_t stamp = timeStampNs;
    LeaveCriticalSection(&positionLock);
    sPos->hi = static_cast<ULONG>(position >> 32);
    sPos->lo = static_cast<ULONG>(position);
    tStamp->hi = static_cast<ULONG>(stamp >> 32);
    tStamp->lo = static_cast<ULONG>(stamp);
    return ASE_OK;
}

void AsioOurs::OnPeriodEvent()
{
    // streamLock for the whole run: disposeBuffers releases the blocks under it, so the
    // scan, the advance and the switches never meet a released block, and a stop waits
    // for the run to end before it clears the headers.
    EnterCriticalSection(&streamLock);  // started, the slots' blocks, the switch
    // Each pass asks for the kernel driver's position once; a ring holds 64 periods, so
    // more passes or skipped switches in one run could only come from nonsense indices.
    int passes = 0;
    bool pending = started != 0 && ScanSlots(devices);
    while (pending && passes++ < kRingPeriods) {
        if (!devices.MainOpen())
            break;
        NxStreamPositionRecord position = {0, timeGetTime(), 0, 0};
        if (!SendRequest(devices.main->handle, IOCTL_NXKD_GET_STREAM_POSITION, &position, sizeof(position)))
            break;
        kernelTimeMs = position.kernelTimeMs;
        kernelPeriodIndex = position.kernelPeriod % kRingPeriods;
        if (!AdvanceSlots(devices))
            break;

        // More than one period behind: the old periods are moved without the host.
        bool advanced = true;
        for (int skipped = 0; advanced; ++skipped) {
            const DWORD u = MainClientPeriod();
            if (u == kernelPeriodIndex || NextPeriod(u) == kernelPeriodIndex || skipped >= kRingPeriods) {
                SwitchBuffers(true);
                break;
            }
            SwitchBuffers(false);
            advanced = AdvanceSlots(devices);
        }
        pending = advanced && started != 0 && ScanSlots(devices);
    }
    LeaveCriticalSection(&streamLock);
}

void AsioOurs::SwitchBuffers(bool callHost)
{
    EnterCriticalSection(&streamLock);  // started, hostCallbacks, half and the blocks
    if (started != 0 && hostCallbacks != nullptr) {
        totalSamples += static_cast<std::uint64_t>(bufferSize);
        const std::uint64_t kernelNs = static_cast<std::uint64_t>(kernelTimeMs) * kNanosecondsPerMs;
        const DWORD u = MainClientPeriod();

        EnterCriticalSection(&positionLock);  // samplePosition, timeStampNs
        samplePosition = totalSamples;
        const DWORD rate = devices.SampleRate();  // read once: setSampleRate may change it
        if (u < kernelPeriodIndex && rate != 0) {
            // Catching up: one period's duration per switch, never past the kernel's time.
            timeStampNs += static_cast<std::uint64_t>(bufferSize) * kNanosecondsPerSecond / rate;
            if (timeStampNs > kernelNs)
                timeStampNs = kernelNs;
        } else {
            timeStampNs = kernelNs;
        }
        LeaveCriticalSection(&positionLock);

        devices.CopyInput(half);
        if (callHost && hostCallbacks->bufferSwitch != nullptr)
            hostCallbacks->bufferSwitch(half, ASIOTrue);
        devices.CopyOutput(half);
        half = 1 - half;
    }
    LeaveCriticalSection(&streamLock);
}

DWORD AsioOurs::MainClientPeriod() const
{
    const CDevOne* main = devices.main;
    if (devices.mainCount <= 0 || main == nullptr || main->transferBlock == nullptr ||
        LoadRunning(main->running) == 0)
        return 0;
    return static_cast<DWORD>(LoadShared(&main->Transfer()->clientPeriod));
}

ASIOError AsioOursBase::outputReady()
{
    return ASE_OK;
}
