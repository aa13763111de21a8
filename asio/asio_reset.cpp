// Resets: when the device changes under the host, the driver asks the host for a reset and,
// once the host has accepted, refuses buffers and start until a new driver object is made.
#include "asio_ours.h"
#include "offered_channels.h"

namespace {

constexpr DWORD kNotifyResetRequest = 0x1;  // the kernel driver asks the host for a reset

// The caller holds stateLock.
bool ResetOwed(const ResetState& state)
{
    return state.channelsChanged != 0 || state.sizeMismatch != 0 || state.buffersStale != 0;
}

}  // namespace

bool AsioOurs::callAsioResetRequest()
{
    EnterCriticalSection(&apiLock);  // bufferSize: no buffers, no host callbacks
    bool sent = false;
    if (bufferSize != 0) {
        EnterCriticalSection(&streamLock);  // hostCallbacks stay put while the host is asked
        ASIOCallbacks* callbacks = hostCallbacks;
        if (callbacks != nullptr && callbacks->asioMessage != nullptr &&
            callbacks->asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr) != 0) {
            callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            sent = true;
        }
        LeaveCriticalSection(&streamLock);
    }
    LeaveCriticalSection(&apiLock);
    return sent;
}

void AsioOurs::AsioReset()
{
    // apiLock across both steps: no createBuffers or start slips in between the host's
    // acceptance and the flag that refuses them.
    EnterCriticalSection(&apiLock);
    if (callAsioResetRequest()) {
        EnterCriticalSection(&stateLock);  // resetState
        resetState.resetRequested = 1;
        LeaveCriticalSection(&stateLock);
    }
    LeaveCriticalSection(&apiLock);
}

void AsioOurs::Reassess()
{
    EnterCriticalSection(&stateLock);  // resetState
    LONG inputs = 0;
    LONG outputs = 0;
    if (resetState.stateOwner != nullptr)
        OfferedChannels(devices, &inputs, &outputs);
    resetState.channelsChanged =
        (inputs != resetState.reportedInputs || outputs != resetState.reportedOutputs) ? 1 : 0;
    if (resetState.buffersRequested != 0)
        resetState.buffersStale = 1;
    LeaveCriticalSection(&stateLock);
}

void AsioOurs::ResetCheck()
{
    EnterCriticalSection(&stateLock);  // resetState; released before the host is called
    const bool owed = ResetOwed(resetState);
    LeaveCriticalSection(&stateLock);
    if (owed)
        AsioReset();
}

ASIOError AsioOurs::StartGate()
{
    if (!HasDevice())
        return ASE_NotPresent;
    if (bufferSize == 0)
        return ASE_InvalidMode;

    EnterCriticalSection(&stateLock);  // resetState; released before the host is called
    const bool requested = resetState.resetRequested != 0;
    const bool owed = ResetOwed(resetState);
    LeaveCriticalSection(&stateLock);
    // A requested reset is repeated at every start; an owed one is asked for now. Either
    // way the stream stays off, also when the host does not take the request.
    if (requested || owed) {
        AsioReset();
        return ASE_InvalidMode;
    }

    EnterCriticalSection(&streamLock);  // started
    const bool running = started != 0;
    LeaveCriticalSection(&streamLock);
    if (running)
        stop();
    return ASE_OK;
}

void AsioOurs::ClearBufferRequestFlags()
{
    EnterCriticalSection(&stateLock);  // resetState
    resetState.buffersRequested = 0;
    resetState.buffersStale = 0;
    LeaveCriticalSection(&stateLock);
}

void AsioOurs::OnMessageEvent()
{
    // Under handleLock: the destructor (or a failed open) closes the slots on a host thread
    // while this thread still runs.
    NxValueRecord notification = {0, 0};
    if (!devices.SendToMain(IOCTL_NXKD_ASIO_GET_NOTIFICATION, &notification, sizeof(notification)))
        return;
    const DWORD flags = static_cast<DWORD>(notification.value);
    // Bit 1 and undefined bits need nothing from the host.
    if ((flags & kNotifyResetRequest) != 0)
        AsioReset();
}
