// Device discovery at driver creation and closing at destruction, checked against the
// simulated kernel driver's request log: the request sequence and its records, the choice
// of the first ready device, the fallbacks for refused queries and the refusals that leave
// the object without a device.
#include "driver_life_support.h"

using namespace driver_life;

namespace {

class DeviceDiscoveryTest : public DriverLifeTest {
protected:
    // Creates the driver object with the log cleared first.
    IASIO* Create()
    {
        Sim().ClearLog();
        IASIO* driver = library.CreateDriver();
        EXPECT_NE(driver, nullptr);
        return driver;
    }
};

NxSettingsRecord DefaultSettings()
{
    NxSettingsRecord record;
    std::memset(&record, 0, sizeof(record));
    PresetSettingsDefaults(&record);
    return record;
}

TEST_F(DeviceDiscoveryTest, CreationAndDestructionSendTheRequestsInOrder)
{
    nxsim::DeviceConfig config = QuietDevice();
    config.sampleRate = 96000;
    Sim().AddDevice(1, config);

    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    std::vector<nxsim::LogEntry> log = Entries();
    std::vector<std::string> expected = {
        OpenOf(1), Req(1, IOCTL_NXKD_GET_DEVICE_READY), CloseOf(1),  // temporary handle
        OpenOf(1),                                                      // lasting handle
        Req(1, IOCTL_NXKD_GET_SAMPLE_RATE),
        Req(1, IOCTL_NXKD_ASIO_SET_SAMPLE_RATE),
        Req(1, IOCTL_NXKD_GET_SAMPLE_SIZE),
        Req(1, IOCTL_NXKD_GET_STREAM_LAYOUT),
        Req(1, IOCTL_NXKD_REGISTER_EVENTS),
        Req(1, IOCTL_NXKD_GET_DEVICE_INFO),
        Req(1, IOCTL_NXKD_GET_SETTINGS),
        Req(1, IOCTL_NXKD_SET_ASIO_STATUS),
        Req(1, IOCTL_NXKD_SET_INPUT_OPTION),
        Req(1, IOCTL_NXKD_GET_SETTINGS),
    };
    ASSERT_EQ(Describe(log), expected);

    // The records, as sent.
    EXPECT_EQ(As<NxFlagRecord>(log[1].in).value, 0);
    NxValueRecord rate = As<NxValueRecord>(log[4].in);
    EXPECT_EQ(rate.reserved, 0);
    EXPECT_EQ(rate.value, 44100);
    NxRateRecord asioRate = As<NxRateRecord>(log[5].in);
    EXPECT_EQ(asioRate.reserved, 0);
    EXPECT_EQ(asioRate.rate, 96000);
    EXPECT_EQ(asioRate.flag, 1);
    NxValueRecord size = As<NxValueRecord>(log[6].in);
    EXPECT_EQ(size.reserved, 0);
    EXPECT_EQ(size.value, 2);
    EXPECT_EQ(log[7].in, std::vector<BYTE>(8, 0));

    NxEventRegistration registration = As<NxEventRegistration>(log[8].in);
    EXPECT_EQ(registration.reserved0, 0);
    EXPECT_EQ(registration.mainFlag, 1);
    EXPECT_NE(registration.messageEvent, 0);
    EXPECT_NE(registration.removalEvent, 0);
    EXPECT_NE(registration.messageEvent, registration.removalEvent);
    EXPECT_EQ(registration.reserved16, 0);
    EXPECT_EQ(registration.reserved32, 0);

    EXPECT_EQ(log[9].in, std::vector<BYTE>(sizeof(NxDeviceInfoRecord), 0));
    NxSettingsRecord defaults = DefaultSettings();
    std::vector<BYTE> defaultBytes(reinterpret_cast<BYTE*>(&defaults),
                                   reinterpret_cast<BYTE*>(&defaults) + sizeof(defaults));
    EXPECT_EQ(log[10].in, defaultBytes);
    EXPECT_EQ(log[13].in, defaultBytes);

    NxAsioStatusRecord status = As<NxAsioStatusRecord>(log[11].in);
    EXPECT_EQ(status.reserved0, 0);
    EXPECT_EQ(status.deviceCount, 1);
    EXPECT_EQ(status.sampleRate, 96000);
    for (BYTE b : status.reserved12)
        EXPECT_EQ(b, 0);
    EXPECT_EQ(log[12].in, std::vector<BYTE>(8, 0));
    EXPECT_EQ(Sim().OpenHandles(1), 1);
    EXPECT_EQ(platform_test::LiveThreadCount(), threadsBefore + 1) << "one worker thread per object";

    // Destruction: the registration goes back as the kernel driver left it, then the close.
    std::vector<BYTE> registered = log[8].out;
    Sim().ClearLog();
    EXPECT_EQ(driver->Release(), 0u);
    log = Entries();
    ASSERT_EQ(Describe(log), (std::vector<std::string>{Req(1, IOCTL_NXKD_UNREGISTER_EVENTS), CloseOf(1)}));
    EXPECT_EQ(log[0].in, registered);
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, TheFirstReadyDeviceIsUsedAndNoLaterOneIsOpened)
{
    nxsim::DeviceConfig notReady = QuietDevice();
    notReady.ready = 0;
    Sim().AddDevice(1, notReady);
    Sim().AddDevice(2, QuietDevice());
    Sim().AddDevice(3, QuietDevice());

    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    std::vector<nxsim::LogEntry> log = Entries();
    ASSERT_GE(log.size(), 7u);
    std::vector<std::string> described = Describe(log);
    std::vector<std::string> head(described.begin(), described.begin() + 7);
    EXPECT_EQ(head, (std::vector<std::string>{OpenOf(1), Req(1, IOCTL_NXKD_GET_DEVICE_READY), CloseOf(1),
                                               OpenOf(2), Req(2, IOCTL_NXKD_GET_DEVICE_READY), CloseOf(2),
                                               OpenOf(2)}));
    for (const nxsim::LogEntry& entry : log) {
        EXPECT_NE(entry.device, 3) << Describe(entry);
        if (entry.kind == nxsim::LogEntry::Request && entry.code != IOCTL_NXKD_GET_DEVICE_READY) {
            EXPECT_EQ(entry.device, 2) << Describe(entry);
        }
    }
    EXPECT_EQ(Sim().OpenHandles(1), 0) << "a device that is not ready keeps no handle";
    EXPECT_EQ(Sim().OpenHandles(2), 1);
    EXPECT_EQ(Sim().OpenHandles(3), 0);
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, AbsentDevicesAreSkipped)
{
    Sim().AddDevice(4, QuietDevice());
    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(Sim().OpenHandles(4), 1);
    EXPECT_EQ(Requests(IOCTL_NXKD_REGISTER_EVENTS).at(0).device, 4);
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, RefusedSampleRateFallsBackTo44100)
{
    nxsim::DeviceConfig config = QuietDevice();
    config.sampleRate = 96000;
    config.fail = {IOCTL_NXKD_GET_SAMPLE_RATE};
    Sim().AddDevice(1, config);
    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(As<NxRateRecord>(Requests(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE).at(0).in).rate, 44100);
    EXPECT_EQ(As<NxAsioStatusRecord>(Requests(IOCTL_NXKD_SET_ASIO_STATUS).at(0).in).sampleRate, 44100);
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, TheReportedRateIsTakenAsUnsigned)
{
    // A reply the kernel driver should never give, passed through without sign games.
    nxsim::DeviceConfig config = QuietDevice();
    config.sampleRate = 0x80000010u;
    config.rates = {0x80000010u};
    Sim().AddDevice(1, config);
    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(static_cast<DWORD>(As<NxRateRecord>(Requests(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE).at(0).in).rate),
              0x80000010u);
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, SampleWidthAndLayoutComeFromTheDeviceOrFallBack)
{
    struct Case {
        LONG bytesPerSample;
        int inputs, outputs;
        std::vector<DWORD> fail;
        ASIOSampleType type;
        LONG expectedInputs, expectedOutputs;
    } cases[] = {
        {4, 2, 2, {}, ASIOSTInt32LSB, 2, 2},
        {2, 3, 1, {}, ASIOSTInt16LSB, 3, 1},
        {4, 255, 200, {}, ASIOSTInt32LSB, 255, 200},  // counts are bytes: 0 to 255
        {4, 2, 2, {IOCTL_NXKD_GET_SAMPLE_SIZE}, ASIOSTInt16LSB, 2, 2},
        {4, 2, 2, {IOCTL_NXKD_GET_STREAM_LAYOUT}, ASIOSTInt32LSB, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes " << c.bytesPerSample << " in " << c.inputs << " out "
                                        << c.outputs << " refused " << c.fail.size());
        Sim().Reset();
        nxsim::DeviceConfig config = QuietDevice();
        config.bytesPerSample = c.bytesPerSample;
        config.inputs = c.inputs;
        config.outputs = c.outputs;
        config.fail = c.fail;
        Sim().AddDevice(1, config);
        IASIO* driver = Create();
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->init(nullptr), ASIOTrue) << "refused queries do not lose the device";

        LONG inputs = -1, outputs = -1;
        EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(inputs, c.expectedInputs);
        EXPECT_EQ(outputs, c.expectedOutputs);
        ASIOChannelInfo info = {};
        info.channel = 0;
        info.isInput = ASIOFalse;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.type, c.type);
        driver->Release();
    }
    ExpectNothingLeft();
}

// Refusals that leave the object without a device, with every handle closed again.
TEST_F(DeviceDiscoveryTest, RefusalsDuringOpeningLeaveNoDevice)
{
    for (DWORD refused : {IOCTL_NXKD_GET_DEVICE_INFO, IOCTL_NXKD_GET_SETTINGS}) {
        SCOPED_TRACE(testing::Message() << std::hex << refused);
        Sim().Reset();
        nxsim::DeviceConfig config = QuietDevice();
        config.fail = {refused};
        Sim().AddDevice(1, config);
        IASIO* driver = Create();
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        char text[124];
        driver->getErrorMessage(text);
        EXPECT_STREQ(text, "Can not found a device. Please connect the device.");
        // Unregistered and closed at once; the worker thread is gone while the object lives.
        std::vector<std::string> log = Describe(Entries());
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], Req(1, IOCTL_NXKD_UNREGISTER_EVENTS));
        EXPECT_EQ(log.back(), CloseOf(1));
        EXPECT_EQ(Sim().OpenHandles(1), 0);
        EXPECT_TRUE(WaitFor([&] { return platform_test::LiveThreadCount() == threadsBefore; }));
        EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
        EXPECT_TRUE(Requests(IOCTL_NXKD_SET_ASIO_STATUS).empty());
        driver->Release();
    }
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, RefusedRegistrationEndsTheSearch)
{
    nxsim::DeviceConfig refusing = QuietDevice();
    refusing.fail = {IOCTL_NXKD_REGISTER_EVENTS};
    Sim().AddDevice(1, refusing);
    Sim().AddDevice(2, QuietDevice());

    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    std::vector<nxsim::LogEntry> log = Entries();
    std::vector<std::string> described = Describe(log);
    ASSERT_GE(described.size(), 3u);
    EXPECT_EQ(described[described.size() - 3], Req(1, IOCTL_NXKD_REGISTER_EVENTS));
    EXPECT_EQ(described[described.size() - 2], Req(1, IOCTL_NXKD_UNREGISTER_EVENTS));
    EXPECT_EQ(described.back(), CloseOf(1));
    EXPECT_EQ(log[log.size() - 2].in, log[log.size() - 3].in) << "unregistered with the same record";
    for (const nxsim::LogEntry& entry : log)
        EXPECT_NE(entry.device, 2) << "no further candidate: " << Describe(entry);
    EXPECT_EQ(Sim().OpenHandles(1), 0);
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, NoDeviceLeavesNoThreadAndNoHandle)
{
    nxsim::DeviceConfig notReady = QuietDevice();
    notReady.ready = 0;
    Sim().AddDevice(2, notReady);
    IASIO* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    // Nothing lives on while the object does.
    EXPECT_TRUE(WaitFor([&] { return platform_test::LiveThreadCount() == threadsBefore; }));
    EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
    EXPECT_EQ(Sim().OpenHandles(2), 0);
    for (const nxsim::LogEntry& entry : Entries()) {
        if (entry.kind == nxsim::LogEntry::Request) {
            EXPECT_EQ(entry.code, IOCTL_NXKD_GET_DEVICE_READY) << Describe(entry);
        }
    }
    driver->Release();
    ExpectNothingLeft();
}

TEST_F(DeviceDiscoveryTest, ManyObjectsComeAndGoWithoutLeaks)
{
    Sim().AddDevice(1, QuietDevice());
    for (int round = 0; round < 20; ++round) {
        IASIO* first = library.CreateDriver();
        IASIO* second = library.CreateDriver();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(first->init(nullptr), ASIOTrue);
        EXPECT_EQ(second->init(nullptr), ASIOTrue) << "each instance opens its own handle";
        EXPECT_EQ(Sim().OpenHandles(1), 2);
        second->Release();
        first->Release();
    }
    ExpectNothingLeft();
}

// The device set's frequency change when parts of it are refused.
TEST_F(DeviceDiscoveryTest, FrequencyChangeWithRefusedRequests)
{
    struct Case {
        DWORD refused;
        double rate;
        ASIOError result;
        size_t currentRateReads;
        double rateAfter;
    } cases[] = {
        // No slot took the change: refused, and the main device is not asked again.
        {IOCTL_NXKD_ASIO_SET_SAMPLE_RATE, 44100.0, ASE_NoClock, 0, 48000.0},
        // The new rate cannot be read back: 44100 is taken.
        {IOCTL_NXKD_ASIO_GET_SAMPLE_RATE, 96000.0, ASE_OK, 1, 44100.0},
        // A refused poll counts as 44100, which is the rate asked for.
        {IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE, 44100.0, ASE_OK, 1, 44100.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.refused);
        Sim().Reset();
        Sim().AddDevice(1, QuietDevice());
        IASIO* driver = Create();
        ASSERT_NE(driver, nullptr);
        Sim().FailRequest(c.refused);
        Sim().ClearLog();
        EXPECT_EQ(driver->setSampleRate(c.rate), c.result);
        std::vector<nxsim::LogEntry> sets = Requests(IOCTL_NXKD_ASIO_SET_SAMPLE_RATE);
        ASSERT_FALSE(sets.empty());
        EXPECT_EQ(As<NxRateRecord>(sets[0].in).flag, 0);
        if (c.result != ASE_OK) {
            EXPECT_EQ(sets.size(), 1u);
        }
        EXPECT_EQ(Requests(IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE).size(), c.currentRateReads);
        if (c.result == ASE_OK) {
            std::vector<nxsim::LogEntry> status = Requests(IOCTL_NXKD_SET_ASIO_STATUS);
            ASSERT_EQ(status.size(), 1u);
            EXPECT_EQ(As<NxAsioStatusRecord>(status[0].in).sampleRate, static_cast<LONG>(c.rateAfter));
            EXPECT_EQ(As<NxAsioStatusRecord>(status[0].in).deviceCount, 1);
        }
        ASIOSampleRate rate = 0;
        EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, c.rateAfter);
        driver->Release();
    }
    ExpectNothingLeft();
}

}  // namespace
