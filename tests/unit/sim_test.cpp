// The simulated kernel driver: configuration, handles, the pending mapping, the period
// clock with its rings, halt, removal, fault injection and the request log.
#include "nxkd_requests.h"
#include "nxkd_sim.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using nxsim::Clock;
using nxsim::DeviceConfig;
using nxsim::LogEntry;
using nxsim::Simulator;

Simulator& Sim() { return Simulator::Instance(); }

HANDLE OpenNumber(int number)
{
    char path[kDevicePathChars];
    FormatDevicePathA(path, number);
    return OpenDeviceA(path);
}

DeviceConfig ManualDevice()
{
    DeviceConfig config;
    config.clock = Clock::Manual;
    return config;
}

template <typename T>
bool Send(HANDLE handle, DWORD code, T* record)
{
    return SendRequest(handle, code, record, sizeof(T));
}

LONG SampleRate(HANDLE handle, DWORD code)
{
    NxValueRecord record = {0, 44100};
    EXPECT_TRUE(Send(handle, code, &record));
    return record.value;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sim().Reset();
        Sim().AddDevice(1, ManualDevice());
    }
    void TearDown() override { Sim().Reset(); }
};

// ---------------------------------------------------------------------------
// Configuration file

struct ConfigCase {
    const char* text;
    bool ok;
    std::vector<int> present;   // device numbers that open
    const char* errorPart;      // part of the message for a bad file
};

TEST(SimConfigTest, ParsesGoodFilesAndRejectsBadOnes)
{
    const ConfigCase cases[] = {
        {"", true, {}, ""},
        {"# nothing\n\n", true, {}, ""},
        {"[device 1]\n", true, {1}, ""},
        {"[device 2]\n[ device 4 ]\n", true, {2, 4}, ""},
        {"[device 1]\nready = 0  # comment\nsample_rate = 96000\nrates = 44100 96000\n"
         "bytes_per_sample = 3\ninputs = 8\noutputs = 6\nbuffer_size = 64 4096 512 64\n"
         "latency = 10 20\nlatency_level = 12\nverdict = 2\nclient_active = 1\nkx_running = 1\n"
         "loopback = 0\nclock = manual\nfail = 0x222040 2221E8\n",
         true, {1}, ""},
        {"[device 1]\nfail = none\nclock = realtime\n", true, {1}, ""},
        {"ready = 1\n", false, {}, "line 1"},
        {"[device 9]\n", false, {}, "line 1"},
        {"[device 0]\n", false, {}, "line 1"},
        {"[device x]\n", false, {}, "line 1"},
        {"[device 1]\n[device 1]\n", false, {}, "line 2"},
        {"[device 1]\ncolour = red\n", false, {}, "colour"},
        {"[device 1]\nsample_rate = fast\n", false, {}, "sample_rate"},
        {"[device 1]\nsample_rate = 0\n", false, {}, "sample_rate"},
        {"[device 1]\nrates =\n", false, {}, "rates"},
        {"[device 1]\nbuffer_size = 32 2048 256\n", false, {}, "buffer_size"},
        {"[device 1]\nlatency = 1\n", false, {}, "latency"},
        {"[device 1]\ninputs = 256\n", false, {}, "inputs"},
        {"[device 1]\nbytes_per_sample = 0\n", false, {}, "bytes_per_sample"},
        {"[device 1]\nloopback = 2\n", false, {}, "loopback"},
        {"[device 1]\nclock = sometimes\n", false, {}, "clock"},
        {"[device 1]\nfail = 0x22204G\n", false, {}, "fail"},
        {"[device 1]\njust words\n", false, {}, "line 2"},
    };
    const std::string path = ::testing::TempDir() + "nxkd_sim_config_test.ini";
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.text);
        Sim().Reset();
        Sim().AddDevice(3, DeviceConfig());  // replaced by a good file, kept by a bad one
        WriteFile(path, c.text);
        std::string error;
        ASSERT_EQ(c.ok, Sim().LoadConfigFile(path, &error)) << error;
        if (!c.ok) {
            EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
            continue;
        }
        for (int n = 1; n <= 8; ++n) {
            bool expected = std::find(c.present.begin(), c.present.end(), n) != c.present.end();
            HANDLE h = OpenNumber(n);
            EXPECT_EQ(expected, h != INVALID_HANDLE_VALUE) << "device " << n;
            if (h != INVALID_HANDLE_VALUE)
                CloseDevice(h);
        }
    }
    std::remove(path.c_str());
    std::string error;
    EXPECT_FALSE(Sim().LoadConfigFile(path, &error));
    EXPECT_FALSE(error.empty());
}

TEST(SimConfigTest, KeysReachTheReplies)
{
    const std::string path = ::testing::TempDir() + "nxkd_sim_keys_test.ini";
    WriteFile(path,
              "[device 2]\nready = 0\nsample_rate = 96000\nrates = 44100 96000\nbytes_per_sample = 3\n"
              "inputs = 8\noutputs = 6\nbuffer_size = 64 4096 512 64\nlatency = 10 20\n"
              "latency_level = 7\nverdict = 2\nclient_active = 1\nkx_running = 1\nfail = 0x222040\n");
    Sim().Reset();
    std::string error;
    ASSERT_TRUE(Sim().LoadConfigFile(path, &error)) << error;
    std::remove(path.c_str());
    HANDLE h = OpenNumber(2);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    NxFlagRecord flag = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_DEVICE_READY, &flag));
    EXPECT_EQ(0, flag.value);
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_CLIENT_ACTIVE, &flag));
    EXPECT_EQ(1, flag.value);
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_KX_RUNNING, &flag));
    EXPECT_EQ(1, flag.value);
    EXPECT_EQ(96000, SampleRate(h, IOCTL_NXKD_GET_SAMPLE_RATE));
    NxValueRecord size = {0, 2};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_SAMPLE_SIZE, &size));
    EXPECT_EQ(3, size.value);
    NxBufferSizeRecord sizes = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_BUFFER_SIZE_INFO, &sizes));
    EXPECT_EQ(64, sizes.minimum);
    EXPECT_EQ(4096, sizes.maximum);
    EXPECT_EQ(512, sizes.preferred);
    EXPECT_EQ(64, sizes.granularity);
    NxLatencyRecord latency = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_LATENCY_INFO, &latency));
    EXPECT_EQ(10, latency.inputLatency);
    EXPECT_EQ(20, latency.outputLatency);
    NxSettingsRecord settings = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_SETTINGS, &settings));
    EXPECT_EQ(7, settings.latencyLevel);
    ASSERT_TRUE(Send(h, IOCTL_NXKD_SET_SETTINGS, &settings));
    EXPECT_EQ(2, settings.status);
    NxRateRecord rate = {0, 48000, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_QUERY_SAMPLE_RATE, &rate));
    EXPECT_EQ(0, rate.flag);
    NxStreamLayoutRecord layout = {};
    EXPECT_FALSE(Send(h, IOCTL_NXKD_GET_STREAM_LAYOUT, &layout));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    CloseDevice(h);
}

// ---------------------------------------------------------------------------
// Opening and handles

TEST_F(SimTest, OpensBothPathFormatsAndSeveralHandlesPerDevice)
{
    WCHAR wide[kDevicePathChars];
    FormatDevicePathW(wide, 1);
    HANDLE a = OpenNumber(1);
    HANDLE b = OpenDeviceW(wide);
    HANDLE c = OpenNumber(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, a);
    ASSERT_NE(INVALID_HANDLE_VALUE, b);
    ASSERT_NE(INVALID_HANDLE_VALUE, c);
    EXPECT_NE(nullptr, a);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(3, Sim().OpenHandles(1));
    CloseDevice(b);
    EXPECT_EQ(2, Sim().OpenHandles(1));
    CloseDevice(a);
    CloseDevice(c);
    EXPECT_EQ(0, Sim().OpenHandles(1));
}

TEST_F(SimTest, RefusesWrongPathsAndOpenParameters)
{
    struct OpenCase {
        const char* path;
        DWORD access, share, disposition, flags;
        DWORD error;
        int loggedDevice;
    };
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    const OpenCase cases[] = {
        {"\\\\.\\Nxkd2650002", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_FILE_NOT_FOUND, 2},
        {"\\\\.\\Nxkd2650009", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_FILE_NOT_FOUND, 0},
        {"\\\\.\\Nxkd265001", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_FILE_NOT_FOUND, 0},
        {"\\\\.\\Nxkd2650001x", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_FILE_NOT_FOUND, 0},
        {"Nxkd2650001", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_FILE_NOT_FOUND, 0},
        {"\\\\.\\Nxkd2650001", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_INVALID_PARAMETER, 1},
        {"\\\\.\\Nxkd2650001", rw, 1, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_INVALID_PARAMETER, 1},
        {"\\\\.\\Nxkd2650001", rw, 0, 2, FILE_FLAG_OVERLAPPED, ERROR_INVALID_PARAMETER, 1},
        {"\\\\.\\Nxkd2650001", rw, 0, OPEN_EXISTING, 0, ERROR_INVALID_PARAMETER, 1},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.path);
        Sim().ClearLog();
        EXPECT_EQ(INVALID_HANDLE_VALUE, Sim().Open(c.path, c.access, c.share, c.disposition, c.flags));
        EXPECT_EQ(c.error, GetLastError());
        std::vector<LogEntry> log = Sim().Log();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(LogEntry::Open, log[0].kind);
        EXPECT_EQ(c.loggedDevice, log[0].device);
        EXPECT_FALSE(log[0].ok);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, Sim().Open(nullptr, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                               FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(0, Sim().OpenHandles(1));
}

TEST_F(SimTest, RefusesUnknownHandlesCodesAndWrongLengths)
{
    HANDLE h = OpenNumber(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Sim().ClearLog();
    NxValueRecord value = {0, 44100};
    BYTE big[12] = {};
    DWORD returned = 99;

    EXPECT_FALSE(Sim().Control(INVALID_HANDLE_VALUE, IOCTL_NXKD_GET_SAMPLE_RATE, &value, 8, &value, 8,
                               &returned, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0u, returned);
    EXPECT_FALSE(Sim().Control(&value, IOCTL_NXKD_GET_SAMPLE_RATE, &value, 8, &value, 8, &returned, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(Sim().Control(h, 0x222000, &value, 8, &value, 8, &returned, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Sim().Control(h, IOCTL_NXKD_GET_SAMPLE_RATE, big, 12, big, 12, &returned, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Sim().Control(h, IOCTL_NXKD_GET_SAMPLE_RATE, &value, 8, &value, 4, &returned, nullptr));
    EXPECT_FALSE(Sim().Control(h, IOCTL_NXKD_GET_SAMPLE_RATE, nullptr, 8, nullptr, 8, &returned, nullptr));
    EXPECT_FALSE(Sim().Control(h, IOCTL_NXKD_RELEASE_BUFFER, &value, 8, &value, 8, &returned, nullptr));
    EXPECT_EQ(44100, value.value);  // nothing answered into a refused record

    std::vector<LogEntry> log = Sim().Log();
    ASSERT_EQ(7u, log.size());
    EXPECT_EQ(0, log[0].device);
    EXPECT_EQ(1, log[2].device);
    EXPECT_EQ(0x222000u, log[2].code);
    for (const LogEntry& entry : log) {
        EXPECT_FALSE(entry.ok);
        EXPECT_TRUE(entry.out.empty());
    }
    EXPECT_FALSE(Sim().Close(&value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseDevice(h);
    EXPECT_FALSE(Sim().Close(h));  // closed twice
}

// ---------------------------------------------------------------------------
// Per-device state

TEST_F(SimTest, AsioStatusIsDroppedWhenItsHandleCloses)
{
    HANDLE first = OpenNumber(1);
    HANDLE second = OpenNumber(1);
    HANDLE reader = OpenNumber(1);
    NxAsioStatusRecord status = {};
    ASSERT_TRUE(Send(reader, IOCTL_NXKD_GET_ASIO_STATUS, &status));
    EXPECT_EQ(0, status.deviceCount);
    EXPECT_FALSE(Sim().AsioStatus(1, &status));

    NxAsioStatusRecord stored = {0, 1, 48000, {}};
    ASSERT_TRUE(Send(first, IOCTL_NXKD_SET_ASIO_STATUS, &stored));
    stored = {0, 2, 96000, {}};
    ASSERT_TRUE(Send(second, IOCTL_NXKD_SET_ASIO_STATUS, &stored));

    status = {};
    ASSERT_TRUE(Send(reader, IOCTL_NXKD_GET_ASIO_STATUS, &status));
    EXPECT_EQ(2, status.deviceCount);  // the newest among open handles
    EXPECT_EQ(96000, status.sampleRate);

    CloseDevice(second);
    status = {};
    ASSERT_TRUE(Send(reader, IOCTL_NXKD_GET_ASIO_STATUS, &status));
    EXPECT_EQ(1, status.deviceCount);
    EXPECT_EQ(48000, status.sampleRate);

    CloseDevice(first);
    status = {0, 5, 5, {}};
    ASSERT_TRUE(Send(reader, IOCTL_NXKD_GET_ASIO_STATUS, &status));
    EXPECT_EQ(0, status.deviceCount);
    EXPECT_FALSE(Sim().AsioStatus(1, &status));
    CloseDevice(reader);
}

TEST_F(SimTest, SettingsRecordStartsWithTheRateTableAndTakesWrites)
{
    DeviceConfig config = ManualDevice();
    config.latencyLevel = 3;
    config.verdict = 1;
    Sim().AddDevice(2, config);
    HANDLE h = OpenNumber(2);
    NxSettingsRecord settings;
    std::memset(&settings, 0x5A, sizeof(settings));
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_SETTINGS, &settings));
    EXPECT_EQ(44100, settings.rateTable[1][0]);
    EXPECT_EQ(-44, settings.rateTable[1][2]);
    EXPECT_EQ(384000, settings.rateTable[8][0]);
    EXPECT_EQ(0, settings.rateTable[9][0]);
    NxSettingsRecord defaults = {};
    PresetSettingsDefaults(&defaults);
    defaults.latencyLevel = 3;
    EXPECT_EQ(0, std::memcmp(&defaults.option280, &settings.option280, 336 - 280));
    EXPECT_NE(0, settings.status);

    settings.latencyLevel = 8;
    settings.adjustment1 = -4;
    settings.status = 77;  // meaningless on input
    NxSettingsRecord written = settings;
    ASSERT_TRUE(Send(h, IOCTL_NXKD_SET_SETTINGS, &written));
    EXPECT_EQ(0, std::memcmp(&settings, &written, kSettingsCopyBytes));
    EXPECT_EQ(1, written.status);
    EXPECT_EQ(8, Sim().Settings(2).latencyLevel);

    NxSettingsRecord read = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_SETTINGS, &read));
    EXPECT_EQ(0, std::memcmp(&settings, &read, kSettingsCopyBytes));
    EXPECT_NE(0, read.status);
    CloseDevice(h);
}

TEST_F(SimTest, SampleRateRequests)
{
    DeviceConfig config = ManualDevice();
    config.rates = {44100, 48000, 96000};
    config.followsRateChange = false;
    Sim().AddDevice(2, config);
    HANDLE h = OpenNumber(2);

    NxRateRecord can = {0, 96000, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, &can));
    EXPECT_EQ(96000, can.rate);
    can = {0, 22050, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE, &can));  // refused by another value
    EXPECT_NE(22050, can.rate);
    NxRateRecord query = {0, 22050, 1};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_QUERY_SAMPLE_RATE, &query));
    EXPECT_EQ(0, query.flag);
    query = {0, 44100, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_QUERY_SAMPLE_RATE, &query));
    EXPECT_NE(0, query.flag);

    NxRateRecord set = {0, 96000, 1};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &set));
    EXPECT_EQ(96000, SampleRate(h, IOCTL_NXKD_GET_SAMPLE_RATE));
    EXPECT_EQ(96000, SampleRate(h, IOCTL_NXKD_ASIO_GET_SAMPLE_RATE));
    EXPECT_EQ(48000, SampleRate(h, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE));  // does not follow
    set = {0, 22050, 1};
    EXPECT_FALSE(Send(h, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &set));

    Sim().SetRunningRate(2, 96000);
    NxClockStatusRecord clock = {};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_CLOCK_STATUS, &clock));
    EXPECT_EQ(96000, clock.runningRate);
    EXPECT_EQ(96000, clock.rateSetting);
    EXPECT_EQ(0, clock.externalClock);

    NxValueRecord setting = {0, 44100};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_SET_SAMPLE_RATE, &setting));
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_CLOCK_STATUS, &clock));
    EXPECT_EQ(44100, clock.rateSetting);
    CloseDevice(h);

    // A device that follows: the running frequency changes with the setting.
    HANDLE main = OpenNumber(1);
    set = {0, 88200, 0};
    ASSERT_TRUE(Send(main, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, &set));
    EXPECT_EQ(88200, SampleRate(main, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE));
    CloseDevice(main);
}

TEST_F(SimTest, NotificationsRaiseFlagsAndSignalTheMessageEvent)
{
    HANDLE h = OpenNumber(1);
    HANDLE message = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    NxEventRegistration registration = {0, 1, HandleToWire(message), 0, HandleToWire(removal), 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_REGISTER_EVENTS, &registration));

    Sim().Notify(1, 1);
    Sim().Notify(1, 2);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(message, 0));
    NxValueRecord flags = {0, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_ASIO_GET_NOTIFICATION, &flags));
    EXPECT_EQ(3, flags.value);
    flags = {0, 0};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_ASIO_GET_NOTIFICATION, &flags));
    EXPECT_EQ(0, flags.value);  // cleared by the previous request

    ASSERT_TRUE(Send(h, IOCTL_NXKD_UNREGISTER_EVENTS, &registration));
    Sim().Notify(1, 1);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(message, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(removal, 0));
    CloseDevice(h);
    CloseHandle(message);
    CloseHandle(removal);
}

// ---------------------------------------------------------------------------
// The transfer block and the period clock

// A client of one device: handle, events and a transfer block mapped on it.
class Client {
public:
    Client(int number, LONG periodFrames, int inputCount = 2, int outputCount = 2, LONG bytesPerSample = 4)
        : frames(periodFrames), inputs(inputCount), outputs(outputCount), bytes(bytesPerSample)
    {
        handle = OpenNumber(number);
        periodEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        block.assign(Length(), 0);
        Header()->headerSize = kTransferHeaderSize;
    }
    ~Client()
    {
        if (overlapped.hEvent != nullptr)
            EndMapBuffer(handle, &overlapped);
        CloseDevice(handle);
        CloseHandle(periodEvent);
    }

    DWORD Length() const { return kTransferHeaderSize + PeriodBytes() * (inputs + outputs) * kRingPeriods; }
    DWORD PeriodBytes() const { return static_cast<DWORD>(frames * bytes); }
    TransferBlockHeader* Header() { return reinterpret_cast<TransferBlockHeader*>(block.data()); }
    BYTE* Ring(int channel) { return block.data() + kTransferHeaderSize + channel * PeriodBytes() * kRingPeriods; }
    BYTE* Period(int channel, int period) { return Ring(channel) + period * PeriodBytes(); }

    bool Map()
    {
        NxMapBufferRecord input = {0, frames, frames * kRingPeriods};
        return BeginMapBuffer(handle, &input, block.data(), static_cast<DWORD>(block.size()), &overlapped);
    }
    bool Start()
    {
        NxStartStreamRecord marker = {0, 0, 0, 0, 0};
        NxStartStreamRecord main = {0, 0, 1, 0, HandleToWire(periodEvent)};
        return Send(handle, IOCTL_NXKD_START_STREAM, &marker) && Send(handle, IOCTL_NXKD_START_STREAM, &main);
    }
    void Stop()
    {
        NxStopStreamRecord marker = {0, 0, 0};
        NxStopStreamRecord main = {0, 1, 0};
        Send(handle, IOCTL_NXKD_STOP_STREAM, &marker);
        Send(handle, IOCTL_NXKD_STOP_STREAM, &main);
    }
    bool Signalled(DWORD timeoutMs = 0) { return WaitForSingleObject(periodEvent, timeoutMs) == WAIT_OBJECT_0; }

    LONG frames;
    int inputs;
    int outputs;
    LONG bytes;
    HANDLE handle;
    HANDLE periodEvent;
    std::vector<BYTE> block;
    OVERLAPPED overlapped = {};
};

TEST_F(SimTest, PendingMapCompletesOnReleaseOnly)
{
    Client client(1, 64);
    ASSERT_TRUE(client.Map());
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_TRUE(Sim().IsMapped(1));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(client.overlapped.hEvent, 0));

    // A second handle's release does not complete this handle's mapping.
    HANDLE other = OpenNumber(1);
    EXPECT_TRUE(SendRequest(other, IOCTL_NXKD_RELEASE_BUFFER, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(client.overlapped.hEvent, 0));
    CloseDevice(other);

    // A second mapping while one is pending is refused.
    NxMapBufferRecord input = {0, 64, 64 * 64};
    OVERLAPPED second = {};
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(Sim().Control(client.handle, IOCTL_NXKD_MAP_BUFFER, &input, 12, client.block.data(),
                               client.Length(), nullptr, &second));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    CloseHandle(second.hEvent);

    EXPECT_TRUE(SendRequest(client.handle, IOCTL_NXKD_RELEASE_BUFFER, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(client.overlapped.hEvent, 0));
    EXPECT_FALSE(Sim().IsMapped(1));
    CloseHandle(client.overlapped.hEvent);
    client.overlapped.hEvent = nullptr;
}

TEST_F(SimTest, ClosingAHandleCompletesItsPendingMap)
{
    HANDLE h = OpenNumber(1);
    std::vector<BYTE> block(kTransferHeaderSize + 32 * 4 * 4 * 64);
    NxMapBufferRecord input = {0, 32, 32 * 64};
    OVERLAPPED overlapped = {};
    ASSERT_TRUE(BeginMapBuffer(h, &input, block.data(), static_cast<DWORD>(block.size()), &overlapped));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(overlapped.hEvent, 0));
    CloseDevice(h);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(overlapped.hEvent, 0));
    EXPECT_FALSE(Sim().IsMapped(1));
    CloseHandle(overlapped.hEvent);
}

TEST_F(SimTest, MapChecksItsInputAndTheBlockLength)
{
    HANDLE h = OpenNumber(1);
    const DWORD exact = kTransferHeaderSize + 32 * 4 * 4 * 64;  // 2 in + 2 out, 4 bytes
    std::vector<BYTE> block(exact);
    struct MapCase {
        NxMapBufferRecord input;
        DWORD length;
        bool accepted;
    };
    const MapCase cases[] = {
        {{0, 32, 32 * 64}, exact, true},
        {{0, 32, 32 * 64}, exact - 1, false},
        {{0, 16, 16 * 64}, exact, true},   // a longer block than needed is fine
        {{0, 32, 32 * 63}, exact, false},  // ring not 64 periods
        {{0, 0, 0}, exact, false},
        {{0, -32, -32 * 64}, exact, false},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.input.periodFrames);
        NxMapBufferRecord input = c.input;
        OVERLAPPED overlapped = {};
        EXPECT_EQ(c.accepted, BeginMapBuffer(h, &input, block.data(), c.length, &overlapped));
        EXPECT_EQ(c.accepted, overlapped.hEvent != nullptr);
        if (c.accepted)
            EndMapBuffer(h, &overlapped);
        else
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    // A layout no block can hold is refused, whatever the length.
    DeviceConfig odd = ManualDevice();
    odd.bytesPerSample = -1;
    odd.inputs = -3;
    odd.outputs = 1000;
    Sim().AddDevice(2, odd);
    HANDLE second = OpenNumber(2);
    NxStreamLayoutRecord layout = {};
    ASSERT_TRUE(Send(second, IOCTL_NXKD_GET_STREAM_LAYOUT, &layout));
    EXPECT_EQ(0, layout.inputs);
    EXPECT_EQ(255, layout.outputs);
    NxMapBufferRecord oddInput = {0, 32, 32 * 64};
    OVERLAPPED oddOverlapped = {};
    EXPECT_FALSE(BeginMapBuffer(second, &oddInput, block.data(), exact, &oddOverlapped));
    EXPECT_FALSE(Sim().IsMapped(2));
    CloseDevice(second);

    // Without an overlapped structure the mapping cannot be pending.
    NxMapBufferRecord input = {0, 32, 32 * 64};
    EXPECT_FALSE(Sim().Control(h, IOCTL_NXKD_MAP_BUFFER, &input, 12, block.data(), exact, nullptr, nullptr));
    EXPECT_FALSE(Sim().IsMapped(1));
    CloseDevice(h);
}

TEST_F(SimTest, MapCompletedAtOnceWhenConfigured)
{
    DeviceConfig config = ManualDevice();
    config.completeMapAtOnce = true;
    Sim().AddDevice(2, config);
    Client client(2, 32);
    NxMapBufferRecord input = {0, 32, 32 * 64};
    DWORD returned = 0;
    client.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(Sim().Control(client.handle, IOCTL_NXKD_MAP_BUFFER, &input, 12, client.block.data(),
                              client.Length(), &returned, &client.overlapped));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(client.overlapped.hEvent, 0));
    EXPECT_TRUE(Sim().IsMapped(2));  // in use until released all the same
    EndMapBuffer(client.handle, &client.overlapped);
    EXPECT_FALSE(Sim().IsMapped(2));
}

TEST_F(SimTest, ManualClockMovesRingsWithLoopback)
{
    Client client(1, 8);
    ASSERT_TRUE(client.Map());
    // Playback periods 0 and 1 hold a recognisable pattern per channel.
    for (int j = 0; j < 2; ++j)
        for (int p = 0; p < 2; ++p)
            for (DWORD i = 0; i < client.PeriodBytes(); ++i)
                client.Period(2 + j, p)[i] = static_cast<BYTE>(0x40 * (j + 1) + p * 16 + i);
    ASSERT_TRUE(client.Start());
    EXPECT_TRUE(Sim().IsStreaming(1));
    EXPECT_FALSE(client.Signalled());
    EXPECT_EQ(0, LoadShared(&client.Header()->kernelPeriod));

    Sim().Advance(1, 2);
    EXPECT_TRUE(client.Signalled());
    EXPECT_FALSE(client.Signalled());  // one signal for the two periods
    EXPECT_EQ(2, LoadShared(&client.Header()->kernelPeriod));
    EXPECT_EQ(2, Sim().KernelPeriod(1));
    EXPECT_EQ(2u, Sim().PeriodsCompleted(1));
    for (int k = 0; k < 2; ++k)
        for (int p = 0; p < 2; ++p)
            EXPECT_EQ(0, std::memcmp(client.Period(k, p), client.Period(2 + k, p), client.PeriodBytes()))
                << "channel " << k << " period " << p;
    // Period 2 is not transferred yet.
    EXPECT_EQ(0, client.Period(0, 2)[0]);

    Sim().Advance(1, 1, false);
    EXPECT_FALSE(client.Signalled());
    EXPECT_EQ(3, Sim().KernelPeriod(1));

    NxStreamPositionRecord position = {0, timeGetTime(), 0, 0};
    ASSERT_TRUE(Send(client.handle, IOCTL_NXKD_GET_STREAM_POSITION, &position));
    EXPECT_EQ(3u, position.kernelPeriod);
    EXPECT_LE(position.clientTimeMs - position.kernelTimeMs, 1000u);  // the last period's time

    client.Stop();
    EXPECT_FALSE(Sim().IsStreaming(1));
    Sim().Advance(1, 1);  // a stopped clock does nothing
    EXPECT_EQ(3, Sim().KernelPeriod(1));
    EXPECT_FALSE(client.Signalled());
}

TEST_F(SimTest, KernelPeriodWrapsAt64AndCaptureFollowsThePattern)
{
    DeviceConfig config = ManualDevice();
    config.loopback = false;
    config.inputs = 3;
    config.outputs = 1;
    Sim().AddDevice(2, config);
    Client client(2, 4, 3, 1);
    ASSERT_TRUE(client.Map());
    ASSERT_TRUE(client.Start());
    Sim().Advance(2, 63);
    EXPECT_EQ(63, LoadShared(&client.Header()->kernelPeriod));
    Sim().Advance(2, 1);
    EXPECT_EQ(0, LoadShared(&client.Header()->kernelPeriod));
    Sim().Advance(2, 5);
    EXPECT_EQ(5, LoadShared(&client.Header()->kernelPeriod));
    EXPECT_EQ(69u, Sim().PeriodsCompleted(2));
    for (int k = 0; k < 3; ++k)
        for (int p : {0, 4, 63})
            for (DWORD i = 0; i < client.PeriodBytes(); ++i)
                ASSERT_EQ(nxsim::CapturePatternByte(k, p, i), client.Period(k, p)[i]);
    client.Stop();
}

TEST_F(SimTest, WaitCaughtUpFollowsClientPeriod)
{
    Client client(1, 8);
    ASSERT_TRUE(client.Map());
    ASSERT_TRUE(client.Start());
    EXPECT_TRUE(Sim().WaitCaughtUp(1, 0));
    Sim().Advance(1, 2);
    EXPECT_FALSE(Sim().WaitCaughtUp(1, 5));
    StoreShared(&client.Header()->clientPeriod, 2);
    EXPECT_TRUE(Sim().WaitCaughtUp(1, 100));
    client.Stop();
}

TEST_F(SimTest, MainClockDrivesTheDevicesStartedWithoutMainFlag)
{
    Sim().AddDevice(2, ManualDevice());
    Client main(1, 8);
    Client other(2, 8);
    ASSERT_TRUE(main.Map());
    ASSERT_TRUE(other.Map());
    NxStartStreamRecord marker = {0, 0, 0, 0, 0};
    ASSERT_TRUE(Send(other.handle, IOCTL_NXKD_START_STREAM, &marker));
    ASSERT_TRUE(main.Start());
    Sim().Advance(1, 3);
    EXPECT_EQ(3, LoadShared(&main.Header()->kernelPeriod));
    EXPECT_EQ(3, LoadShared(&other.Header()->kernelPeriod));
    main.Stop();
    NxStopStreamRecord stop = {0, 0, 0};
    Send(other.handle, IOCTL_NXKD_STOP_STREAM, &stop);
}

TEST_F(SimTest, HaltSetsHaltedStopsTheClockAndSignalsOnce)
{
    Client client(1, 8);
    ASSERT_TRUE(client.Map());
    ASSERT_TRUE(client.Start());
    Sim().Advance(1, 1);
    ASSERT_TRUE(client.Signalled());
    Sim().Halt(1);
    EXPECT_EQ(1, LoadShared(&client.Header()->halted));
    EXPECT_TRUE(client.Signalled());
    Sim().Advance(1, 4);
    EXPECT_EQ(1, Sim().KernelPeriod(1));
    EXPECT_FALSE(client.Signalled());
    // A new start runs again.
    StoreShared(&client.Header()->halted, 0);
    ASSERT_TRUE(client.Start());
    Sim().Advance(1, 1);
    EXPECT_EQ(1, LoadShared(&client.Header()->kernelPeriod));
    client.Stop();
}

TEST_F(SimTest, RemovalSignalsAndFailsLaterRequests)
{
    Client client(1, 8);
    HANDLE message = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    NxEventRegistration registration = {0, 1, HandleToWire(message), 0, HandleToWire(removal), 0};
    ASSERT_TRUE(Send(client.handle, IOCTL_NXKD_REGISTER_EVENTS, &registration));
    ASSERT_TRUE(client.Map());
    ASSERT_TRUE(client.Start());

    Sim().Remove(1);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(removal, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(message, 0));
    EXPECT_FALSE(Sim().IsStreaming(1));

    NxValueRecord rate = {0, 44100};
    EXPECT_FALSE(Send(client.handle, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenNumber(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), GetLastError());

    // The release still completes the pending mapping.
    EndMapBuffer(client.handle, &client.overlapped);
    EXPECT_FALSE(Sim().IsMapped(1));
    CloseHandle(message);
    CloseHandle(removal);

    // Adding the device again gives a fresh device; the old handle stays dead.
    Sim().AddDevice(1, ManualDevice());
    EXPECT_FALSE(Send(client.handle, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));
    HANDLE fresh = OpenNumber(1);
    EXPECT_NE(INVALID_HANDLE_VALUE, fresh);
    CloseDevice(fresh);
}

TEST_F(SimTest, RemovalCompletesAPendingMapAtClose)
{
    HANDLE h = OpenNumber(1);
    std::vector<BYTE> block(kTransferHeaderSize + 32 * 4 * 4 * 64);
    NxMapBufferRecord input = {0, 32, 32 * 64};
    OVERLAPPED overlapped = {};
    ASSERT_TRUE(BeginMapBuffer(h, &input, block.data(), static_cast<DWORD>(block.size()), &overlapped));
    Sim().Remove(1);
    CloseDevice(h);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(overlapped.hEvent, 0));
    CloseHandle(overlapped.hEvent);
}

// ---------------------------------------------------------------------------
// Fault injection

TEST_F(SimTest, FaultInjectionOnceAlwaysAndPerDevice)
{
    Sim().AddDevice(2, ManualDevice());
    HANDLE one = OpenNumber(1);
    HANDLE two = OpenNumber(2);
    NxValueRecord rate = {0, 44100};

    Sim().FailRequest(IOCTL_NXKD_GET_SAMPLE_RATE, 1, 1);
    Sim().ClearLog();
    EXPECT_FALSE(Send(one, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_EQ(44100, rate.value);
    std::vector<LogEntry> log = Sim().Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_FALSE(log[0].ok);
    EXPECT_TRUE(log[0].out.empty());
    EXPECT_EQ(8u, log[0].in.size());
    EXPECT_TRUE(Send(two, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));  // other device unaffected
    EXPECT_TRUE(Send(one, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));  // once only

    Sim().FailRequest(IOCTL_NXKD_GET_SAMPLE_SIZE);
    NxValueRecord size = {0, 2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(Send(one, IOCTL_NXKD_GET_SAMPLE_SIZE, &size));
        EXPECT_FALSE(Send(two, IOCTL_NXKD_GET_SAMPLE_SIZE, &size));
    }
    Sim().ClearFaults();
    EXPECT_TRUE(Send(one, IOCTL_NXKD_GET_SAMPLE_SIZE, &size));

    Sim().FailOpen(2, 2);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenNumber(2));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenNumber(2));
    HANDLE third = OpenNumber(2);
    EXPECT_NE(INVALID_HANDLE_VALUE, third);
    CloseDevice(third);
    Sim().FailOpen(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenNumber(1));
    Sim().ClearFaults();
    CloseDevice(one);
    CloseDevice(two);
}

TEST_F(SimTest, ARefusedReleaseStillCompletesTheMapping)
{
    Client client(1, 8);
    ASSERT_TRUE(client.Map());
    Sim().FailRequest(IOCTL_NXKD_RELEASE_BUFFER);
    EXPECT_FALSE(SendRequest(client.handle, IOCTL_NXKD_RELEASE_BUFFER, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(client.overlapped.hEvent, 0));
    EndMapBuffer(client.handle, &client.overlapped);  // returns at once
}

// ---------------------------------------------------------------------------
// Real-time clock

TEST(SimRealtimeTest, ProducesPeriodsAndStopsOnStop)
{
    Sim().Reset();
    Sim().AddDevice(1, DeviceConfig());  // real-time clock: 32 frames at 48000 Hz
    const int threadsBefore = platform_test::LiveThreadCount();
    {
        Client client(1, 32);
        const int handlesBefore = platform_test::LiveHandleCount();
        ASSERT_TRUE(client.Map());
        ASSERT_TRUE(client.Start());
        EXPECT_EQ(threadsBefore + 1, platform_test::LiveThreadCount());
        EXPECT_TRUE(client.Signalled(200));
        EXPECT_GE(Sim().PeriodsCompleted(1), 1u);
        client.Stop();
        // The clock thread has ended and left no handle behind once the stop returns.
        EXPECT_EQ(threadsBefore, platform_test::LiveThreadCount());
        EXPECT_EQ(handlesBefore + 1, platform_test::LiveHandleCount());  // the mapping's event
        std::uint64_t stopped = Sim().PeriodsCompleted(1);
        Sleep(5);
        EXPECT_EQ(stopped, Sim().PeriodsCompleted(1));
    }
    {
        // Closing the handle that started the clock stops it too.
        Client client(1, 32);
        ASSERT_TRUE(client.Map());
        ASSERT_TRUE(client.Start());
        EXPECT_TRUE(client.Signalled(200));
    }
    EXPECT_FALSE(Sim().IsStreaming(1));
    EXPECT_EQ(threadsBefore, platform_test::LiveThreadCount());
    {
        // Reset stops a running clock and completes the mapping the client waits for.
        Client client(1, 32);
        ASSERT_TRUE(client.Map());
        ASSERT_TRUE(client.Start());
        EXPECT_TRUE(client.Signalled(200));
        Sim().Reset();
        EXPECT_EQ(threadsBefore, platform_test::LiveThreadCount());
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(client.overlapped.hEvent, 0));
    }
    Sim().Reset();
}

// Several clients at once while the real-time clock runs: a worker thread that
// follows the periods as a driver does, and a thread of other requests and handles.
struct StressShared {
    Client* client;
    std::atomic<bool> stop{false};
    std::atomic<int> periodsSeen{0};
};

DWORD WINAPI StressWorker(LPVOID parameter)
{
    StressShared* shared = static_cast<StressShared*>(parameter);
    Client& c = *shared->client;
    std::vector<BYTE> capture(c.PeriodBytes());
    while (!shared->stop) {
        if (WaitForSingleObject(c.periodEvent, 20) != WAIT_OBJECT_0)
            continue;
        NxStreamPositionRecord position = {0, timeGetTime(), 0, 0};
        if (!Send(c.handle, IOCTL_NXKD_GET_STREAM_POSITION, &position))
            continue;
        LONG client = LoadShared(&c.Header()->clientPeriod);
        while (client != LoadShared(&c.Header()->kernelPeriod)) {
            std::memcpy(capture.data(), c.Period(0, client), capture.size());
            // Half a ring ahead of the kernel driver, as a driver leads its reading.
            std::memset(c.Period(2, (client + 32) % kRingPeriods), client, c.PeriodBytes());
            client = (client + 1) % kRingPeriods;
            StoreShared(&c.Header()->clientPeriod, client);
            ++shared->periodsSeen;
        }
    }
    return 0;
}

DWORD WINAPI StressRequests(LPVOID parameter)
{
    StressShared* shared = static_cast<StressShared*>(parameter);
    while (!shared->stop) {
        HANDLE h = OpenNumber(1);
        NxAsioStatusRecord status = {0, 1, 48000, {}};
        Send(h, IOCTL_NXKD_SET_ASIO_STATUS, &status);
        NxValueRecord rate = {0, 44100};
        Send(shared->client->handle, IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, &rate);
        Send(h, IOCTL_NXKD_GET_ASIO_STATUS, &status);
        CloseDevice(h);
        Sim().Notify(1, 2);
        Sim().Log();
    }
    return 0;
}

TEST(SimRealtimeTest, ServesSeveralThreadsWhileTheClockRuns)
{
    Sim().Reset();
    DeviceConfig config;
    Sim().AddDevice(1, config);
    {
        Client client(1, 256);  // 5.3 ms periods
        StressShared shared;
        shared.client = &client;
        ASSERT_TRUE(client.Map());
        ASSERT_TRUE(client.Start());
        HANDLE threads[2] = {CreateThread(nullptr, 0, StressWorker, &shared, 0, nullptr),
                             CreateThread(nullptr, 0, StressRequests, &shared, 0, nullptr)};
        const DWORD start = timeGetTime();
        while (shared.periodsSeen < 20 && timeGetTime() - start < 2000)
            Sleep(1);
        client.Stop();
        shared.stop = true;
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        EXPECT_GE(shared.periodsSeen, 1);
        EXPECT_FALSE(Sim().IsStreaming(1));
    }
    Sim().Reset();
}

// ---------------------------------------------------------------------------
// Automatic configuration from NXKD_SIM, in a fresh process each (the simulator reads
// the file only at its first open, and only when no test configured it).

int OpenedWith(const std::string& text)
{
    const std::string path = ::testing::TempDir() + "nxkd_sim_auto_test.ini";
    WriteFile(path, text);
    setenv("NXKD_SIM", path.c_str(), 1);
    int opened = 0;
    for (int n = 1; n <= 8; ++n) {
        HANDLE h = OpenNumber(n);
        if (h != INVALID_HANDLE_VALUE) {
            opened |= 1 << n;
            CloseDevice(h);
        }
    }
    std::remove(path.c_str());
    return opened;
}

TEST(SimAutoConfigTest, LoadsTheFileNamedByTheEnvironmentAtFirstOpen)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(std::exit(OpenedWith("[device 2]\n[device 5]\nclock = manual\n")), ::testing::ExitedWithCode(0x24),
                "");
    EXPECT_EXIT(std::exit(OpenedWith("[device 2]\nbogus = 1\n")), ::testing::ExitedWithCode(0),
                "nxkd_sim: .*line 2: unknown key 'bogus'; no device");
    EXPECT_EXIT((unsetenv("NXKD_SIM"), std::exit(OpenNumber(1) == INVALID_HANDLE_VALUE ? 0 : 1)),
                ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// The log

TEST_F(SimTest, LogsOpensRequestsAndClosesInOrder)
{
    Sim().ClearLog();
    HANDLE h = OpenNumber(1);
    NxValueRecord rate = {0, 44100};
    ASSERT_TRUE(Send(h, IOCTL_NXKD_GET_SAMPLE_RATE, &rate));
    CloseDevice(h);
    std::vector<LogEntry> log = Sim().Log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(LogEntry::Open, log[0].kind);
    EXPECT_EQ(LogEntry::Request, log[1].kind);
    EXPECT_EQ(LogEntry::Close, log[2].kind);
    EXPECT_LT(log[0].sequence, log[1].sequence);
    EXPECT_LT(log[1].sequence, log[2].sequence);
    EXPECT_EQ(1, log[1].device);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 0x44, 0xAC, 0, 0}), log[1].in);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 0x80, 0xBB, 0, 0}), log[1].out);
    EXPECT_TRUE(log[1].ok);
}

TEST(SimLogTest, FormatsLines)
{
    LogEntry request{12, 1, LogEntry::Request, IOCTL_NXKD_GET_SAMPLE_RATE, {0, 0, 0, 0, 0x44, 0xAC, 0, 0},
                     {0, 0, 0, 0, 0x80, 0xBB, 0, 0}, true};
    EXPECT_EQ("12 1 0x222320 0000000044ac0000 0000000080bb0000 ok", nxsim::FormatLogLine(request));
    LogEntry refused{13, 2, LogEntry::Request, IOCTL_NXKD_RELEASE_BUFFER, {}, {}, false};
    EXPECT_EQ("13 2 0x222124 - - fail", nxsim::FormatLogLine(refused));
    LogEntry open{1, 0, LogEntry::Open, 0, {}, {}, false};
    EXPECT_EQ("1 0 open - - fail", nxsim::FormatLogLine(open));
    LogEntry close{2, 4, LogEntry::Close, 0, {}, {}, true};
    EXPECT_EQ("2 4 close - - ok", nxsim::FormatLogLine(close));
}

TEST(SimLogTest, AppendsLinesToTheFileNamedByTheEnvironment)
{
    const std::string path = ::testing::TempDir() + "nxkd_sim_log_test.txt";
    std::remove(path.c_str());
    ASSERT_EQ(0, setenv("NXKD_SIM_LOG", path.c_str(), 1));
    Sim().Reset();
    Sim().AddDevice(1, ManualDevice());
    HANDLE h = OpenNumber(1);
    NxFlagRecord ready = {0};
    Send(h, IOCTL_NXKD_GET_DEVICE_READY, &ready);
    CloseDevice(h);
    Sim().Reset();  // closes the file
    unsetenv("NXKD_SIM_LOG");
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("1 1 open - - ok", lines[0]);
    EXPECT_EQ("2 1 0x222044 00000000 01000000 ok", lines[1]);
    EXPECT_EQ("3 1 close - - ok", lines[2]);
    std::remove(path.c_str());
}

}  // namespace
