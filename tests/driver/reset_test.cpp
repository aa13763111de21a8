// Reset requests: what makes the driver ask the host for a reset, what the host receives,
// and how the driver behaves once a reset was asked for.
#include "driver_host.h"
#include "nxkd_sim.h"
#include "queries_helpers.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace queries_helpers;

namespace {

constexpr DWORD kResetBit = 0x1;
constexpr DWORD kIgnoredBit = 0x2;

nxsim::DeviceConfig ManualClock()
{
    nxsim::DeviceConfig config;
    config.clock = nxsim::Clock::Manual;
    return config;
}

class DriverResets : public ::testing::Test {
protected:
    void SetUp() override { nxsim::Simulator::Instance().Reset(); }
    void TearDown() override
    {
        if (driver != nullptr)
            driver->Release();
    }

    // A 2-in/2-out device at 48000 Hz, buffer sizes 32 to 2048 in steps of 32, its period
    // clock stepped by the test; the host has already asked for the channels unless told otherwise.
    void Open(bool askChannels = true, nxsim::DeviceConfig config = ManualClock())
    {
        nxsim::Simulator::Instance().AddDevice(1, config);
        driver = library.CreateDriver();
        ASSERT_NE(driver, nullptr);
        if (askChannels) {
            LONG in = 0, out = 0;
            ASSERT_EQ(driver->getChannels(&in, &out), ASE_OK);
        }
    }
    ASIOError CreateBuffers(LONG size = 256) { return CreateTwoBuffers(driver, host, size, &buffers); }
    void ClearRecords()
    {
        host.ClearCalls();
        nxsim::Simulator::Instance().ClearLog();
    }
    std::string HostCalls() { return Transcript(host.Calls()); }
    size_t StartRequests() { return Requests(IOCTL_NXKD_START_STREAM).size(); }

    // Once a reset reached the host the object is done: start repeats the request and new
    // buffers are refused.
    void ExpectTerminal()
    {
        ClearRecords();
        EXPECT_EQ(driver->start(), ASE_InvalidMode);
        EXPECT_EQ(HostCalls(), kResetRequestCalls);
        EXPECT_EQ(StartRequests(), 0u);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        ClearRecords();
        EXPECT_EQ(CreateBuffers(), ASE_InvalidMode);
        EXPECT_TRUE(Requests().empty());
        EXPECT_EQ(HostCalls(), "");
    }
    // start goes ahead: the first buffer switch reaches the host, the device is started.
    void ExpectStarts()
    {
        ClearRecords();
        EXPECT_EQ(driver->start(), ASE_OK);
        EXPECT_EQ(HostCalls(), "switch(0,1)");
        EXPECT_EQ(StartRequests(), 2u);
        EXPECT_EQ(driver->stop(), ASE_OK);
    }

    DriverLibrary library;
    IASIO* driver = nullptr;
    TestHost host;
    TwoBuffers buffers;
};

TEST_F(DriverResets, KernelResetWithBuffersReachesTheHostAndEndsTheObject)
{
    Open();
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ClearRecords();
    NotifyAndSettle(1, kResetBit);
    EXPECT_EQ(HostCalls(), kResetRequestCalls);
    // The fetch of the flags is all the driver sends: {0, 0} in, the flags at offset 4 out.
    const auto fetches = Requests();
    ASSERT_EQ(fetches.size(), 2u);  // the second one is NotifyAndSettle's empty notification
    EXPECT_EQ(fetches[0].code, IOCTL_NXKD_ASIO_GET_NOTIFICATION);
    EXPECT_EQ(fetches[0].in, Words({0, 0}));
    EXPECT_EQ(fetches[0].out, Words({0, 1}));
    ExpectTerminal();
}

TEST_F(DriverResets, KernelResetBeforeBuffersReachesNobodyAndSetsNothing)
{
    Open();
    NotifyAndSettle(1, kResetBit);
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    EXPECT_EQ(HostCalls(), "");
    ExpectStarts();
}

TEST_F(DriverResets, NotificationsWithoutTheResetBitChangeNothing)
{
    Open();
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ClearRecords();
    NotifyAndSettle(1, kIgnoredBit);
    NotifyAndSettle(1, 0x80000000u | 0x4);  // undefined bits
    EXPECT_EQ(HostCalls(), "");
    const std::vector<DWORD> onlyFetches(4, IOCTL_NXKD_ASIO_GET_NOTIFICATION);
    EXPECT_EQ(RequestCodes(), onlyFetches);
    ExpectStarts();
}

TEST_F(DriverResets, RefusedNotificationFetchIsRetriedAtTheNextMessageEvent)
{
    Open();
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    nxsim::Simulator::Instance().FailRequest(IOCTL_NXKD_ASIO_GET_NOTIFICATION, 1, 1);
    ClearRecords();
    NotifyAndSettle(1, kResetBit);  // the first fetch is refused, the second gets the flags
    const auto fetches = Requests(IOCTL_NXKD_ASIO_GET_NOTIFICATION);
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_FALSE(fetches[0].ok);
    EXPECT_TRUE(fetches[1].ok);
    EXPECT_EQ(fetches[1].out, Words({0, 1}));
    EXPECT_EQ(HostCalls(), kResetRequestCalls);
}

TEST_F(DriverResets, SizeBreakingTheGranularityIsAcceptedThenStartAsksForAReset)
{
    Open();
    ClearRecords();
    ASSERT_EQ(CreateBuffers(100), ASE_OK);  // between 32 and 2048, not a multiple of 32
    EXPECT_EQ(Requests(IOCTL_NXKD_MAP_BUFFER).size(), 1u);
    EXPECT_EQ(HostCalls(), "");
    ExpectTerminal();
}

TEST_F(DriverResets, FrequencyChangeWithBuffersAsksForAResetAndStillSucceeds)
{
    Open();
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ClearRecords();
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(HostCalls(), kResetRequestCalls);
    ExpectTerminal();
}

TEST_F(DriverResets, FrequencyChangeWithoutBuffersAsksForNothing)
{
    Open();
    ClearRecords();
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(HostCalls(), "");
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ExpectStarts();
}

TEST_F(DriverResets, HostThatNeverAskedForChannelsIsResetAtStartAfterAFrequencyChange)
{
    Open(/*askChannels=*/false);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(HostCalls(), "");
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ClearRecords();
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    EXPECT_EQ(HostCalls(), kResetRequestCalls);
    EXPECT_EQ(StartRequests(), 0u);
    ExpectTerminal();
}

TEST_F(DriverResets, HostThatNeverAskedForChannelsStartsWhenNothingChanged)
{
    Open(/*askChannels=*/false);
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ExpectStarts();
}

TEST_F(DriverResets, AskingForChannelsAfterAFrequencyChangeSettlesIt)
{
    Open(/*askChannels=*/false);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    LONG in = 0, out = 0;
    ASSERT_EQ(driver->getChannels(&in, &out), ASE_OK);
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ExpectStarts();
}

// A host that does not take reset requests is asked every time, and the driver keeps
// refusing start only while the reason lasts.
TEST_F(DriverResets, HostWithoutResetSupportIsAskedButNeverSentTheRequest)
{
    Open();
    host.SupportResetRequest(false);
    ASSERT_EQ(CreateBuffers(100), ASE_OK);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ClearRecords();
        EXPECT_EQ(driver->start(), ASE_InvalidMode);
        EXPECT_EQ(HostCalls(), "message(1,3)");
        EXPECT_EQ(StartRequests(), 0u);
    }
    // New buffers of a good size clear the reason; nothing was ever requested.
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(CreateBuffers(256), ASE_OK);
    ExpectStarts();

    // A frequency change with buffers: stale buffers until they are made again.
    ClearRecords();
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(HostCalls(), "message(1,3)");
    ClearRecords();
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    EXPECT_EQ(HostCalls(), "message(1,3)");
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(CreateBuffers(256), ASE_OK);
    ExpectStarts();

    // A kernel reset: asked, not taken, nothing owed afterwards.
    ClearRecords();
    NotifyAndSettle(1, kResetBit);
    EXPECT_EQ(HostCalls(), "message(1,3)");
    ExpectStarts();
}

// A second createBuffers is refused, but the buffers it met still exist: they stay stale
// after a frequency change, so start still refuses them.
TEST_F(DriverResets, RefusedSecondCreateBuffersKeepsExistingBuffersStale)
{
    Open();
    host.SupportResetRequest(false);
    ASSERT_EQ(CreateBuffers(256), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(CreateBuffers(256), ASE_InvalidMode);
    ClearRecords();
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    EXPECT_EQ(HostCalls(), "message(1,3)");
    EXPECT_EQ(StartRequests(), 0u);
}

TEST_F(DriverResets, HostWithoutAnAsioMessageCallbackIsNotCalled)
{
    Open();
    ASIOCallbacks callbacks = *host.Callbacks();
    callbacks.asioMessage = nullptr;
    ASSERT_EQ(driver->createBuffers(buffers.infos, 2, 100, &callbacks), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    NotifyAndSettle(1, kResetBit);
    EXPECT_EQ(HostCalls(), "");
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST_F(DriverResets, StartWhileRunningStopsFirst)
{
    Open();
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ClearRecords();
    EXPECT_EQ(driver->start(), ASE_OK);
    const std::vector<DWORD> codes = RequestCodes();
    ASSERT_GE(codes.size(), 4u);
    EXPECT_EQ(codes[0], IOCTL_NXKD_STOP_STREAM);
    EXPECT_EQ(codes[1], IOCTL_NXKD_STOP_STREAM);
    EXPECT_EQ(StartRequests(), 2u);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(DriverResets, StartIsRefusedWithoutBuffersOrDevice)
{
    Open();
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    driver->Release();
    driver = nullptr;
    nxsim::Simulator::Instance().Reset();
    driver = library.CreateDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(HostCalls(), "");
}

// For the thread sanitizer: kernel notifications, frequency changes and restarts from
// several host threads while the device streams in real time, then a clean release.
// (An explicit stop racing a start on another thread is left out: stop takes no apiLock,
// so it can stop the devices just after that start started them.)
TEST_F(DriverResets, ConcurrentResetsFrequencyChangesAndRestartsWhileStreaming)
{
    const int handlesBefore = platform_test::LiveHandleCount();
    const int threadsBefore = platform_test::LiveThreadCount();
    // Real-time period clock.
    Open(true, nxsim::DeviceConfig());
    host.SupportResetRequest(false);  // keep the object usable so start keeps streaming
    host.OnBufferSwitch([this](LONG) {
        // A host may ask for the position inside the switch.
        ASIOSamples samples;
        ASIOTimeStamp stamp;
        driver->getSamplePosition(&samples, &stamp);
    });
    // Input 0 and output 0; short periods make many switches meanwhile.
    ASSERT_EQ(driver->createBuffers(buffers.infos, 2, 32, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);

    constexpr int kRounds = 30;
    std::atomic<int> startedStreams{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            nxsim::Simulator::Instance().Notify(1, (i % 3 == 0) ? kResetBit : kIgnoredBit);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // start on a running stream stops it first; once the frequency has changed, start is
    // refused and the stream runs on.
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                if (driver->start() == ASE_OK)
                    ++startedStreams;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    threads.emplace_back([&] {
        // The frequency changes while the stream runs; they make the buffers stale.
        WaitFor([&] { return startedStreams >= 6; });
        for (int i = 0; i < 4; ++i)
            driver->setSampleRate(i % 2 == 0 ? 44100.0 : 48000.0);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            LONG in = 0, out = 0;
            driver->getChannels(&in, &out);
            driver->getLatencies(&in, &out);
            ASIOSampleRate rate = 0;
            driver->getSampleRate(&rate);
            driver->canSampleRate(48000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_GE(startedStreams, 6);
    EXPECT_GT(host.BufferSwitchCount(), 20);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    driver = nullptr;
    EXPECT_EQ(nxsim::Simulator::Instance().OpenHandles(1), 0);
    EXPECT_FALSE(nxsim::Simulator::Instance().IsMapped(1));
    EXPECT_TRUE(WaitFor([&] { return platform_test::LiveThreadCount() <= threadsBefore; }));
    EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
    for (const HostCall& call : host.Calls()) {
        if (call.kind == HostCall::AsioMessage) {
            EXPECT_EQ(call.a, kAsioSelectorSupported);  // never sent the request itself
        }
    }
}

}  // namespace
