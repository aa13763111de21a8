// What the host learned from the driver, and how it prints it: human text and JSON.
#pragma once

#include "asio.h"
#include "json_writer.h"
#include "stream_check.h"

#include <cstdio>
#include <string>
#include <vector>

namespace asiohost {

const char* ResultName(ASIOError result);

struct DriverDescription {
    std::string name;
    LONG version = 0;
    ASIOBool init = ASIOFalse;
    std::string errorMessage;
};

struct ChannelDescription {
    bool isInput = false;
    LONG index = 0;
    ASIOError result = ASE_OK;
    ASIOBool isActive = ASIOFalse;
    LONG group = 0;
    ASIOSampleType type = 0;
    std::string name;
};

struct RateAnswer {
    double rate = 0;
    ASIOError result = ASE_OK;
};

struct ClockDescription {
    LONG index = 0;
    LONG associatedChannel = 0;
    LONG associatedGroup = 0;
    bool current = false;
    std::string name;
};

struct FeatureAnswer {
    const char* name;
    ASIOError result;
};

struct DriverQueries {
    ASIOError channelsResult = ASE_OK;
    LONG inputs = 0, outputs = 0;
    std::vector<ChannelDescription> channels;
    ASIOError bufferSizeResult = ASE_OK;
    LONG minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
    ASIOError latenciesResult = ASE_OK;
    LONG inputLatency = 0, outputLatency = 0;
    ASIOError sampleRateResult = ASE_OK;
    double sampleRate = 0;
    std::vector<RateAnswer> rates;
    ASIOError clocksResult = ASE_OK;
    std::vector<ClockDescription> clocks;
    std::vector<FeatureAnswer> features;   // future(kAsioCan...) answers
    ASIOError outputReadyResult = ASE_OK;  // ASE_OK: the host calls outputReady after each switch
};

// One driver object's stream, from createBuffers to its release.
struct SessionReport {
    double sampleRate = 0;
    LONG bufferSize = 0;
    LONG inputs = 0, outputs = 0;
    ASIOError createResult = ASE_OK, startResult = ASE_OK, stopResult = ASE_OK, disposeResult = ASE_OK;
    ASIOError latenciesResult = ASE_OK;
    LONG inputLatency = 0, outputLatency = 0;
    int checkedChannels = 0;
    double seconds = 0;
    ULONG releaseCount = 0;   // what the last Release returned (0: the object is gone)
    std::string endedBy;      // "end of run" or "reset request"
    StreamStats stats;
};

struct RateSwitchReport {
    bool attempted = false;
    double requested = 0;
    double before = 0;
    ASIOError canResult = ASE_OK;
    ASIOError setResult = ASE_OK;
    bool resetRequested = false;
    bool resetHandled = false;
    double after = 0;         // the sampling frequency the driver reports afterwards
};

struct HostMessageCounts {
    int resetRequests = 0;
    int resyncRequests = 0;
    int latencyChanges = 0;
    int bufferSizeChanges = 0;
    int sampleRateChanges = 0;
    int otherSelectors = 0;
};

void PrintDescription(std::FILE* out, const std::string& source, const DriverDescription& d, const DriverQueries& q);
void PrintSession(std::FILE* out, size_t number, const SessionReport& s);
void PrintRateSwitch(std::FILE* out, const RateSwitchReport& r);

void JsonDescription(JsonWriter& json, const DriverDescription& d, const DriverQueries& q);
void JsonSession(JsonWriter& json, const SessionReport& s);
void JsonRateSwitch(JsonWriter& json, const RateSwitchReport& r);

}  // namespace asiohost
