// Streaming against the simulated device on its manual clock: the first switch inside
// start, the period handler's catch-up, time stamps, halts, the ring positions, the
// start and stop requests, and loopback data; one real-time run for the sanitizers.
#include "stream_support.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

using namespace stream_support;

constexpr LONG kFrames = 256;
constexpr LONG kPeriodBytes = kFrames * 4;
constexpr LONG kRingBytes = kPeriodBytes * 64;
constexpr LONG kLeadBytes = 179 * 4;  // level 5, 48000 Hz, 256 frames

class Streaming : public StreamTest {
protected:
    void Prepare(const nxsim::DeviceConfig& config = ManualDevice())
    {
        Open(config);
        ASSERT_EQ(Create(2, 2, kFrames), ASE_OK);
    }

    int PositionRequests() { return static_cast<int>(Requests(IOCTL_NXKD_GET_STREAM_POSITION).size()); }

    std::vector<LONG> SwitchIndexes()
    {
        std::vector<LONG> indexes;
        for (const HostCall& call : host.Calls()) {
            if (call.kind == HostCall::BufferSwitch) {
                EXPECT_EQ(call.b, ASIOTrue);
                indexes.push_back(call.a);
            }
        }
        return indexes;
    }
};

TEST_F(Streaming, StartSwitchesOnceThenSendsTheStartRequests)
{
    Prepare();
    Sim().ClearLog();
    const DWORD before = timeGetTime();
    ASSERT_EQ(driver->start(), ASE_OK);
    const DWORD after = timeGetTime();

    // The host filled half 0 before any device ran.
    EXPECT_EQ(SwitchIndexes(), std::vector<LONG>{0});
    EXPECT_EQ(RequestCodes(), (std::vector<DWORD>{IOCTL_NXKD_START_STREAM, IOCTL_NXKD_START_STREAM}));
    const auto starts = Requests(IOCTL_NXKD_START_STREAM);
    const NxStartStreamRecord all = As<NxStartStreamRecord>(starts[0].in);
    const NxStartStreamRecord main = As<NxStartStreamRecord>(starts[1].in);
    EXPECT_EQ(all.mainFlag, 0);
    EXPECT_EQ(all.periodEvent, 0);
    EXPECT_EQ(all.reserved0 | all.reserved4 | all.reserved12, 0);
    EXPECT_EQ(main.mainFlag, 1);
    EXPECT_NE(main.periodEvent, 0);
    EXPECT_EQ(main.reserved0 | main.reserved4 | main.reserved12, 0);
    EXPECT_TRUE(Sim().IsStreaming(1));

    // One buffer's frames at the start time.
    EXPECT_EQ(Position(), static_cast<std::uint64_t>(kFrames));
    const std::uint64_t stamp = StampNs();
    EXPECT_EQ(stamp % 1000000, 0u);
    EXPECT_GE(stamp, static_cast<std::uint64_t>(before) * 1000000);
    EXPECT_LE(stamp, static_cast<std::uint64_t>(after) * 1000000);

    // Output leads by 179 frames, plus the period the first switch wrote; capture from 0.
    TransferBlockHeader* header = Header();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(Word(header, &TransferBlockHeader::outWriteOffset), kLeadBytes + kPeriodBytes);
    EXPECT_EQ(Word(header, &TransferBlockHeader::outWrapCount), 0);
    EXPECT_EQ(Word(header, &TransferBlockHeader::inReadOffset), 0);
    EXPECT_EQ(Word(header, &TransferBlockHeader::inWrapCount), 0);

    // The first period switches half 1.
    Periods(1, kFrames);
    ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == 2; }));
    EXPECT_EQ(SwitchIndexes(), (std::vector<LONG>{0, 1}));
}

// k pending periods: max(0, k - 2) switches without the host, then min(k, 2) with it,
// and one position request per pass of the handler (none when nothing is pending).
TEST_F(Streaming, CatchUpSwitchesOldPeriodsWithoutTheHost)
{
    Prepare();
    ASSERT_EQ(driver->start(), ASE_OK);
    int switches = 1;  // the one inside start
    for (int k = 0; k <= 5; ++k) {
        SCOPED_TRACE(k);
        Sim().ClearLog();
        host.ClearCalls();
        const std::uint64_t before = Position();
        if (k == 0) {
            // A signal without a completed period does nothing; the period after it
            // shows that nothing more happened.
            Sim().Advance(1, 0);
            Periods(1, kFrames);
            ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == 1; }));
            EXPECT_EQ(PositionRequests(), 1);
            EXPECT_EQ(Position(), before + kFrames);
            switches += 1;
            continue;
        }
        Periods(k, kFrames);
        const int hosted = k < 2 ? k : 2;
        ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == hosted; }));
        EXPECT_EQ(Position(), before + static_cast<std::uint64_t>(k) * kFrames);
        EXPECT_EQ(PositionRequests(), k == 1 ? 1 : 2);
        // Halves keep alternating through the switches the host did not see.
        std::vector<LONG> expected;
        for (int i = k - hosted; i < k; ++i)
            expected.push_back((switches + i) % 2);
        EXPECT_EQ(SwitchIndexes(), expected);
        switches += k;
    }
    // Nothing more arrives once caught up.
    Sim().ClearLog();
    EXPECT_TRUE(Sim().WaitCaughtUp(1, 1000));
    EXPECT_EQ(PositionRequests(), 0);
}

// While catching up the time stamp grows by one period per switch, never past the kernel
// driver's time; once caught up it is the kernel driver's time.
TEST_F(Streaming, TimeStampsDuringCatchUp)
{
    Prepare();
    std::mutex mutex;
    std::vector<std::uint64_t> stamps;
    std::vector<std::uint64_t> positions;
    host.OnBufferSwitch([&](LONG) {
        ASIOSamples samples = {};
        ASIOTimeStamp stamp = {};
        driver->getSamplePosition(&samples, &stamp);
        std::lock_guard<std::mutex> lock(mutex);
        stamps.push_back((static_cast<std::uint64_t>(stamp.hi) << 32) | stamp.lo);
        positions.push_back((static_cast<std::uint64_t>(samples.hi) << 32) | samples.lo);
    });
    ASSERT_EQ(driver->start(), ASE_OK);
    const std::uint64_t startNs = StampNs();
    const std::uint64_t periodNs = kFrames * 1000000000ull / 48000;

    // Right away: four periods' growth would pass the kernel's time, so it is capped.
    Periods(5, kFrames);
    ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == 3; }));
    std::uint64_t kernelNs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(stamps.size(), 3u);
        EXPECT_EQ(positions[1], 5u * kFrames);
        EXPECT_EQ(positions[2], 6u * kFrames);
        kernelNs = stamps[2];
        EXPECT_EQ(kernelNs % 1000000, 0u);
        EXPECT_LE(stamps[1], kernelNs);
        EXPECT_LE(stamps[1], startNs + 4 * periodNs);
        stamps.clear();
        positions.clear();
    }

    // After a pause longer than the catch-up: one period per switch from the last stamp.
    const DWORD resume = static_cast<DWORD>(kernelNs / 1000000) + 30;
    while (static_cast<LONG>(timeGetTime() - resume) < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    Periods(5, kFrames);
    ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == 5; }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[0], kernelNs + 4 * periodNs);
    EXPECT_GE(stamps[1], static_cast<std::uint64_t>(resume) * 1000000);
    EXPECT_EQ(stamps[1] % 1000000, 0u);
    EXPECT_EQ(StampNs(), stamps[1]);
}

// A slot the kernel driver halted gets silent host buffers and no switches until the
// host stops and starts again.
TEST_F(Streaming, HaltedSlotFallsSilentUntilRestart)
{
    Prepare();
    ASSERT_EQ(driver->start(), ASE_OK);
    Periods(2, kFrames);
    ASSERT_EQ(host.BufferSwitchCount(), 3);
    for (int entry = 0; entry < 4; ++entry) {
        std::memset(Half(entry, 0), 0x77, kPeriodBytes);
        std::memset(Half(entry, 1), 0x77, kPeriodBytes);
    }
    TransferBlockHeader* header = Header();
    ASSERT_NE(header, nullptr);
    const LONG inRead = Word(header, &TransferBlockHeader::inReadOffset);
    const LONG outWrite = Word(header, &TransferBlockHeader::outWriteOffset);

    Sim().ClearLog();
    Sim().Halt(1);
    ASSERT_TRUE(WaitFor([&] { return Word(header, &TransferBlockHeader::haltAcknowledged) == 1; }));
    for (int entry = 0; entry < 4; ++entry) {
        for (int h = 0; h < 2; ++h) {
            const BYTE* data = Half(entry, h);
            for (LONG i = 0; i < kPeriodBytes; ++i)
                ASSERT_EQ(data[i], 0) << "entry " << entry << " half " << h << " byte " << i;
        }
    }
    EXPECT_EQ(host.BufferSwitchCount(), 3);
    EXPECT_EQ(PositionRequests(), 0);
    EXPECT_EQ(Word(header, &TransferBlockHeader::inReadOffset), inRead);
    EXPECT_EQ(Word(header, &TransferBlockHeader::outWriteOffset), outWrite);

    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(Word(header, &TransferBlockHeader::haltAcknowledged), 0);
    EXPECT_EQ(Word(header, &TransferBlockHeader::halted), 0);
    host.ClearCalls();
    ASSERT_EQ(driver->start(), ASE_OK);
    Periods(1, kFrames);
    ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == 2; }));
    EXPECT_EQ(SwitchIndexes(), (std::vector<LONG>{0, 1}));
}

// Output starts off a period boundary, so one period in 64 crosses the ring end: it is
// copied in two pieces and the offset wraps to the remainder. Capture wraps to 0.
TEST_F(Streaming, RingPositionsWrap)
{
    Prepare();
    std::atomic<int> switchNumber{0};
    host.OnBufferSwitch([&](LONG index) {
        const int n = switchNumber++;
        std::memset(Half(2, index), 0x40 + (n & 0x3F), kPeriodBytes);  // output 0
    });
    ASSERT_EQ(driver->start(), ASE_OK);
    TransferBlockHeader* header = Header();
    ASSERT_NE(header, nullptr);
    const BYTE* outputRing = reinterpret_cast<BYTE*>(header) + 104 + 2 * kRingBytes;

    for (int j = 1; j <= 64; ++j) {
        SCOPED_TRACE(j);
        Periods(1, kFrames);
        const LONG written = kLeadBytes + (j + 1) * kPeriodBytes;
        const LONG expectedOut = written % kRingBytes;
        const LONG expectedOutWraps = written / kRingBytes;
        ASSERT_TRUE(WaitFor([&] {
            return Word(header, &TransferBlockHeader::outWriteOffset) == expectedOut &&
                   Word(header, &TransferBlockHeader::outWrapCount) == expectedOutWraps;
        }));
        EXPECT_EQ(Word(header, &TransferBlockHeader::inReadOffset), (j * kPeriodBytes) % kRingBytes);
        EXPECT_EQ(Word(header, &TransferBlockHeader::inWrapCount), j / 64);
        if (j == 63) {
            // Switch 63 wrote 308 bytes up to the ring end and 716 from its begin.
            const BYTE fill = 0x40 + 63;
            const LONG tail = kRingBytes - (kLeadBytes + 63 * kPeriodBytes);
            EXPECT_EQ(tail, 308);
            for (LONG i = 0; i < tail; ++i)
                ASSERT_EQ(outputRing[kRingBytes - tail + i], fill) << i;
            for (LONG i = 0; i < kPeriodBytes - tail; ++i)
                ASSERT_EQ(outputRing[i], fill) << i;
            EXPECT_EQ(outputRing[kPeriodBytes - tail], 0x40);  // switch 0's data follows
            EXPECT_EQ(expectedOut, kLeadBytes);
            EXPECT_EQ(expectedOutWraps, 1);
        }
    }
    EXPECT_EQ(Word(header, &TransferBlockHeader::inReadOffset), 0);
    EXPECT_EQ(Word(header, &TransferBlockHeader::inWrapCount), 1);
}

// What the host writes to output k comes back on input k, a constant delay later: one
// period plus the output lead (256 + 179 frames) with the loopback device.
TEST_F(Streaming, LoopbackReturnsEveryFrameAtAConstantDelay)
{
    Prepare();
    constexpr int kSwitches = 24;
    constexpr std::int64_t kDelay = kFrames + 179;
    std::mutex mutex;
    int mismatches = 0;
    int checked = 0;
    int switchNumber = 0;  // the host's callbacks come one at a time
    host.OnBufferSwitch([&](LONG index) {
        const std::int64_t first = static_cast<std::int64_t>(switchNumber++) * kFrames;
        for (int k = 0; k < 2; ++k) {
            auto* out = reinterpret_cast<std::uint32_t*>(Half(2 + k, index));
            const auto* in = reinterpret_cast<const std::uint32_t*>(Half(k, index));
            for (LONG i = 0; i < kFrames; ++i) {
                const std::int64_t frame = first + i;
                out[i] = (static_cast<std::uint32_t>(k + 1) << 24) | static_cast<std::uint32_t>(frame & 0xFFFFFF);
                const std::int64_t source = frame - kDelay;
                const std::uint32_t expected =
                    source < 0 ? 0 : (static_cast<std::uint32_t>(k + 1) << 24) | static_cast<std::uint32_t>(source);
                std::lock_guard<std::mutex> lock(mutex);
                mismatches += in[i] != expected ? 1 : 0;
                ++checked;
            }
        }
    });
    ASSERT_EQ(driver->start(), ASE_OK);
    for (int p = 1; p < kSwitches; ++p) {
        Periods(1, kFrames);
        ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() == p + 1; }));
    }
    ASSERT_EQ(driver->stop(), ASE_OK);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(checked, kSwitches * 2 * kFrames);
    EXPECT_EQ(mismatches, 0);
}

// The transfer header is memory the kernel driver writes too. A period index outside the
// ring never matches the driver's, which would keep the handler switching forever: each
// run is bounded, so the worker thread comes back and stop (which waits for it) returns.
TEST_F(Streaming, KernelPeriodOutsideTheRingDoesNotHoldTheWorker)
{
    Prepare();
    ASSERT_EQ(driver->start(), ASE_OK);
    Periods(1, kFrames);
    TransferBlockHeader* header = Header();
    ASSERT_NE(header, nullptr);
    StoreShared(&header->kernelPeriod, 100);
    const int seen = host.BufferSwitchCount();
    Sim().Advance(1, 0);  // a signal without a period: the index stays as written
    ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() > seen; }));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// Ring offsets out of place are not copied to or from, and come back into the ring.
TEST_F(Streaming, RingOffsetsOutsideTheRingAreNotFollowed)
{
    Prepare();
    ASSERT_EQ(driver->start(), ASE_OK);
    Periods(1, kFrames);
    TransferBlockHeader* header = Header();
    ASSERT_NE(header, nullptr);
    for (LONG bad : {-5, kRingBytes + 1, 0x7FFFFFF0, static_cast<LONG>(0x80000000)}) {
        SCOPED_TRACE(bad);
        StoreShared(&header->inReadOffset, bad);
        StoreShared(&header->outWriteOffset, bad);
        const std::uint64_t target = Position() + kFrames;
        Sim().Advance(1, 1);
        ASSERT_TRUE(Sim().WaitCaughtUp(1, 5000));
        ASSERT_TRUE(WaitFor([&] {
            const LONG out = Word(header, &TransferBlockHeader::outWriteOffset);
            return Position() == target && out >= 0 && out < kRingBytes;
        }));
        const LONG in = Word(header, &TransferBlockHeader::inReadOffset);
        EXPECT_GE(in, 0);
        EXPECT_LT(in, kRingBytes);
    }
    // From a sound offset on, streaming goes on as before.
    StoreShared(&header->outWriteOffset, 0);
    Periods(2, kFrames);
    EXPECT_EQ(Word(header, &TransferBlockHeader::outWriteOffset), 2 * kPeriodBytes);
}

TEST_F(Streaming, StopTwiceSendsTheStopRequestsAgain)
{
    Prepare();
    ASSERT_EQ(driver->start(), ASE_OK);
    Sim().ClearLog();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
    const auto stops = Requests(IOCTL_NXKD_STOP_STREAM);
    ASSERT_EQ(Requests().size(), 4u);
    ASSERT_EQ(stops.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const NxStopStreamRecord record = As<NxStopStreamRecord>(stops[i].in);
        EXPECT_EQ(record.reserved0, 0);
        EXPECT_EQ(record.mainFlag, i % 2);
        EXPECT_EQ(record.reserved8, 0);
    }
    EXPECT_FALSE(Sim().IsStreaming(1));
    // Buffers and the mapping stay; start works again.
    EXPECT_TRUE(Sim().IsMapped(1));
    EXPECT_EQ(driver->start(), ASE_OK);
}

TEST_F(Streaming, StopAndStartWithoutBuffersAreRefused)
{
    Open();
    Sim().ClearLog();
    EXPECT_EQ(driver->stop(), ASE_InvalidMode);
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(host.BufferSwitchCount(), 0);
    EXPECT_EQ(driver->outputReady(), ASE_OK);
}

// A device that refuses to start is stopped again and the buffers stay.
TEST_F(Streaming, RefusedStartStopsAndReportsNotPresent)
{
    Prepare();
    Sim().FailRequest(IOCTL_NXKD_START_STREAM, 1, 1);
    Sim().ClearLog();
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(RequestCodes(), (std::vector<DWORD>{IOCTL_NXKD_START_STREAM, IOCTL_NXKD_STOP_STREAM,
                                                  IOCTL_NXKD_STOP_STREAM, IOCTL_NXKD_STOP_STREAM,
                                                  IOCTL_NXKD_STOP_STREAM}));
    EXPECT_FALSE(Sim().IsStreaming(1));
    EXPECT_TRUE(Sim().IsMapped(1));
    Sim().ClearLog();
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(Requests(IOCTL_NXKD_START_STREAM).size(), 2u);
}

TEST_F(Streaming, SamplePositionNeedsItsOutputs)
{
    Prepare();
    ASIOSamples samples = {};
    ASIOTimeStamp stamp = {};
    EXPECT_EQ(driver->getSamplePosition(nullptr, &stamp), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(&samples, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(&samples, &stamp), ASE_OK);
}

// The real-time clock at 32 frames: the worker thread switches on its own while the host
// stops, starts, disposes and creates again, also from inside its bufferSwitch. Run under
// TSan this shows the period handler never meets a released block.
TEST_F(Streaming, RealTimeStreamSurvivesDisposeWhileRunning)
{
    nxsim::DeviceConfig config;  // real-time clock, loopback
    Open(config);
    std::atomic<bool> stopInside{false};
    host.OnBufferSwitch([&](LONG) {
        ASIOSamples samples = {};
        ASIOTimeStamp stamp = {};
        driver->getSamplePosition(&samples, &stamp);
        if (stopInside.exchange(false))
            driver->stop();
    });
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Create(2, 2, 32), ASE_OK);
        host.ClearCalls();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() >= 20; }));
        if (round % 2 == 1) {
            stopInside = true;
            ASSERT_TRUE(WaitFor([&] { return !Sim().IsStreaming(1); }));
            ASSERT_EQ(driver->start(), ASE_OK);
            const int seen = host.BufferSwitchCount();
            ASSERT_TRUE(WaitFor([&] { return host.BufferSwitchCount() >= seen + 10; }));
        }
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_FALSE(Sim().IsMapped(1));
        EXPECT_FALSE(Sim().IsStreaming(1));
    }
}

// start and stop from two host threads: one of them comes wholly after the other, so a
// stream the device runs is always one the driver switches.
TEST_F(StreamTest, StartAndStopFromTwoThreadsLeaveAConsistentStream)
{
    Open();
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        std::thread starter([&] { driver->start(); });
        std::thread stopper([&] { driver->stop(); });
        starter.join();
        stopper.join();
        if (!Sim().IsStreaming(1))
            continue;
        const int before = host.BufferSwitchCount();
        Sim().Advance(1, 1);
        ASSERT_TRUE(Sim().WaitCaughtUp(1, 5000));
        EXPECT_TRUE(WaitFor([&] { return host.BufferSwitchCount() > before; }));
    }
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// A host that stops inside the first switch, which start makes on its own thread, is left
// with no device streaming.
TEST_F(StreamTest, StopInsideTheFirstSwitchLeavesTheDevicesStopped)
{
    Open();
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    host.OnBufferSwitch([this](LONG) { driver->stop(); });
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(host.BufferSwitchCount(), 1);
    EXPECT_FALSE(Sim().IsStreaming(1));
    EXPECT_TRUE(Requests(IOCTL_NXKD_START_STREAM).empty());
}

}  // namespace
