#include "latency_tables.h"

const LONG safetyMs[kLatencyLevels] = {1, 1, 1, 1, 2, 3, 3, 4, 5, 10};
const LONG secondLimitFactor[kLatencyLevels] = {2, 3, 3, 4, 4, 4, 4, 4, 5, 7};
const LONG extraFlag[kLatencyLevels] = {0, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const LONG levelMode[kLatencyLevels] = {1, 1, 1, 1, 1, 0, 0, 0, 0, 0};

namespace {

struct SizeBand {
    ULONG upToRate;
    LONG sizes[kLatencyLevels];
};

const SizeBand kSizeBands[] = {
    {48000, {48, 48, 64, 96, 128, 256, 384, 512, 1024, 2048}},
    {96000, {96, 96, 128, 192, 256, 512, 768, 1024, 2048, 4096}},
    {192000, {192, 192, 256, 384, 512, 1024, 1536, 2048, 4096, 8192}},
    {384000, {384, 384, 512, 768, 1024, 2048, 3072, 4096, 8192, 16384}},
};

}  // namespace

LONG SanitizeLatencyLevel(LONG level)
{
    return (level >= 0 && level < kLatencyLevels) ? level : kDefaultLatencyLevel;
}

LONG LevelLimit(LONG level)
{
    level = SanitizeLatencyLevel(level);
    return safetyMs[level] * secondLimitFactor[level];
}

LONG BufferSizeForLevel(ULONG sampleRate, LONG level)
{
    level = SanitizeLatencyLevel(level);
    for (const SizeBand& band : kSizeBands) {
        if (sampleRate <= band.upToRate)
            return band.sizes[level];
    }
    // 64-bit so that no frequency the kernel may report can overflow the product.
    unsigned long long rate = sampleRate;
    return static_cast<LONG>(((rate * 34 + 9999) / 10000 + 15) / 16 * 16);
}
