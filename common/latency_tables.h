// Latency level tables shared by the ASIO driver and the settings program.
// The latency level (0 to 9, default 5) is offset 288 of the driver settings record.
#pragma once

#include "win32.h"

constexpr LONG kLatencyLevels = 10;
constexpr LONG kDefaultLatencyLevel = 5;

extern const LONG safetyMs[kLatencyLevels];          // first limit factor: safety margin in ms
extern const LONG secondLimitFactor[kLatencyLevels];
extern const LONG extraFlag[kLatencyLevels];         // 1: add the small extra output margin
extern const LONG levelMode[kLatencyLevels];         // offset 316 of the settings record

// A level read from a device record is only trusted within 0 to 9; anything else is
// taken as the default level rather than indexing past the tables.
LONG SanitizeLatencyLevel(LONG level);

// The product of the two limit factors: the bound for the adjustment words.
LONG LevelLimit(LONG level);

// The ASIO buffer size in samples that a level gives at a sampling frequency.
// Four frequency bands up to 384000 Hz; above that 3.4 ms rounded up to a multiple of 16.
LONG BufferSizeForLevel(ULONG sampleRate, LONG level);
