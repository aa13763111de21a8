// What a host asks before and while it streams: channels, buffer size rules, latencies,
// sampling frequencies and the clock source, plus the sampling frequency change.
#include "asio_ours.h"
#include "latency_tables.h"
#include "offered_channels.h"

#include <cstring>

namespace {

const char* const kChannelNames[] = {"PRIMARY", "PRIMARY(R)", "SECONDARY", "SECONDARY(R)"};
constexpr LONG kNamedChannels = sizeof(kChannelNames) / sizeof(kChannelNames[0]);
const char kClockSourceName[] = "Device";

// Above this a frequency cannot be rounded into 32 bits; NaN fails the test as well.
constexpr double kHighestFrequency = 4294967295.0;

bool FrequencyConvertible(ASIOSampleRate rate)
{
    return rate >= 0.0 && rate < kHighestFrequency;
}

// The host's frequency rounded to whole Hz; only for convertible frequencies.
DWORD RoundedFrequency(ASIOSampleRate rate)
{
    return static_cast<DWORD>(rate + 0.5);
}

// Packed 3-byte samples are what the buffers hold for a 3-byte device: createBuffers spaces
// channels by bytesPerSample, so the reported type must take exactly that many bytes.
ASIOSampleType SampleTypeFor(LONG bytesPerSample)
{
    switch (bytesPerSample) {
    case 4:
        return ASIOSTInt32LSB;
    case 3:
        return ASIOSTInt24LSB;
    default:
        return ASIOSTInt16LSB;
    }
}

// The frequency the main device really runs at: 44100 when it cannot tell, 0 without a handle.
DWORD RunningFrequency(const CDevAll& devices)
{
    constexpr LONG kUntoldFrequency = 44100;
    if (!devices.MainOpen())
        return 0;
    NxValueRecord record = {0, kUntoldFrequency};
    if (!SendRequest(devices.main->handle, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, &record, sizeof(record)))
        return kUntoldFrequency;
    return static_cast<DWORD>(record.value);
}

template <typename T> void ZeroIfGiven(T* value)
{
    if (value != nullptr)
        *value = 0;
}

}  // namespace

LONG AsioOurs::LatencyLevel() const
{
    // The level comes from the kernel driver's record: never let it index past the tables.
    return SanitizeLatencyLevel(settings.latencyLevel);
}

ASIOError AsioOurs::getChannels(LONG* numInputChannels, LONG* numOutputChannels)
{
    if (!HasDevice()) {
        ZeroIfGiven(numInputChannels);
        ZeroIfGiven(numOutputChannels);
        return ASE_NotPresent;
    }
    if (numInputChannels == nullptr || numOutputChannels == nullptr)
        return ASE_InvalidParameter;

    LONG inputs = 0;
    LONG outputs = 0;
    OfferedChannels(devices, &inputs, &outputs);
    *numInputChannels = inputs;
    *numOutputChannels = outputs;

    EnterCriticalSection(&stateLock);  // resetState: what the host has now been told
    resetState.reportedInputs = inputs;
    resetState.reportedOutputs = outputs;
    resetState.channelsChanged = 0;
    LeaveCriticalSection(&stateLock);
    return ASE_OK;
}

ASIOError AsioOurs::getChannelInfo(ASIOChannelInfo* info)
{
    if (!HasDevice())
        return ASE_NotPresent;
    // The active flags exist for channels 0 to 511 only.
    if (info == nullptr || info->channel < 0 || info->channel >= kMaxChannels)
        return ASE_InvalidParameter;

    const LONG* active = info->isInput != 0 ? devices.inputActive : devices.outputActive;
    info->isActive = active[info->channel] != 0 ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = SampleTypeFor(devices.bytesPerSample);
    if (info->channel < kNamedChannels)
        std::strcpy(info->name, kChannelNames[info->channel]);
    return ASE_OK;
}

ASIOError AsioOurs::getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity)
{
    LONG* const values[] = {minSize, maxSize, preferredSize, granularity};
    auto zeroAll = [&values]() {
        for (LONG* value : values)
            ZeroIfGiven(value);
    };
    if (!HasDevice()) {
        zeroAll();
        return ASE_NotPresent;
    }
    for (LONG* value : values) {
        if (value == nullptr)
            return ASE_InvalidParameter;
    }

    NxBufferSizeRecord sizes = {};
    if (!devices.SendToMain(IOCTL_NXKD_GET_BUFFER_SIZE_INFO, &sizes, sizeof(sizes))) {
        zeroAll();
        return ASE_NotPresent;
    }
    *minSize = sizes.minimum;
    *maxSize = sizes.maximum;
    *preferredSize = sizes.preferred;
    *granularity = sizes.granularity;
    return ASE_OK;
}

ASIOError AsioOurs::getLatencies(LONG* inputLatency, LONG* outputLatency)
{
    if (!HasDevice()) {
        ZeroIfGiven(inputLatency);
        ZeroIfGiven(outputLatency);
        return ASE_NotPresent;
    }
    if (inputLatency == nullptr || outputLatency == nullptr)
        return ASE_InvalidParameter;

    // The device's own figures; 0 when it cannot tell.
    NxLatencyRecord device = {};
    if (!devices.SendToMain(IOCTL_NXKD_GET_LATENCY_INFO, &device, sizeof(device)))
        device = {};

    // Before buffers exist the device's preferred size stands in for the buffer size.
    NxBufferSizeRecord sizes = {};
    if (!devices.SendToMain(IOCTL_NXKD_GET_BUFFER_SIZE_INFO, &sizes, sizeof(sizes)))
        sizes = {};
    const LONG frames = bufferSize != 0 ? bufferSize : sizes.preferred;

    const DWORD rate = devices.SampleRate();
    LatencyOffsets offsets = {0, 0};
    if (frames > 0 && rate != 0)
        offsets = ComputeLatencyOffsets(static_cast<DWORD>(frames), rate, LatencyLevel());

    // 32-bit arithmetic as the figures are reported; unsigned so that odd kernel figures
    // wrap instead of overflowing.
    *inputLatency = static_cast<LONG>(static_cast<DWORD>(frames) + static_cast<DWORD>(device.inputLatency));
    *outputLatency = static_cast<LONG>(static_cast<DWORD>(device.outputLatency) + offsets.latencyPart +
                                       offsets.outputLead);
    return ASE_OK;
}

ASIOError AsioOurs::canSampleRate(ASIOSampleRate sampleRate)
{
    if (!HasDevice())
        return ASE_NotPresent;
    if (!FrequencyConvertible(sampleRate))
        return ASE_NoClock;

    const DWORD rate = RoundedFrequency(sampleRate);
    if (!devices.CanFreq(rate))
        return ASE_NoClock;
    // Only frequencies within 0.1 Hz of a whole number count as that number.
    const double whole = static_cast<double>(rate);
    return (whole - 0.1 < sampleRate && sampleRate < whole + 0.1) ? ASE_OK : ASE_NoClock;
}

ASIOError AsioOurs::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!HasDevice())
        return ASE_NotPresent;
    if (sampleRate == nullptr)
        return ASE_InvalidParameter;
    *sampleRate = static_cast<ASIOSampleRate>(devices.SampleRate());
    return ASE_OK;
}

ASIOError AsioOurs::setSampleRate(ASIOSampleRate sampleRate)
{
    EnterCriticalSection(&apiLock);  // serialises the change with buffers, start and resets
    ASIOError result = ASE_NoClock;
    if (!HasDevice()) {
        result = ASE_NotPresent;
    } else if (canSampleRate(sampleRate) == ASE_OK) {
        result = ASE_OK;
        const DWORD rate = RoundedFrequency(sampleRate);
        const bool inUse = rate == devices.SampleRate() && RunningFrequency(devices) == rate;
        if (!inUse) {
            if (devices.SetFreq(rate))
                Reassess();
            else
                result = ASE_NoClock;
        }
    }
    ResetCheck();
    LeaveCriticalSection(&apiLock);
    return result;
}

ASIOError AsioOurs::getClockSources(ASIOClockSource* clocks, LONG* numSources)
{
    if (!HasDevice())
        return ASE_NotPresent;
    if (clocks == nullptr || numSources == nullptr)
        return ASE_InvalidParameter;

    // One source, always current, whatever count the host offered room for.
    clocks[0].index = 0;
    clocks[0].associatedChannel = 0;
    clocks[0].associatedGroup = 0;
    clocks[0].isCurrentSource = ASIOTrue;
    std::strcpy(clocks[0].name, kClockSourceName);
    *numSources = 1;
    return ASE_OK;
}

ASIOError AsioOurs::setClockSource(LONG reference)
{
    if (!HasDevice())
        return ASE_NotPresent;
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}
