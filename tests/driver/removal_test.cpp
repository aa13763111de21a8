// Removal of the device while the driver object lives: the worker thread releases the
// mapped block, unregisters and closes the handle; later operations send nothing to the
// closed handle; host threads calling into the driver meanwhile stay safe.
#include "driver_life_support.h"

#include <atomic>

using namespace driver_life;

namespace {

class RemovalTest : public DriverLifeTest {
protected:
    IASIO* CreateOn(int number)
    {
        Sim().AddDevice(number, QuietDevice());
        IASIO* driver = library.CreateDriver();
        EXPECT_NE(driver, nullptr);
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        return driver;
    }

    // Removes the device and waits until the worker thread has closed its handle.
    void Remove(int number)
    {
        Sim().ClearLog();
        Sim().Remove(number);
        ASSERT_TRUE(WaitFor([&] { return Sim().OpenHandles(number) == 0; }));
    }

    static ASIOError CreateBuffers(IASIO* driver, TestHost& host)
    {
        ASIOBufferInfo infos[2] = {};
        infos[0].isInput = ASIOTrue;
        infos[0].channelNum = 0;
        infos[1].isInput = ASIOFalse;
        infos[1].channelNum = 0;
        return driver->createBuffers(infos, 2, 256, host.Callbacks());
    }
};

// Each candidate slot's removal event leads to that slot's handling (device 4 is slot 3).
TEST_F(RemovalTest, RemovalClosesTheMainSlotWithoutBuffers)
{
    for (int number = 1; number <= 4; ++number) {
        SCOPED_TRACE(number);
        Sim().Reset();
        IASIO* driver = CreateOn(number);
        ASSERT_NE(driver, nullptr);
        std::vector<BYTE> registered = Requests(IOCTL_NXKD_REGISTER_EVENTS).at(0).out;
        Remove(number);
        std::vector<nxsim::LogEntry> log = Entries();
        ASSERT_EQ(Describe(log),
                  (std::vector<std::string>{Req(number, IOCTL_NXKD_UNREGISTER_EVENTS), CloseOf(number)}));
        EXPECT_EQ(log[0].in, registered);

        // The device stays counted, but nothing reaches the closed handle.
        Sim().ClearLog();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        LONG minimum = -1, maximum = -1, preferred = -1, granularity = -1;
        EXPECT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_NotPresent);
        EXPECT_EQ(driver->canSampleRate(48000.0), ASE_NoClock);
        EXPECT_TRUE(Sim().Log().empty()) << Describe(Sim().Log()).front();

        // Destruction has nothing left to unregister.
        EXPECT_EQ(driver->Release(), 0u);
        EXPECT_TRUE(Sim().Log().empty()) << Describe(Sim().Log()).front();
    }
    ExpectNothingLeft();
}

TEST_F(RemovalTest, RemovalReleasesTheMappedBlockBeforeUnregistering)
{
    IASIO* driver = CreateOn(1);
    ASSERT_NE(driver, nullptr);
    TestHost host;
    ASSERT_EQ(CreateBuffers(driver, host), ASE_OK);
    ASSERT_TRUE(Sim().IsMapped(1));

    Remove(1);
    EXPECT_EQ(Describe(Entries()),
              (std::vector<std::string>{Req(1, IOCTL_NXKD_RELEASE_BUFFER), Req(1, IOCTL_NXKD_UNREGISTER_EVENTS),
                                        CloseOf(1)}));
    EXPECT_FALSE(Sim().IsMapped(1));

    // The blocks stay until disposeBuffers, which has no device left to talk to.
    Sim().ClearLog();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_TRUE(Sim().Log().empty()) << Describe(Sim().Log()).front();
    ExpectNothingLeft();
}

TEST_F(RemovalTest, ReleaseWithBuffersAfterRemoval)
{
    IASIO* driver = CreateOn(1);
    ASSERT_NE(driver, nullptr);
    TestHost host;
    ASSERT_EQ(CreateBuffers(driver, host), ASE_OK);
    Remove(1);
    // Destruction disposes of the blocks the removal left allocated.
    EXPECT_EQ(driver->Release(), 0u);
    ExpectNothingLeft();
}

// The worker thread's removal handling runs while a host thread keeps calling into the
// driver; neither side may see the slot half closed (run under TSan too). The host thread
// uses the operations that serialise on apiLock with the removal handling and those that
// address the device without it (queries, stop).
TEST_F(RemovalTest, RemovalWhileAHostThreadCallsIn)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        Sim().Reset();
        IASIO* driver = CreateOn(1);
        ASSERT_NE(driver, nullptr);
        TestHost host;
        std::atomic<bool> removed{false};
        std::atomic<int> calls{0};
        std::thread hostThread([&] {
            int after = 0;
            while (after < 20) {
                if (removed.load())
                    ++after;
                // The operations that hold apiLock while they address the device.
                driver->setSampleRate(48000.0);
                if (CreateBuffers(driver, host) == ASE_OK) {
                    driver->stop();
                    driver->disposeBuffers();
                }
                LONG a, b, c, d;
                driver->getBufferSize(&a, &b, &c, &d);
                driver->getLatencies(&a, &b);
                driver->canSampleRate(44100.0);
                calls.fetch_add(1);
            }
        });
        ASSERT_TRUE(WaitFor([&] { return calls.load() > round; }));
        Sim().Remove(1);
        EXPECT_TRUE(WaitFor([&] { return Sim().OpenHandles(1) == 0; }));
        removed.store(true);
        hostThread.join();

        // After the removal, nothing more reaches the device.
        Sim().ClearLog();
        LONG a, b, c, d;
        EXPECT_EQ(driver->getBufferSize(&a, &b, &c, &d), ASE_NotPresent);
        EXPECT_EQ(driver->Release(), 0u);
        EXPECT_TRUE(Sim().Log().empty()) << Describe(Sim().Log()).front();
    }
    ExpectNothingLeft();
}

TEST_F(RemovalTest, RemovalWhileStreaming)
{
    IASIO* driver = CreateOn(1);
    ASSERT_NE(driver, nullptr);
    TestHost host;
    ASSERT_EQ(CreateBuffers(driver, host), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sim().Advance(1, 2);
    EXPECT_TRUE(Sim().WaitCaughtUp(1, 5000));

    Remove(1);
    EXPECT_FALSE(Sim().IsMapped(1));
    EXPECT_FALSE(Sim().IsStreaming(1));
    int switches = host.BufferSwitchCount();
    EXPECT_GT(switches, 0);

    // Stopping and disposing skip the closed slot; nothing more reaches the device.
    Sim().ClearLog();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_TRUE(Sim().Log().empty()) << Describe(Sim().Log()).front();
    EXPECT_EQ(host.BufferSwitchCount(), switches);
    ExpectNothingLeft();
}

// A removal that arrives while the host releases the object: the destructor and the worker
// thread's removal handling must not both close the slot, and nothing may be left.
TEST_F(RemovalTest, RemovalDuringRelease)
{
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        Sim().Reset();
        IASIO* driver = CreateOn(1);
        ASSERT_NE(driver, nullptr);
        TestHost host;
        if (round % 2 == 0) {
            ASSERT_EQ(CreateBuffers(driver, host), ASE_OK);
        }
        std::thread remover([] { Sim().Remove(1); });
        EXPECT_EQ(driver->Release(), 0u);
        remover.join();
        int closes = 0;
        for (const nxsim::LogEntry& entry : Sim().Log())
            closes += entry.kind == nxsim::LogEntry::Close && entry.device == 1 ? 1 : 0;
        // The temporary handle of the ready check, then the lasting handle, once.
        EXPECT_EQ(closes, 2);
        EXPECT_EQ(Sim().OpenHandles(1), 0);
    }
    ExpectNothingLeft();
}

}  // namespace
