// The host's queries: channels, buffer sizes, latencies, sampling frequencies, clocks.
#include "driver_host.h"
#include "nxkd_sim.h"
#include "queries_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace queries_helpers;

namespace {

class DriverQueries : public ::testing::Test {
protected:
    void SetUp() override { nxsim::Simulator::Instance().Reset(); }
    void TearDown() override
    {
        if (driver != nullptr)
            driver->Release();
    }

    IASIO* Open(const nxsim::DeviceConfig& config)
    {
        nxsim::Simulator::Instance().AddDevice(1, config);
        return OpenWithoutDevice();
    }
    IASIO* OpenWithoutDevice()
    {
        driver = library.CreateDriver();
        EXPECT_NE(driver, nullptr);
        nxsim::Simulator::Instance().ClearLog();
        return driver;
    }

    DriverLibrary library;
    IASIO* driver = nullptr;
};

constexpr LONG kSentinel = 0x5A5A5A5A;

// Without a device every query answers ASE_NotPresent and writes only what the gate allows.
TEST_F(DriverQueries, WithoutADeviceEveryQueryIsRefusedAndWritesOnlyZeros)
{
    ASSERT_NE(OpenWithoutDevice(), nullptr);

    LONG in = kSentinel, out = kSentinel;
    EXPECT_EQ(driver->getChannels(&in, &out), ASE_NotPresent);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 0);

    ASIOChannelInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    info.channel = 0;
    info.isInput = ASIOTrue;
    ASIOChannelInfo before = info;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_NotPresent);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof(info)), 0);

    LONG sizes[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(driver->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]), ASE_NotPresent);
    for (LONG size : sizes)
        EXPECT_EQ(size, 0);

    LONG latencies[2] = {kSentinel, kSentinel};
    EXPECT_EQ(driver->getLatencies(&latencies[0], &latencies[1]), ASE_NotPresent);
    EXPECT_EQ(latencies[0], 0);
    EXPECT_EQ(latencies[1], 0);

    EXPECT_EQ(driver->canSampleRate(48000.0), ASE_NotPresent);

    ASIOSampleRate rate = 12345.0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_NotPresent);
    EXPECT_EQ(rate, 12345.0);

    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_NotPresent);

    ASIOClockSource clocks[2];
    std::memset(clocks, 0x5A, sizeof(clocks));
    LONG count = 2;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_NotPresent);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(clocks[0].index, kSentinel);

    EXPECT_EQ(driver->setClockSource(0), ASE_NotPresent);

    // Null out-pointers are harmless behind the gate too.
    EXPECT_EQ(driver->getChannels(nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(driver->getBufferSize(nullptr, nullptr, nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(driver->getLatencies(nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_NotPresent);

    EXPECT_TRUE(Requests().empty());
}

TEST_F(DriverQueries, NullOutPointersFromTheHostAreRefused)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    LONG value = kSentinel;
    EXPECT_EQ(driver->getChannels(&value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannels(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&value, &value, &value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(nullptr, &value, &value, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(&value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    ASIOClockSource clock;
    EXPECT_EQ(driver->getClockSources(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getClockSources(&clock, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(value, kSentinel);
}

struct ChannelCase {
    int perDirection;
    LONG reported;
};

class DriverChannelNames : public DriverQueries, public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(DriverChannelNames, CountsAndNamesInBothDirections)
{
    nxsim::DeviceConfig config;
    config.inputs = GetParam().perDirection;
    config.outputs = GetParam().perDirection;
    ASSERT_NE(Open(config), nullptr);

    LONG in = -1, out = -1;
    EXPECT_EQ(driver->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, GetParam().reported);
    EXPECT_EQ(out, GetParam().reported);

    const char* const names[] = {"PRIMARY", "PRIMARY(R)", "SECONDARY", "SECONDARY(R)"};
    for (ASIOBool isInput : {ASIOTrue, ASIOFalse}) {
        for (LONG channel = 0; channel < GetParam().reported; ++channel) {
            ASIOChannelInfo info = {};
            info.channel = channel;
            info.isInput = isInput;
            ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
            EXPECT_STREQ(info.name, names[channel]) << "channel " << channel << " input " << isInput;
            EXPECT_EQ(info.channelGroup, 0);
            EXPECT_EQ(info.isActive, ASIOFalse);
        }
        // Index 4 and above have no name: what the host passed stays.
        ASIOChannelInfo info = {};
        info.channel = 4;
        info.isInput = isInput;
        std::strcpy(info.name, "host's text");
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_STREQ(info.name, "host's text");
    }
}

INSTANTIATE_TEST_SUITE_P(PerDirection, DriverChannelNames,
                         ::testing::Values(ChannelCase{2, 2}, ChannelCase{4, 4}));

TEST_F(DriverQueries, ChannelIndexesOutsideTheFlagTablesAreRefused)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    struct Case {
        LONG channel;
        ASIOError result;
    };
    for (const Case& c : {Case{-1, ASE_InvalidParameter}, Case{std::numeric_limits<LONG>::min(), ASE_InvalidParameter},
                          Case{511, ASE_OK}, Case{512, ASE_InvalidParameter},
                          Case{std::numeric_limits<LONG>::max(), ASE_InvalidParameter}}) {
        for (ASIOBool isInput : {ASIOTrue, ASIOFalse}) {
            ASIOChannelInfo info;
            std::memset(&info, 0x5A, sizeof(info));
            info.channel = c.channel;
            info.isInput = isInput;
            EXPECT_EQ(driver->getChannelInfo(&info), c.result) << "channel " << c.channel;
            if (c.result == ASE_OK) {
                // Beyond the device's channels but inside the tables: an inactive channel.
                EXPECT_EQ(info.isActive, ASIOFalse);
                EXPECT_EQ(info.type, ASIOSTInt32LSB);
            } else {
                EXPECT_EQ(info.isActive, kSentinel);
            }
        }
    }
}

struct SampleTypeCase {
    LONG bytesPerSample;
    bool widthRequestFails;
    ASIOSampleType type;
};

class DriverSampleTypes : public DriverQueries, public ::testing::WithParamInterface<SampleTypeCase> {};

TEST_P(DriverSampleTypes, TypeMatchesTheBytesEachSampleTakes)
{
    nxsim::DeviceConfig config;
    config.bytesPerSample = GetParam().bytesPerSample;
    if (GetParam().widthRequestFails)
        config.fail.push_back(IOCTL_NXKD_GET_SAMPLE_SIZE);
    ASSERT_NE(Open(config), nullptr);
    for (ASIOBool isInput : {ASIOTrue, ASIOFalse}) {
        ASIOChannelInfo info = {};
        info.channel = 1;
        info.isInput = isInput;
        ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.type, GetParam().type);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, DriverSampleTypes,
                         ::testing::Values(SampleTypeCase{2, false, ASIOSTInt16LSB},
                                           SampleTypeCase{3, false, ASIOSTInt24LSB},
                                           SampleTypeCase{4, false, ASIOSTInt32LSB},
                                           SampleTypeCase{4, true, ASIOSTInt16LSB},   // 2 assumed
                                           SampleTypeCase{8, false, ASIOSTInt16LSB}));

TEST_F(DriverQueries, ChannelsAreActiveExactlyWhileTheyHaveBuffers)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    TestHost host;
    auto activeFlags = [this]() {
        std::string flags;
        for (ASIOBool isInput : {ASIOTrue, ASIOFalse}) {
            for (LONG channel = 0; channel < 2; ++channel) {
                ASIOChannelInfo info = {};
                info.channel = channel;
                info.isInput = isInput;
                EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
                flags += info.isActive == ASIOTrue ? '1' : '0';
            }
        }
        return flags;  // in0 in1 out0 out1
    };
    EXPECT_EQ(activeFlags(), "0000");
    ASIOBufferInfo infos[2] = {{ASIOTrue, 1, {nullptr, nullptr}}, {ASIOFalse, 0, {nullptr, nullptr}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, host.Callbacks()), ASE_OK);
    EXPECT_EQ(activeFlags(), "0110");
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(activeFlags(), "0000");
}

TEST_F(DriverQueries, BufferSizeRulesComeFromTheDeviceUnchanged)
{
    nxsim::DeviceConfig config;
    config.bufferSize = {64, 4096, 512, 0};
    ASSERT_NE(Open(config), nullptr);
    LONG min = -1, max = -1, preferred = -1, granularity = -1;
    EXPECT_EQ(driver->getBufferSize(&min, &max, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(min, 64);
    EXPECT_EQ(max, 4096);
    EXPECT_EQ(preferred, 512);
    EXPECT_EQ(granularity, 0);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, IOCTL_NXKD_GET_BUFFER_SIZE_INFO);
    EXPECT_EQ(requests[0].in.size(), 16u);

    nxsim::Simulator::Instance().FailRequest(IOCTL_NXKD_GET_BUFFER_SIZE_INFO);
    EXPECT_EQ(driver->getBufferSize(&min, &max, &preferred, &granularity), ASE_NotPresent);
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(preferred, 0);
    EXPECT_EQ(granularity, 0);
}

struct LatencyCase {
    LONG level;
    DWORD rate;
    LONG frames;      // the device's preferred size; no buffers exist
    LONG offsets;     // latencyPart + outputLead
};

class DriverLatencies : public DriverQueries, public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(DriverLatencies, BeforeBuffersThePreferredSizeIsUsed)
{
    nxsim::DeviceConfig config;
    config.latencyLevel = GetParam().level;
    config.sampleRate = GetParam().rate;
    config.bufferSize = {16, 8192, GetParam().frames, 16};
    config.inputLatency = 7;
    config.outputLatency = 11;
    ASSERT_NE(Open(config), nullptr);
    LONG in = -1, out = -1;
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, GetParam().frames + 7);
    EXPECT_EQ(out, 11 + GetParam().offsets);
    const std::vector<DWORD> expected = {IOCTL_NXKD_GET_LATENCY_INFO, IOCTL_NXKD_GET_BUFFER_SIZE_INFO};
    EXPECT_EQ(RequestCodes(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, DriverLatencies,
    ::testing::Values(LatencyCase{5, 48000, 256, 228 + 179}, LatencyCase{0, 48000, 48, 46 + 101},
                      LatencyCase{1, 48000, 64, 35 + 94}, LatencyCase{3, 44100, 128, 126 + 65},
                      LatencyCase{4, 96000, 32, 33 + 217}, LatencyCase{9, 48000, 2048, 1702 + 838},
                      // A level the tables do not have counts as the default level 5.
                      LatencyCase{42, 48000, 256, 228 + 179}, LatencyCase{-3, 48000, 256, 228 + 179}));

TEST_F(DriverQueries, LatenciesFollowTheBuffersWhileTheyExist)
{
    nxsim::DeviceConfig config;  // level 5, 48000 Hz
    config.bufferSize = {32, 2048, 128, 32};
    config.inputLatency = 3;
    config.outputLatency = 5;
    ASSERT_NE(Open(config), nullptr);
    TestHost host;
    TwoBuffers buffers;
    LONG in = -1, out = -1;

    ASSERT_EQ(CreateTwoBuffers(driver, host, 256, &buffers), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 256 + 3);
    EXPECT_EQ(out, 5 + 407);

    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 128 + 3);
}

TEST_F(DriverQueries, LatenciesWithRefusedDeviceFiguresCountThemAsZero)
{
    nxsim::DeviceConfig config;
    config.inputLatency = 3;
    config.outputLatency = 5;
    config.fail = {IOCTL_NXKD_GET_LATENCY_INFO, IOCTL_NXKD_GET_BUFFER_SIZE_INFO};
    ASSERT_NE(Open(config), nullptr);
    LONG in = -1, out = -1;
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 0);   // no buffers and no preferred size: nothing to add
    EXPECT_EQ(out, 0);
}

TEST_F(DriverQueries, CanSampleRateAcceptsOnlyFrequenciesCloseToAWholeAcceptedNumber)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    struct Case {
        double rate;
        ASIOError result;
        LONG asked;  // the frequency sent to the device; 0 when nothing is sent
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {48000.0, ASE_OK, 48000},       {48000.05, ASE_OK, 48000},      {48000.2, ASE_NoClock, 48000},
        {48000.3, ASE_NoClock, 48000},  {47999.95, ASE_OK, 48000},      {44100.0, ASE_OK, 44100},
        {32000.0, ASE_NoClock, 32000},  // not offered by this device
        {nan, ASE_NoClock, 0},          {inf, ASE_NoClock, 0},          {-48000.0, ASE_NoClock, 0},
        {1e12, ASE_NoClock, 0},
    };
    for (const Case& c : cases) {
        nxsim::Simulator::Instance().ClearLog();
        EXPECT_EQ(driver->canSampleRate(c.rate), c.result) << c.rate;
        const auto asked = Requests(IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE);
        if (c.asked == 0) {
            EXPECT_TRUE(Requests().empty()) << c.rate;
        } else {
            ASSERT_EQ(asked.size(), 1u) << c.rate;
            EXPECT_EQ(asked[0].in, Words({0, c.asked, 0})) << c.rate;
        }
    }
}

TEST_F(DriverQueries, ClockSourcesAreTheOneDeviceClock)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    ASIOClockSource clocks[2];
    std::memset(clocks, 0x5A, sizeof(clocks));
    for (LONG offered : {2, 1, 0}) {
        LONG count = offered;
        ASSERT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(clocks[0].index, 0);
        EXPECT_EQ(clocks[0].associatedChannel, 0);
        EXPECT_EQ(clocks[0].associatedGroup, 0);
        EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
        EXPECT_STREQ(clocks[0].name, "Device");
        EXPECT_EQ(clocks[1].index, kSentinel);  // exactly one source written
    }
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_InvalidParameter);
    EXPECT_EQ(driver->setClockSource(-1), ASE_InvalidParameter);
    EXPECT_TRUE(Requests().empty());
}

// setSampleRate against the request log.

TEST_F(DriverQueries, SetSampleRateChangesTheFrequencyInTheDocumentedOrder)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);  // runs at 48000
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);

    std::vector<nxsim::LogEntry> requests = Requests();
    // Collapse the polling of the running frequency into one entry for the order check.
    std::vector<DWORD> codes;
    for (const auto& entry : requests) {
        if (codes.empty() || !(entry.code == IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE && codes.back() == entry.code))
            codes.push_back(entry.code);
    }
    const std::vector<DWORD> expected = {
        IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE,    IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, IOCTL_NXKD_GET_KX_RUNNING,
        IOCTL_NXKD_ASIO_SET_SAMPLE_RATE,    IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE,
        IOCTL_NXKD_ASIO_GET_SAMPLE_RATE,    IOCTL_NXKD_SET_ASIO_STATUS};
    ASSERT_EQ(codes, expected);

    EXPECT_EQ(requests[0].in, Words({0, 44100, 0}));
    EXPECT_EQ(requests[1].in, Words({0, 44100, 0}));
    EXPECT_EQ(requests[2].in, Words({0}));
    EXPECT_EQ(requests[3].in, Words({0, 44100, 0}));  // every open device
    EXPECT_EQ(requests[4].in, Words({0, 44100, 1}));  // then the main device
    EXPECT_EQ(requests[5].in, Words({0, 44100}));
    const auto readBack = Requests(IOCTL_NXKD_ASIO_GET_SAMPLE_RATE);
    ASSERT_EQ(readBack.size(), 1u);
    EXPECT_EQ(readBack[0].in, Words({0, 44100}));
    const auto status = Requests(IOCTL_NXKD_SET_ASIO_STATUS);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].in, Words({0, 1, 44100, 0, 0, 0, 0, 0}));

    // The Kx query goes over a temporary second handle.
    const auto log = nxsim::Simulator::Instance().Log();
    size_t kx = 0;
    while (kx < log.size() && !(log[kx].kind == nxsim::LogEntry::Request && log[kx].code == IOCTL_NXKD_GET_KX_RUNNING))
        ++kx;
    ASSERT_TRUE(kx > 0 && kx + 1 < log.size());
    EXPECT_EQ(log[kx - 1].kind, nxsim::LogEntry::Open);
    EXPECT_EQ(log[kx + 1].kind, nxsim::LogEntry::Close);

    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(nxsim::Simulator::Instance().OpenHandles(1), 1);
}

TEST_F(DriverQueries, SetSampleRateToTheConfirmedFrequencyChangesNothing)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE);
    EXPECT_EQ(requests[0].in, Words({0, 48000, 0}));
    EXPECT_EQ(requests[1].code, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE);
    EXPECT_EQ(requests[1].in, Words({0, 44100}));
}

TEST_F(DriverQueries, SetSampleRateToTheCurrentNumberStillChangesADeviceRunningElsewhere)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    nxsim::Simulator::Instance().SetRunningRate(1, 44100);
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    const auto set = Requests(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE);
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set[0].in, Words({0, 48000, 0}));
    EXPECT_EQ(set[1].in, Words({0, 48000, 1}));
}

TEST_F(DriverQueries, SetSampleRateRefusals)
{
    ASSERT_NE(Open(nxsim::DeviceConfig{}), nullptr);
    struct Case {
        double rate;
        bool kxRunning;
    };
    for (const Case& c : {Case{32000.0, false}, Case{44100.3, false}, Case{std::nan(""), false},
                          Case{44100.0, true}}) {
        nxsim::Simulator::Instance().SetKxRunning(1, c.kxRunning ? 1 : 0);
        nxsim::Simulator::Instance().ClearLog();
        EXPECT_EQ(driver->setSampleRate(c.rate), ASE_NoClock) << c.rate;
        EXPECT_TRUE(Requests(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE).empty()) << c.rate;
        EXPECT_EQ(Requests(IOCTL_NXKD_GET_KX_RUNNING).size(), c.kxRunning ? 1u : 0u) << c.rate;
        ASIOSampleRate rate = 0;
        EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, 48000.0);
    }
}

// Takes about three seconds: the device is polled 30 times, 100 ms apart.
TEST_F(DriverQueries, SetSampleRateGivesUpWaitingForADeviceThatNeverFollows)
{
    nxsim::DeviceConfig config;
    config.followsRateChange = false;
    ASSERT_NE(Open(config), nullptr);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(Requests(IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE).size(), 30u);
    EXPECT_EQ(Requests(IOCTL_NXKD_ASIO_GET_SAMPLE_RATE).size(), 1u);
}

}  // namespace
