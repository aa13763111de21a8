// createBuffers and disposeBuffers: the host's double buffers and the blocks behind them.
#include "asio_ours.h"

#include "trace.h"

#include <cstdint>

namespace {

// Which slot owns a host channel number: every present slot owns the next `perDevice`
// numbers. Null when none does.
CDevOne* OwnerOf(CDevAll& devices, LONG channelNum, LONG perDevice, LONG* channelInSlot)
{
    std::int64_t first = 0;
    for (int i = 0; i < kDeviceSlots; ++i) {
        if (devices.present[i] == 0)
            continue;
        if (channelNum >= first && channelNum < first + perDevice) {
            *channelInSlot = static_cast<LONG>(channelNum - first);
            return &devices.slots[i];
        }
        first += perDevice;
    }
    return nullptr;
}

// Points the entry's two halves into its slot's AsioBufferBlock, or at null.
void LocateBuffers(CDevAll& devices, ASIOBufferInfo& entry)
{
    const bool isInput = entry.isInput != 0;
    LONG c = 0;
    CDevOne* slot = OwnerOf(devices, entry.channelNum,
                            isInput ? devices.inputsPerDevice : devices.outputsPerDevice, &c);
    BYTE* base = slot != nullptr ? slot->AudioBase() : nullptr;
    if (base != nullptr) {
        if (!isInput)
            c += devices.inputsPerDevice;
        const SIZE_T period = static_cast<SIZE_T>(devices.periodBytes);
        entry.buffers[0] = base + static_cast<SIZE_T>(2 * c) * period;
        entry.buffers[1] = base + static_cast<SIZE_T>(2 * c + 1) * period;
    } else {
        entry.buffers[0] = nullptr;
        entry.buffers[1] = nullptr;
    }
    if (entry.channelNum >= 0 && entry.channelNum < kMaxChannels)
        (isInput ? devices.inputActive : devices.outputActive)[entry.channelNum] = 1;
}

}  // namespace

ASIOError AsioOurs::createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG size,
                                  ASIOCallbacks* callbacks)
{
    EnterCriticalSection(&apiLock);  // bufferSize and the blocks, against every other host operation
    ASIOError result = ASE_OK;
    if (!HasDevice()) {
        result = ASE_NotPresent;
    } else if (bufferSize != 0) {
        result = ASE_InvalidMode;
    } else {
        EnterCriticalSection(&stateLock);  // resetState
        const bool resetRequested = resetState.resetRequested != 0;
        LeaveCriticalSection(&stateLock);
        if (resetRequested)
            result = ASE_InvalidMode;
    }
    if (result == ASE_OK)
        result = SizeCheck(size);
    if (result == ASE_OK)
        result = AsioOursBase::createBuffers(bufferInfos, numChannels, size, callbacks);
    // A refusal forgets the request, except when the refusal came from buffers that still
    // exist: they stay requested (and stale after a frequency change) until disposed.
    if (result != ASE_OK && bufferSize == 0)
        ClearBufferRequestFlags();
    Trace("AsioOurs::createBuffers() : ch=%d, size=%d... %s", static_cast<int>(numChannels),
          static_cast<int>(size), result == ASE_OK ? "SUCCEEDED" : "FAILED");
    LeaveCriticalSection(&apiLock);
    return result;
}

ASIOError AsioOurs::SizeCheck(LONG size)
{
    EnterCriticalSection(&stateLock);  // resetState
    resetState.sizeMismatch = 0;
    resetState.buffersRequested = 1;
    LeaveCriticalSection(&stateLock);

    NxBufferSizeRecord rules = {0, 0, 0, 0};
    if (!devices.MainOpen() ||
        !SendRequest(devices.main->handle, IOCTL_NXKD_GET_BUFFER_SIZE_INFO, &rules, sizeof(rules)))
        return ASE_NotPresent;

    // A size outside the rules is still used; the next start asks the host for a reset.
    bool mismatch = false;
    if (rules.granularity == 0) {
        if (size != rules.minimum) {
            Trace(">>>>>::createBuffers() called with INVALID size. %d -> %d", static_cast<int>(size),
                  static_cast<int>(rules.minimum));
            mismatch = true;
        }
    } else if (size < 0) {
        return ASE_InvalidParameter;
    } else if (size > rules.maximum) {
        Trace(">>>>>::createBuffers() called with TOO big size. %d -> %d", static_cast<int>(size),
              static_cast<int>(rules.maximum));
        mismatch = true;
    } else if (size < rules.minimum) {
        Trace(">>>>>::createBuffers() called with TOO small size. %d -> %d", static_cast<int>(size),
              static_cast<int>(rules.minimum));
        mismatch = true;
    } else if (size % rules.granularity != 0) {
        const std::int64_t next = (static_cast<std::int64_t>(size) / rules.granularity + 1) * rules.granularity;
        Trace(">>>>>::createBuffers() called with INVALID granularity. %d -> %d", static_cast<int>(size),
              static_cast<int>(next));
        mismatch = true;
    }
    if (mismatch) {
        EnterCriticalSection(&stateLock);  // resetState
        resetState.sizeMismatch = 1;
        resetState.buffersRequested = 1;
        LeaveCriticalSection(&stateLock);
    }
    return ASE_OK;
}

ASIOError AsioOursBase::createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG size,
                                      ASIOCallbacks* callbacks)
{
    Trace("AsioOursBase::createBuffers(%d)", static_cast<int>(size));
    // What the host hands in is checked before anything is allocated or dereferenced.
    if (numChannels < 0 || (bufferInfos == nullptr && numChannels != 0) || callbacks == nullptr)
        return ASE_InvalidParameter;

    LONG inputs = 0;
    LONG outputs = 0;
    for (LONG i = 0; i < numChannels; ++i)
        ++(bufferInfos[i].isInput != 0 ? inputs : outputs);
    if (inputs > devices.inputsPerDevice * devices.mainCount ||
        outputs > devices.outputsPerDevice * devices.mainCount)
        return ASE_InvalidParameter;

    if (!devices.CreateBuf(size))
        return ASE_NoMemory;

    for (LONG i = 0; i < numChannels; ++i)
        LocateBuffers(devices, bufferInfos[i]);

    // A latency level changed in the settings program takes effect from here on.
    if (devices.MainOpen())
        SendRequest(devices.main->handle, IOCTL_NXKD_GET_SETTINGS, &settings, sizeof(settings));

    EnterCriticalSection(&streamLock);  // hostCallbacks and bufferSize, as the period handler reads them
    bufferSize = size;
    hostCallbacks = callbacks;
    LeaveCriticalSection(&streamLock);
    Trace("AsioOurs Call createBuffers fin %d", static_cast<int>(size * devices.bytesPerSample));
    return ASE_OK;
}

ASIOError AsioOurs::disposeBuffers()
{
    EnterCriticalSection(&apiLock);  // bufferSize and the blocks, against every other host operation
    ASIOError result = ASE_OK;
    if (!HasDevice()) {
        result = ASE_NotPresent;
    } else if (bufferSize == 0) {
        result = ASE_InvalidMode;
    } else {
        stop();
        // The period handler holds streamLock while it touches the blocks, so none is
        // released under a running switch.
        EnterCriticalSection(&streamLock);  // hostCallbacks, bufferSize and the blocks
        hostCallbacks = nullptr;
        devices.DisposeBuf();
        bufferSize = 0;
        LeaveCriticalSection(&streamLock);
    }
    ClearBufferRequestFlags();
    Trace("AsioOurs::disposeBuffers()... %s", result == ASE_OK ? "SUCCEEDED" : "FAILED");
    LeaveCriticalSection(&apiLock);
    return result;
}
