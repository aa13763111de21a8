// The kernel request module, observed on the wire through the simulator's request log:
// the bytes of every record, the defaults a client keeps when a request fails, the
// temporary handle of SendRequestOnce, the mapping functions, the device paths; and
// the latency level tables.
#include "latency_tables.h"
#include "nxkd_requests.h"
#include "nxkd_sim.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using nxsim::Clock;
using nxsim::DeviceConfig;
using nxsim::LogEntry;
using nxsim::Simulator;

Simulator& Sim() { return Simulator::Instance(); }

typedef std::vector<BYTE> Bytes;

// Little-endian 32-bit words.
Bytes Words(std::initializer_list<std::uint32_t> words)
{
    Bytes bytes;
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<BYTE>(w >> (8 * i)));
    return bytes;
}

template <typename T>
Bytes BytesOf(const T& record)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(&record);
    return Bytes(p, p + sizeof(T));
}

const char* KindName(LogEntry::Kind kind)
{
    return kind == LogEntry::Open ? "open" : kind == LogEntry::Close ? "close" : "request";
}

// The kinds of the log entries, with the code of each request: "open", "0x222044", "close".
std::vector<std::string> Trail()
{
    std::vector<std::string> trail;
    for (const LogEntry& entry : Sim().Log()) {
        char text[32];
        if (entry.kind == LogEntry::Request)
            std::snprintf(text, sizeof(text), "0x%06lX%s", static_cast<unsigned long>(entry.code), entry.ok ? "" : " fail");
        else
            std::snprintf(text, sizeof(text), "%s%s", KindName(entry.kind), entry.ok ? "" : " fail");
        trail.push_back(text);
    }
    return trail;
}

DeviceConfig TestDevice()
{
    DeviceConfig config;
    config.clock = Clock::Manual;
    config.inputLatency = 3;
    config.outputLatency = 5;
    return config;
}

class RequestsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sim().Reset();
        Sim().AddDevice(1, TestDevice());
        FormatDevicePathA(path, 1);
        handle = OpenDeviceA(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        Sim().ClearLog();
    }
    void TearDown() override
    {
        CloseDevice(handle);
        Sim().Reset();
    }

    char path[kDevicePathChars];
    HANDLE handle = INVALID_HANDLE_VALUE;
};

// ---------------------------------------------------------------------------
// Records on the wire

struct WireCase {
    const char* name;
    DWORD code;
    Bytes record;    // what the client sends, built from the record type
    Bytes expected;  // what the kernel driver answers over it
};

TEST_F(RequestsTest, EveryRecordTravelsByteForByte)
{
    NxSettingsRecord preset = {};
    PresetSettingsDefaults(&preset);
    NxSettingsRecord settingsReply = {};
    std::memcpy(settingsReply.rateTable, Sim().Settings(1).rateTable, sizeof(settingsReply.rateTable));
    PresetSettingsDefaults(&settingsReply);
    settingsReply.status = 1;
    NxSettingsRecord written = settingsReply;
    written.latencyLevel = 2;
    written.levelMode = 1;
    written.status = 0;  // the verdict of this device

    NxStartStreamRecord startMarker = {0, 0, 0, 0, 0};
    NxStartStreamRecord startMain = {0, 0, 1, 0, HandleToWire(reinterpret_cast<HANDLE>(420))};
    NxEventRegistration registration = {0, 1, HandleToWire(reinterpret_cast<HANDLE>(0x1234)), 0,
                                        HandleToWire(reinterpret_cast<HANDLE>(0x5678)), 0};
    NxAsioStatusRecord status = {0, 1, 48000, {}};
    NxClockStatusRecord clock = {};
    NxStreamLayoutRecord layout = {};

    const WireCase cases[] = {
        {"ready", IOCTL_NXKD_GET_DEVICE_READY, Words({0}), Words({1})},
        {"layout", IOCTL_NXKD_GET_STREAM_LAYOUT, BytesOf(layout), {0, 0, 0, 0, 2, 2, 0, 0}},
        {"sample size", IOCTL_NXKD_GET_SAMPLE_SIZE, Words({0, 2}), Words({0, 4})},
        {"sample rate", IOCTL_NXKD_GET_SAMPLE_RATE, Words({0, 44100}), Words({0, 48000})},
        {"current rate", IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, Words({0, 44100}), Words({0, 48000})},
        {"asio rate", IOCTL_NXKD_ASIO_GET_SAMPLE_RATE, Words({0, 44100}), Words({0, 48000})},
        {"asio set rate main", IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, Words({0, 96000, 1}), Words({0, 96000, 1})},
        {"asio set rate other", IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, Words({0, 48000, 0}), Words({0, 48000, 0})},
        {"asio can rate", IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, Words({0, 44100, 0}), Words({0, 44100, 0})},
        {"asio cannot rate", IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, Words({0, 8000, 0}), Words({0, 48000, 0})},
        {"set rate", IOCTL_NXKD_SET_SAMPLE_RATE, Words({0, 48000}), Words({0, 48000})},
        {"query rate", IOCTL_NXKD_QUERY_SAMPLE_RATE, Words({0, 44100, 0}), Words({0, 44100, 1})},
        {"clock status", IOCTL_NXKD_GET_CLOCK_STATUS, BytesOf(clock), Words({0, 48000, 48000, 0, 0})},
        {"kx running", IOCTL_NXKD_GET_KX_RUNNING, Words({0}), Words({0})},
        {"client active", IOCTL_NXKD_GET_CLIENT_ACTIVE, Words({0}), Words({0})},
        {"latency", IOCTL_NXKD_GET_LATENCY_INFO, Words({0, 0, 0}), Words({0, 3, 5})},
        {"buffer sizes", IOCTL_NXKD_GET_BUFFER_SIZE_INFO, Words({0, 0, 0, 0}), Words({32, 2048, 256, 32})},
        {"register", IOCTL_NXKD_REGISTER_EVENTS, BytesOf(registration),
         Words({0, 1, 0x1234, 0, 0, 0, 0x5678, 0, 0, 0})},
        {"notification", IOCTL_NXKD_ASIO_GET_NOTIFICATION, Words({0, 0}), Words({0, 0})},
        {"unregister", IOCTL_NXKD_UNREGISTER_EVENTS, BytesOf(registration),
         Words({0, 1, 0x1234, 0, 0, 0, 0x5678, 0, 0, 0})},
        {"input option", IOCTL_NXKD_SET_INPUT_OPTION, Words({0, 0}), Words({0, 0})},
        {"set asio status", IOCTL_NXKD_SET_ASIO_STATUS, BytesOf(status),
         Words({0, 1, 48000, 0, 0, 0, 0, 0})},
        {"get asio status", IOCTL_NXKD_GET_ASIO_STATUS, Words({0, 0, 0, 0, 0, 0, 0, 0}),
         Words({0, 1, 48000, 0, 0, 0, 0, 0})},
        {"get settings", IOCTL_NXKD_GET_SETTINGS, BytesOf(preset), BytesOf(settingsReply)},
        {"set settings", IOCTL_NXKD_SET_SETTINGS, BytesOf(written), BytesOf(written)},
        {"start marker", IOCTL_NXKD_START_STREAM, BytesOf(startMarker), Words({0, 0, 0, 0, 0, 0})},
        {"start main", IOCTL_NXKD_START_STREAM, BytesOf(startMain), Words({0, 0, 1, 0, 420, 0})},
        {"stop marker", IOCTL_NXKD_STOP_STREAM, Words({0, 0, 0}), Words({0, 0, 0})},
        {"stop main", IOCTL_NXKD_STOP_STREAM, Words({0, 1, 0}), Words({0, 1, 0})},
        {"release", IOCTL_NXKD_RELEASE_BUFFER, {}, {}},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes record = c.record;
        Sim().ClearLog();
        ASSERT_TRUE(SendRequest(handle, c.code, record.empty() ? nullptr : record.data(),
                                static_cast<DWORD>(record.size())));
        std::vector<LogEntry> log = Sim().Log();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(c.code, log[0].code);
        EXPECT_EQ(1, log[0].device);
        EXPECT_TRUE(log[0].ok);
        EXPECT_EQ(c.record, log[0].in);
        EXPECT_EQ(c.expected, log[0].out);
        EXPECT_EQ(c.expected, record);  // the answer lands in the caller's record
    }
}

TEST_F(RequestsTest, DeviceInfoAndStreamPositionReplies)
{
    NxDeviceInfoRecord info = {};
    ASSERT_TRUE(SendRequest(handle, IOCTL_NXKD_GET_DEVICE_INFO, &info, sizeof(info)));
    std::vector<LogEntry> log = Sim().Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(Bytes(sizeof(info), 0), log[0].in);
    ASSERT_EQ(sizeof(info), log[0].out.size());
    EXPECT_GT(info.length, 0u);
    EXPECT_LE(info.length, 2048u);
    EXPECT_EQ(Words({0, info.length}), Bytes(log[0].out.begin(), log[0].out.begin() + 8));

    Sim().ClearLog();
    NxStreamPositionRecord position = {0, 0x01020304, 0, 0};
    ASSERT_TRUE(SendRequest(handle, IOCTL_NXKD_GET_STREAM_POSITION, &position, sizeof(position)));
    log = Sim().Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(Words({0, 0x01020304, 0, 0}), log[0].in);
    EXPECT_EQ(Words({0, 0x01020304, position.kernelTimeMs, 0}), log[0].out);
}

TEST_F(RequestsTest, HandlesTravelSignExtended)
{
    HANDLE negative = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));
    EXPECT_EQ(-2, HandleToWire(negative));
    EXPECT_EQ(negative, WireToHandle(HandleToWire(negative)));
    EXPECT_EQ(420, HandleToWire(reinterpret_cast<HANDLE>(420)));
}

// ---------------------------------------------------------------------------
// Failed requests

struct DefaultCase {
    const char* name;
    DWORD code;
    Bytes preset;
};

TEST_F(RequestsTest, AFailedRequestLeavesThePresetValues)
{
    const DefaultCase cases[] = {
        {"sample rate", IOCTL_NXKD_GET_SAMPLE_RATE, Words({0, 44100})},
        {"current rate", IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, Words({0, 44100})},
        {"asio rate", IOCTL_NXKD_ASIO_GET_SAMPLE_RATE, Words({0, 44100})},
        {"sample size", IOCTL_NXKD_GET_SAMPLE_SIZE, Words({0, 2})},
        {"layout", IOCTL_NXKD_GET_STREAM_LAYOUT, Words({0, 0})},
        {"settings", IOCTL_NXKD_GET_SETTINGS, [] {
             NxSettingsRecord preset = {};
             PresetSettingsDefaults(&preset);
             return BytesOf(preset);
         }()},
    };
    for (const DefaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().FailRequest(c.code, 1, 1);
        Sim().ClearLog();
        Bytes record = c.preset;
        EXPECT_FALSE(SendRequest(handle, c.code, record.data(), static_cast<DWORD>(record.size())));
        EXPECT_EQ(c.preset, record);
        std::vector<LogEntry> log = Sim().Log();
        ASSERT_EQ(1u, log.size());
        EXPECT_FALSE(log[0].ok);
        EXPECT_EQ(c.preset, log[0].in);
        EXPECT_TRUE(log[0].out.empty());
    }
}

TEST_F(RequestsTest, AWrongLengthIsRefused)
{
    BYTE record[12] = {};
    EXPECT_FALSE(SendRequest(handle, IOCTL_NXKD_GET_SAMPLE_RATE, record, 12));
    EXPECT_FALSE(SendRequest(handle, IOCTL_NXKD_GET_SAMPLE_RATE, nullptr, 0));
    EXPECT_FALSE(SendRequest(INVALID_HANDLE_VALUE, IOCTL_NXKD_GET_SAMPLE_RATE, record, 8));
    EXPECT_EQ((std::vector<std::string>{"0x222320 fail", "0x222320 fail", "0x222320 fail"}), Trail());
}

// ---------------------------------------------------------------------------
// SendRequestOnce

TEST_F(RequestsTest, SendRequestOnceOpensSendsAndCloses)
{
    NxFlagRecord ready = {0};
    EXPECT_TRUE(SendRequestOnce(path, IOCTL_NXKD_GET_DEVICE_READY, &ready, sizeof(ready)));
    EXPECT_EQ(1, ready.value);
    WCHAR wide[kDevicePathChars];
    FormatDevicePathW(wide, 1);
    NxFlagRecord active = {0};
    EXPECT_TRUE(SendRequestOnce(wide, IOCTL_NXKD_GET_CLIENT_ACTIVE, &active, sizeof(active)));
    EXPECT_EQ((std::vector<std::string>{"open", "0x222044", "close", "open", "0x2221F8", "close"}), Trail());
    EXPECT_EQ(1, Sim().OpenHandles(1));  // only the fixture's handle

    // A request that fails still closes its handle.
    Sim().ClearLog();
    Sim().FailRequest(IOCTL_NXKD_GET_KX_RUNNING, 1, 1);
    NxFlagRecord kx = {0};
    EXPECT_FALSE(SendRequestOnce(path, IOCTL_NXKD_GET_KX_RUNNING, &kx, sizeof(kx)));
    EXPECT_EQ((std::vector<std::string>{"open", "0x222348 fail", "close"}), Trail());
}

TEST_F(RequestsTest, SendRequestOnceFailsWhenTheOpenFails)
{
    char absent[kDevicePathChars];
    FormatDevicePathA(absent, 2);
    NxFlagRecord ready = {0};
    EXPECT_FALSE(SendRequestOnce(absent, IOCTL_NXKD_GET_DEVICE_READY, &ready, sizeof(ready)));
    Sim().FailOpen(1, 1);
    WCHAR wide[kDevicePathChars];
    FormatDevicePathW(wide, 1);
    EXPECT_FALSE(SendRequestOnce(wide, IOCTL_NXKD_GET_DEVICE_READY, &ready, sizeof(ready)));
    EXPECT_EQ(0, ready.value);
    EXPECT_EQ((std::vector<std::string>{"open fail", "open fail"}), Trail());
}

// ---------------------------------------------------------------------------
// BeginMapBuffer and EndMapBuffer

class MapTest : public RequestsTest {
protected:
    static constexpr LONG kFrames = 32;
    // 2 inputs + 2 outputs of 4 bytes, 64 periods.
    std::vector<BYTE> block = std::vector<BYTE>(kTransferHeaderSize + kFrames * 4 * 4 * kRingPeriods);
    NxMapBufferRecord input = {0, kFrames, kFrames * kRingPeriods};
    OVERLAPPED overlapped = {};

    bool Begin()
    {
        return BeginMapBuffer(handle, &input, block.data(), static_cast<DWORD>(block.size()), &overlapped);
    }
};

TEST_F(MapTest, PendingMappingCompletesWithTheRelease)
{
    overlapped.Internal = 77;  // zeroed by BeginMapBuffer
    ASSERT_TRUE(Begin());
    ASSERT_NE(nullptr, overlapped.hEvent);
    EXPECT_EQ(0u, overlapped.Internal);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(overlapped.hEvent, 0));
    EXPECT_TRUE(Sim().IsMapped(1));
    std::vector<LogEntry> log = Sim().Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(IOCTL_NXKD_MAP_BUFFER, log[0].code);
    EXPECT_EQ(Words({0, 32, 2048}), log[0].in);
    EXPECT_TRUE(log[0].ok);

    EndMapBuffer(handle, &overlapped);  // returns once the release has completed the mapping
    EXPECT_EQ(nullptr, overlapped.hEvent);
    EXPECT_FALSE(Sim().IsMapped(1));
    EXPECT_EQ((std::vector<std::string>{"0x222142", "0x222124"}), Trail());
}

TEST_F(MapTest, ImmediateCompletionCountsAsHandedOver)
{
    DeviceConfig config = TestDevice();
    config.completeMapAtOnce = true;
    Sim().AddDevice(2, config);
    char second[kDevicePathChars];
    FormatDevicePathA(second, 2);
    CloseDevice(handle);
    handle = OpenDeviceA(second);
    ASSERT_TRUE(Begin());
    ASSERT_NE(nullptr, overlapped.hEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(overlapped.hEvent, 0));
    EndMapBuffer(handle, &overlapped);
    EXPECT_EQ(nullptr, overlapped.hEvent);
    EXPECT_FALSE(Sim().IsMapped(2));
}

TEST_F(MapTest, ARefusedMappingClosesTheEvent)
{
    const int liveBefore = platform_test::LiveHandleCount();
    Sim().FailRequest(IOCTL_NXKD_MAP_BUFFER, 1, 1);
    EXPECT_FALSE(Begin());
    EXPECT_EQ(nullptr, overlapped.hEvent);
    EXPECT_EQ(liveBefore, platform_test::LiveHandleCount());
    EXPECT_FALSE(Sim().IsMapped(1));

    // A block shorter than the layout needs is refused the same way.
    EXPECT_FALSE(BeginMapBuffer(handle, &input, block.data(), static_cast<DWORD>(block.size() - 1), &overlapped));
    EXPECT_EQ(nullptr, overlapped.hEvent);
    EXPECT_EQ(liveBefore, platform_test::LiveHandleCount());
}

TEST_F(MapTest, InvalidHandlesSendNothing)
{
    EXPECT_FALSE(BeginMapBuffer(INVALID_HANDLE_VALUE, &input, block.data(), static_cast<DWORD>(block.size()),
                                &overlapped));
    EndMapBuffer(INVALID_HANDLE_VALUE, &overlapped);
    EndMapBuffer(handle, &overlapped);  // no event: nothing to release
    EXPECT_TRUE(Sim().Log().empty());
}

// ---------------------------------------------------------------------------
// Device paths

TEST(DevicePathTest, FormatsBothWidths)
{
    const char* expected[] = {"\\\\.\\Nxkd2650001", "\\\\.\\Nxkd2650004", "\\\\.\\Nxkd2650008"};
    const int numbers[] = {1, 4, 8};
    for (int i = 0; i < 3; ++i) {
        char narrow[kDevicePathChars];
        WCHAR wide[kDevicePathChars];
        FormatDevicePathA(narrow, numbers[i]);
        FormatDevicePathW(wide, numbers[i]);
        EXPECT_STREQ(expected[i], narrow);
        size_t length = std::strlen(expected[i]);
        for (size_t k = 0; k <= length; ++k)
            EXPECT_EQ(static_cast<WCHAR>(expected[i][k]), wide[k]) << "position " << k;
    }
}

// ---------------------------------------------------------------------------
// Latency level tables

TEST(LatencyTablesTest, BufferSizeForLevel)
{
    struct SizeCase {
        ULONG rate;
        LONG level;
        LONG size;
    };
    const SizeCase cases[] = {
        {44100, 5, 256}, {48000, 5, 256},   {96000, 0, 96},      {192000, 9, 8192},
        {352800, 9, 16384}, {48001, 5, 512}, {384000, 0, 384},   {32000, 9, 2048},
        {0, 5, 256},     {44100, -1, 256},  {44100, 10, 256},
    };
    for (const SizeCase& c : cases)
        EXPECT_EQ(c.size, BufferSizeForLevel(c.rate, c.level)) << c.rate << " Hz level " << c.level;
    for (LONG level = 0; level < kLatencyLevels; ++level) {
        EXPECT_EQ(1360, BufferSizeForLevel(400000, level));
        EXPECT_EQ(BufferSizeForLevel(48000, 0), BufferSizeForLevel(48000, 1));
    }
    for (ULONG rate : {44100u, 96000u, 192000u, 352800u})
        EXPECT_EQ(BufferSizeForLevel(rate, 0), BufferSizeForLevel(rate, 1)) << rate;
    // Beyond the bands the size grows with the rate and never overflows.
    EXPECT_GT(BufferSizeForLevel(0xFFFFFFFFu, 5), 0);
    EXPECT_EQ(0, BufferSizeForLevel(0xFFFFFFFFu, 5) % 16);
}

TEST(LatencyTablesTest, SanitizeAndLevelLimit)
{
    for (LONG level = 0; level < kLatencyLevels; ++level)
        EXPECT_EQ(level, SanitizeLatencyLevel(level));
    for (LONG bad : {-1, 10, 288, -2147483647 - 1, 2147483647})
        EXPECT_EQ(kDefaultLatencyLevel, SanitizeLatencyLevel(bad)) << bad;
    const LONG limits[kLatencyLevels] = {2, 3, 3, 4, 8, 12, 12, 16, 25, 70};
    for (LONG level = 0; level < kLatencyLevels; ++level)
        EXPECT_EQ(limits[level], LevelLimit(level)) << level;
    EXPECT_EQ(LevelLimit(kDefaultLatencyLevel), LevelLimit(42));
}

}  // namespace
