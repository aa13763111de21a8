// How far output runs ahead of the kernel driver's reading, and the driver's share of
// the reported output latency, from the buffer size, the sampling frequency and the
// latency level's safety margin.
#include "asio_ours.h"
#include "latency_tables.h"

#include <cstdint>

namespace {

// The arithmetic divides by c - 1; a margin below 2 frames (frequencies under 2000 Hz)
// is raised to 2 so the division is defined and the lead still covers the margin.
constexpr std::uint64_t kMinSafetyFrames = 2;

// v = trunc(frac(N / (c - 1)) * (c + 1) + 1.0 + (N - c + 1)), for N >= c.
std::uint64_t SpreadPart(std::uint64_t n, std::uint64_t c)
{
    const double exact = static_cast<double>(n) / static_cast<double>(c - 1);
    const double fraction = exact - static_cast<double>(n / (c - 1));
    return static_cast<std::uint64_t>(fraction * static_cast<double>(c + 1) + 1.0 +
                                      static_cast<double>(n - c + 1));
}

// Output lead when the buffer is at most the safety margin.
std::uint64_t ShortLead(std::uint64_t n, std::uint64_t c)
{
    return 2 * c + 2 - n * ((c + 1) / n);
}

// Output lead when the buffer exceeds the safety margin (without x and d).
std::uint64_t LongLead(std::uint64_t n, std::uint64_t c)
{
    return ((c + n - 2) / (c - 1)) * (c + 1) - n + c + 1;
}

// Results are 32-bit; the intermediate values stay in 64 bits so that large kernel
// figures cannot wrap half-way through.
DWORD Low32(std::uint64_t value)
{
    return static_cast<DWORD>(value);
}

}  // namespace

LatencyOffsets ComputeLatencyOffsets(DWORD bufferSize, DWORD sampleRate, LONG latencyLevel)
{
    LatencyOffsets result = {0, 0};
    if (bufferSize == 0 || sampleRate == 0)
        return result;

    const LONG level = SanitizeLatencyLevel(latencyLevel);
    const std::uint64_t n = bufferSize;
    const std::uint64_t fs = sampleRate;
    std::uint64_t c = static_cast<std::uint64_t>(safetyMs[level]) * fs / 1000;
    if (c < kMinSafetyFrames)
        c = kMinSafetyFrames;
    const std::uint64_t x = extraFlag[level] == 1 ? fs * 11 / 44100 : 0;

    if (n < c) {
        result.latencyPart = Low32(n * ((c + n) / n) - c + 1);
        result.outputLead = Low32(ShortLead(n, c) + x);
    } else if (n > c) {
        const DWORD v = Low32(SpreadPart(n, c));
        DWORD d = 0;
        if (v >= bufferSize) {
            d = v - bufferSize + 1;
            result.latencyPart = bufferSize - d;
        } else {
            result.latencyPart = v;
        }
        result.outputLead = Low32(LongLead(n, c) + x + d);
    } else {
        const DWORD a1 = Low32(n * ((c + n) / n) - c + 1);
        const DWORD a2 = Low32(SpreadPart(n, c));
        const DWORD b1 = Low32(ShortLead(n, c));
        const DWORD b2 = Low32(LongLead(n, c));
        result.latencyPart = a1 > a2 ? a1 : a2;
        result.outputLead = (b1 > b2 ? b1 : b2) + Low32(x);
        if (result.latencyPart >= bufferSize) {
            const DWORD d = result.latencyPart - bufferSize + 1;
            result.latencyPart = bufferSize - d;
            result.outputLead += d;
        }
    }
    return result;
}
