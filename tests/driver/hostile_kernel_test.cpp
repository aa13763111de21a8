// Randomized host call sequences against a kernel driver whose answers are hostile:
// odd layouts, sample sizes, buffer size records and latency levels, refused requests,
// notifications, halts and removal at any moment. Whatever happens in between, the
// driver must not crash, and its release must leave no handle, mapping or thread behind.
#include "asio.h"
#include "driver_host.h"
#include "nxkd_sim.h"
#include "sim_log.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using Rng = std::mt19937;

int Uniform(Rng& rng, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(rng);
}

bool Chance(Rng& rng, int percent)
{
    return Uniform(rng, 0, 99) < percent;
}

template <typename T>
T Pick(Rng& rng, const std::vector<T>& values)
{
    return values[static_cast<size_t>(Uniform(rng, 0, static_cast<int>(values.size()) - 1))];
}

const std::vector<DWORD> kAllRequests = {
    IOCTL_NXKD_GET_DEVICE_INFO,         IOCTL_NXKD_GET_STREAM_LAYOUT,     IOCTL_NXKD_GET_DEVICE_READY,
    IOCTL_NXKD_START_STREAM,            IOCTL_NXKD_STOP_STREAM,           IOCTL_NXKD_RELEASE_BUFFER,
    IOCTL_NXKD_GET_LATENCY_INFO,        IOCTL_NXKD_GET_BUFFER_SIZE_INFO,  IOCTL_NXKD_GET_SAMPLE_SIZE,
    IOCTL_NXKD_GET_STREAM_POSITION,     IOCTL_NXKD_MAP_BUFFER,            IOCTL_NXKD_REGISTER_EVENTS,
    IOCTL_NXKD_UNREGISTER_EVENTS,       IOCTL_NXKD_SET_INPUT_OPTION,      IOCTL_NXKD_SET_ASIO_STATUS,
    IOCTL_NXKD_GET_ASIO_STATUS,         IOCTL_NXKD_GET_SETTINGS,          IOCTL_NXKD_SET_SETTINGS,
    IOCTL_NXKD_GET_CLIENT_ACTIVE,       IOCTL_NXKD_GET_SAMPLE_RATE,       IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE,
    IOCTL_NXKD_SET_SAMPLE_RATE,         IOCTL_NXKD_QUERY_SAMPLE_RATE,     IOCTL_NXKD_GET_CLOCK_STATUS,
    IOCTL_NXKD_GET_KX_RUNNING,          IOCTL_NXKD_ASIO_SET_SAMPLE_RATE,  IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE,
    IOCTL_NXKD_ASIO_GET_NOTIFICATION,   IOCTL_NXKD_ASIO_GET_SAMPLE_RATE,
};

LONG HostileSize(Rng& rng)
{
    switch (Uniform(rng, 0, 7)) {
    case 0: return 0;
    case 1: return -Uniform(rng, 1, 5000);
    case 2: return INT_MIN;
    case 3: return INT_MAX;
    case 4: return Uniform(rng, 1, 70000);
    default: return Pick<LONG>(rng, {1, 2, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 16385});
    }
}

int HostileChannelCount(Rng& rng)
{
    if (Chance(rng, 8))
        return 255;
    if (Chance(rng, 5))
        return Uniform(rng, 17, 254);
    return Uniform(rng, 0, 8);
}

// A third of the devices are hostile in every field; the rest are sane but for one
// field, so that the deeper paths (buffers, streaming) are reached as well.
nxsim::DeviceConfig HostileDevice(Rng& rng)
{
    nxsim::DeviceConfig c;
    c.clock = nxsim::Clock::Manual;
    // A device that never runs at the new frequency costs seconds per setSampleRate.
    c.followsRateChange = true;
    c.completeMapAtOnce = Chance(rng, 50);
    c.loopback = Chance(rng, 50);
    const bool all = Chance(rng, 35);
    const int only = Uniform(rng, 0, 9);
    auto hostile = [&](int field) { return all || only == field; };

    if (hostile(0))
        c.ready = Chance(rng, 50) ? 0 : static_cast<LONG>(rng());
    const std::vector<DWORD> rates = {0u, 1u, 1999u, 8000u, 44100u, 48000u, 96000u, 192000u, 384000u,
                                      2147483647u, 2147483648u, 4000000000u};
    if (hostile(1)) {
        c.sampleRate = Pick(rng, rates);
        c.rates.clear();
        const int count = Uniform(rng, 0, 12);
        for (int i = 0; i < count; ++i)
            c.rates.push_back(Pick(rng, rates));
    }
    if (hostile(2))
        c.bytesPerSample = Pick<LONG>(rng, {-1, 0, 1, 2, 3, 5, 8});
    if (hostile(3)) {
        c.inputs = HostileChannelCount(rng);
        c.outputs = HostileChannelCount(rng);
    } else {
        c.inputs = Uniform(rng, 0, 4);
        c.outputs = Uniform(rng, 0, 4);
    }
    if (hostile(4))
        c.bufferSize = Chance(rng, 20) ? NxBufferSizeRecord{2048, 32, 256, 32}  // max below min
                                       : NxBufferSizeRecord{HostileSize(rng), HostileSize(rng), HostileSize(rng), HostileSize(rng)};
    if (hostile(5))
        c.latencyLevel = Pick<LONG>(rng, {-5, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1000, INT_MIN});
    if (hostile(6)) {
        c.inputLatency = Chance(rng, 50) ? Uniform(rng, 0, 500) : static_cast<LONG>(rng());
        c.outputLatency = Chance(rng, 50) ? Uniform(rng, 0, 500) : static_cast<LONG>(rng());
    }
    if (hostile(7))
        c.kxRunning = 1;
    if (hostile(8) || (all && Chance(rng, 60))) {
        const int count = Uniform(rng, 1, 3);
        for (int i = 0; i < count; ++i)
            c.fail.push_back(Pick(rng, kAllRequests));
    }
    return c;
}

double HostileRate(Rng& rng, const nxsim::DeviceConfig& config)
{
    if (!config.rates.empty() && Chance(rng, 50))
        return static_cast<double>(Pick(rng, config.rates));
    return Pick<double>(rng, {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                              -1.0, 0.0, 1.0, 44100.0, 48000.0, 48000.5, 96000.0, 1e12, 4294967296.0,
                              static_cast<double>(config.sampleRate)});
}

// One iteration: a hostile device, a random call sequence, then the release.
class HostileRun {
public:
    // How far the sequences got, so a change that makes every device refuse shows.
    struct Reached {
        int inits = 0;
        int buffers = 0;
        int starts = 0;
        int switches = 0;
    };

    HostileRun(DriverLibrary* lib, unsigned seed, Reached* counts) : library(lib), rng(seed), reached(counts) {}

    void Go()
    {
        Sim().Reset();
        config = HostileDevice(rng);
        Sim().AddDevice(1, config);
        rateSafe = std::find(config.fail.begin(), config.fail.end(), IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE) ==
                   config.fail.end();
        const int handlesBefore = platform_test::LiveHandleCount();
        const int threadsBefore = platform_test::LiveThreadCount();
        {
            TestHost host;
            callbacks = host.Callbacks();
            driver = library->CreateDriver();
            ASSERT_NE(driver, nullptr);
            InsideSwitches(&host);
            // Hosts begin with init; now and then one does not.
            if (Chance(rng, 85) && driver->init(nullptr) == ASIOTrue) {
                ++reached->inits;
                Step(4);  // the buffer sizes, which sane createBuffers requests use
            }
            const int calls = Uniform(rng, 10, 40);
            for (int i = 0; i < calls; ++i)
                Step(Uniform(rng, 0, 22), i >= calls - 4);
            reached->switches += host.BufferSwitchCount();
            EXPECT_EQ(driver->Release(), 0u);
            driver = nullptr;
        }
        EXPECT_EQ(Sim().OpenHandles(1), 0);
        EXPECT_FALSE(Sim().IsMapped(1));
        EXPECT_TRUE(WaitFor([&] { return platform_test::LiveThreadCount() == threadsBefore; }, 5000))
            << platform_test::LiveThreadCount() << " threads, " << threadsBefore << " before";
        EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
    }

private:
    // What the host does inside its bufferSwitch, chosen once per run (the callback runs
    // on the driver's thread, so it draws nothing from the generator).
    void InsideSwitches(TestHost* host)
    {
        IASIO* d = driver;
        switch (Uniform(rng, 0, 3)) {
        case 0: break;
        case 1: host->OnBufferSwitch([d](LONG) { d->outputReady(); }); break;
        case 2:
            host->OnBufferSwitch([d](LONG) {
                ASIOSamples samples = {0, 0};
                ASIOTimeStamp stamp = {0, 0};
                d->getSamplePosition(&samples, &stamp);
            });
            break;
        case 3:
            host->OnBufferSwitch([d](LONG) {
                LONG in = 0, out = 0;
                d->getLatencies(&in, &out);
                d->outputReady();
            });
            break;
        }
    }

    void Step(int call, bool nearEnd = false)
    {
        switch (call) {
        case 0:
        case 1: driver->init(nullptr); break;
        case 2: {
            LONG ins = -7, outs = -7;
            driver->getChannels(&ins, &outs);
            break;
        }
        case 3: {
            ASIOChannelInfo info;
            std::memset(&info, 0xA5, sizeof(info));
            info.channel = Pick<LONG>(rng, {-1, 0, 1, 2, 7, 254, 255, 511, 512, INT_MAX, INT_MIN,
                                            static_cast<LONG>(Uniform(rng, 0, 300))});
            info.isInput = Chance(rng, 50) ? ASIOTrue : (Chance(rng, 50) ? ASIOFalse : 7);
            driver->getChannelInfo(&info);
            break;
        }
        case 4: {
            LONG a = 0, b = 0, c = 0, d = 0;
            if (driver->getBufferSize(&a, &b, &c, &d) == ASE_OK) {
                reportedMin = a;
                reportedMax = b;
                reportedPreferred = c;
            }
            break;
        }
        case 5: {
            LONG in = 0, out = 0;
            driver->getLatencies(&in, &out);
            break;
        }
        case 6: driver->canSampleRate(HostileRate(rng, config)); break;
        case 7: {
            ASIOSampleRate rate = -1;
            driver->getSampleRate(&rate);
            break;
        }
        case 8:
            if (rateSafe)
                driver->setSampleRate(HostileRate(rng, config));
            break;
        case 9: {
            ASIOClockSource clocks[8];
            std::memset(clocks, 0x5A, sizeof(clocks));
            LONG count = Pick<LONG>(rng, {0, 1, 2, 8, -1});
            driver->getClockSources(count < 0 ? nullptr : clocks, &count);
            break;
        }
        case 10: driver->setClockSource(Pick<LONG>(rng, {-1, 0, 1, 2, 100})); break;
        case 11:
        case 12:
        case 13: CreateBuffers(); break;
        case 14: driver->disposeBuffers(); break;
        case 15:
            if (driver->start() == ASE_OK)
                ++reached->starts;
            break;
        case 16: driver->stop(); break;
        case 17: {
            ASIOSamples samples = {0, 0};
            ASIOTimeStamp stamp = {0, 0};
            driver->getSamplePosition(&samples, &stamp);
            break;
        }
        case 18: {
            alignas(16) BYTE opt[256] = {};
            const LONG selector = Pick<LONG>(rng, {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                   17, kAsioSetIoFormat, kAsioGetIoFormat, kAsioCanDoIoFormat});
            driver->future(selector, opt);
            break;
        }
        case 19: driver->outputReady(); break;
        case 20:
        case 21:
            Periods();
            break;
        case 22: KernelChange(nearEnd); break;
        }
    }

    // The kernel driver changes its answers while the driver holds the device.
    void KernelChange(bool nearEnd)
    {
        switch (Uniform(rng, 0, 14)) {
        case 0: Sim().Halt(1); break;
        case 1:
            if (nearEnd)
                Sim().Remove(1);
            break;
        case 2: Sim().SetReady(1, Chance(rng, 50) ? 0 : static_cast<LONG>(rng())); break;
        case 3: Sim().SetKxRunning(1, Uniform(rng, 0, 1)); break;
        case 4: Sim().SetClientActive(1, Uniform(rng, 0, 1)); break;
        case 5: Sim().SetStreamLayout(1, HostileChannelCount(rng), HostileChannelCount(rng)); break;
        case 6: {
            const DWORD code = Pick(rng, kAllRequests);
            if (code == IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE)
                rateSafe = false;
            Sim().FailRequest(code, 1, Uniform(rng, 1, 3));
            break;
        }
        default: Sim().Notify(1, Chance(rng, 50) ? (1u << Uniform(rng, 0, 31)) : static_cast<DWORD>(rng()));
        }
    }

    // Periods of the device's clock and a short wait for the driver to follow them (a
    // stopped stream has nothing to follow: the wait would only time out).
    void Periods()
    {
        Sim().Advance(1, Uniform(rng, 1, 70));
    }

    void CreateBuffers()
    {
        // Half the requests are what a sane host asks: channels that exist, the preferred size.
        const bool sane = Chance(rng, 50);
        const LONG count = sane ? Uniform(rng, 0, std::min(config.inputs, 4) + std::min(config.outputs, 4))
                                : Pick<LONG>(rng, {0, 1, 2, 3, 4, 8, -1, 40, 600, static_cast<LONG>(Uniform(rng, 0, 20))});
        infos.assign(static_cast<size_t>(std::max<LONG>(count, 0)), ASIOBufferInfo{});
        for (size_t i = 0; i < infos.size(); ++i) {
            const LONG at = static_cast<LONG>(i);
            if (sane) {
                const bool input = at < std::min(config.inputs, 4);
                infos[i].isInput = input ? ASIOTrue : ASIOFalse;
                infos[i].channelNum = input ? at : at - std::min(config.inputs, 4);
                continue;
            }
            infos[i].isInput = Chance(rng, 50) ? ASIOTrue : (Chance(rng, 90) ? ASIOFalse : 3);
            infos[i].channelNum = Chance(rng, 80) ? at / 2 : Pick<LONG>(rng, {-1, 0, 254, 255, 511, 512, INT_MAX});
        }
        const LONG size = sane ? reportedPreferred
                               : Pick<LONG>(rng, {0, -1, 1, 31, 32, 64, 256, 2048, 16384, 16385, INT_MAX,
                                                  reportedMin, reportedMax, reportedPreferred});
        ASIOBufferInfo* list = infos.data();
        if (count > 0 && Chance(rng, 5))
            list = nullptr;
        ASIOCallbacks* cb = Chance(rng, 5) ? nullptr : callbacks;
        if (driver->createBuffers(list, count, size, cb) != ASE_OK)
            return;
        ++reached->buffers;
        // Hosts usually start right away and the device then runs.
        if (Chance(rng, 60) && driver->start() == ASE_OK) {
            ++reached->starts;
            Periods();
        }
    }

    DriverLibrary* library;
    Rng rng;
    Reached* reached;
    nxsim::DeviceConfig config;
    bool rateSafe = true;
    IASIO* driver = nullptr;
    ASIOCallbacks* callbacks = nullptr;
    std::vector<ASIOBufferInfo> infos;
    LONG reportedMin = 32;
    LONG reportedMax = 2048;
    LONG reportedPreferred = 256;
};

class HostileKernel : public ::testing::Test {
protected:
    void SetUp() override { Sim().Reset(); }
    void TearDown() override { Sim().Reset(); }

    void Seeds(unsigned first, unsigned last)
    {
        for (unsigned seed = first; seed <= last; ++seed) {
            SCOPED_TRACE(seed);
            HostileRun(&library, seed, &reached).Go();
            if (HasFatalFailure())
                return;
        }
        // Every block of seeds streams somewhere, or the deeper paths went untested.
        EXPECT_GT(reached.inits, 0);
        EXPECT_GT(reached.buffers, 0);
        EXPECT_GT(reached.starts, 0);
        EXPECT_GT(reached.switches, 0);
    }

    DriverLibrary library;
    HostileRun::Reached reached;
};

TEST_F(HostileKernel, Seeds0To99) { Seeds(0, 99); }
TEST_F(HostileKernel, Seeds100To199) { Seeds(100, 199); }
TEST_F(HostileKernel, Seeds200To299) { Seeds(200, 299); }

}  // namespace
