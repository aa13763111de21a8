// createBuffers and disposeBuffers against the simulated device: the layout the host is
// given, the blocks handed to the kernel driver, the size rules and refusals, and what a
// host or kernel driver can hand in that must not be trusted.
#include "stream_support.h"
#include "test_hooks.h"

#include <cstdint>

namespace {

using namespace stream_support;

class Buffers : public StreamTest {};

TEST_F(Buffers, LayoutOfTwoInTwoOutAndTheRequestsThatMakeIt)
{
    Open();
    Sim().ClearLog();
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);

    // One period of 256 frames x 4 bytes per half; channels in order, inputs first.
    BYTE* base = Half(0, 0);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64, 0u);
    for (int entry = 0; entry < 4; ++entry) {
        EXPECT_EQ(Half(entry, 0), base + (2 * entry) * 1024) << entry;
        EXPECT_EQ(Half(entry, 1), base + (2 * entry + 1) * 1024) << entry;
    }
    EXPECT_EQ(Half(3, 0) - base, 6 * 1024);  // output 1
    EXPECT_EQ(Half(3, 1) - base, 7 * 1024);

    EXPECT_EQ(RequestCodes(),
              (std::vector<DWORD>{IOCTL_NXKD_GET_BUFFER_SIZE_INFO, IOCTL_NXKD_GET_BUFFER_SIZE_INFO,
                                  IOCTL_NXKD_MAP_BUFFER, IOCTL_NXKD_GET_SETTINGS, IOCTL_NXKD_GET_SETTINGS}));
    const auto map = Requests(IOCTL_NXKD_MAP_BUFFER);
    ASSERT_EQ(map.size(), 1u);
    const NxMapBufferRecord input = As<NxMapBufferRecord>(map[0].in);
    EXPECT_EQ(input.reserved, 0);
    EXPECT_EQ(input.periodFrames, 256);
    EXPECT_EQ(input.ringFrames, 256 * 64);

    // The transfer block: header, then 4 rings of 64 periods, handed over whole.
    DWORD length = 0;
    TransferBlockHeader* header = Header(&length);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(length, 104u + 256u * 4 * 4 * 64);
    EXPECT_EQ(Word(header, &TransferBlockHeader::headerSize), 104);
    EXPECT_EQ(Word(header, &TransferBlockHeader::inRingSize), 256 * 4 * 64);
    EXPECT_EQ(Word(header, &TransferBlockHeader::outRingSize), 256 * 4 * 64);
    EXPECT_TRUE(Sim().IsMapped(1));
}

// The AsioBufferBlock holds two halves of 16384 frames for every channel whatever the
// size: the largest buffers are usable to their last byte (checked under ASan).
TEST_F(Buffers, LargestBuffersFitTheirBlock)
{
    Open();
    ASSERT_EQ(Create(2, 2, 16384), ASE_OK);
    BYTE* base = Half(0, 0);
    EXPECT_EQ(Half(3, 1) - base, 7 * 16384 * 4);
    for (int entry = 0; entry < 4; ++entry) {
        std::memset(Half(entry, 0), 0x5A, 16384 * 4);
        std::memset(Half(entry, 1), 0xA5, 16384 * 4);
    }
    EXPECT_EQ(Half(3, 1)[16384 * 4 - 1], 0xA5);
}

// Packed 3-byte samples are spaced by 3 bytes per frame.
TEST_F(Buffers, ThreeByteSamplesArePacked)
{
    nxsim::DeviceConfig config = ManualDevice();
    config.bytesPerSample = 3;
    Open(config);
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    EXPECT_EQ(Half(3, 0) - Half(0, 0), 6 * 768);
    DWORD length = 0;
    ASSERT_NE(Header(&length), nullptr);
    EXPECT_EQ(length, 104u + 256u * 3 * 4 * 64);
}

// Sample widths from the kernel driver that no host format describes are refused before
// anything is allocated or mapped.
TEST_F(Buffers, UnusableSampleWidthsAreRefused)
{
    for (LONG width : {0, -1, 1, 5, 8, 0x40000000}) {
        SCOPED_TRACE(width);
        Sim().Reset();
        nxsim::DeviceConfig config = ManualDevice();
        config.bytesPerSample = width;
        Open(config);
        EXPECT_EQ(Create(2, 2, 256), ASE_NoMemory);
        EXPECT_TRUE(Requests(IOCTL_NXKD_MAP_BUFFER).empty());
        EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
        driver->Release();
        driver = nullptr;
    }
}

// Sizes outside the device's rules are used all the same; the next start asks for a reset.
TEST_F(Buffers, SizeOutsideTheRulesIsKeptAndStartAsksForAReset)
{
    struct Case {
        NxBufferSizeRecord rules;
        LONG size;
    };
    const Case cases[] = {
        {{32, 2048, 256, 32}, 2049},  // one above max
        {{32, 2048, 256, 32}, 16},    // below min
        {{32, 2048, 256, 32}, 100},   // not a multiple of the granularity
        {{64, 64, 64, 0}, 128},       // granularity 0: only min is valid
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Sim().Reset();
        host.ClearCalls();
        nxsim::DeviceConfig config = ManualDevice();
        config.bufferSize = c.rules;
        Open(config);
        ASSERT_EQ(Create(2, 2, c.size), ASE_OK);
        EXPECT_NE(Half(3, 1), nullptr);
        EXPECT_TRUE(Sim().IsMapped(1));

        Sim().ClearLog();
        EXPECT_EQ(driver->start(), ASE_InvalidMode);
        EXPECT_TRUE(Requests(IOCTL_NXKD_START_STREAM).empty());
        bool resetAsked = false;
        for (const HostCall& call : host.Calls())
            resetAsked |= call.kind == HostCall::AsioMessage && call.a == kAsioResetRequest;
        EXPECT_TRUE(resetAsked);
        EXPECT_EQ(host.BufferSwitchCount(), 0);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        driver->Release();
        driver = nullptr;
    }
}

TEST_F(Buffers, SizeWithinTheRulesStarts)
{
    Open();
    ASSERT_EQ(Create(2, 2, 64), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// Refusals leave no buffers: nothing mapped, nothing to dispose.
TEST_F(Buffers, RefusedRequestsAllocateNothing)
{
    Open();
    ASIOBufferInfo info[3] = {};
    struct Case {
        const char* what;
        std::function<ASIOError()> call;
        ASIOError expected;
    };
    const Case cases[] = {
        {"size above 16384", [&] { return Create(2, 2, 16385); }, ASE_NoMemory},
        {"size 0", [&] { return Create(2, 2, 0); }, ASE_NoMemory},
        {"negative size", [&] { return Create(2, 2, -256); }, ASE_InvalidParameter},
        {"three inputs", [&] { return Create(3, 2, 256); }, ASE_InvalidParameter},
        {"three outputs", [&] { return Create(0, 3, 256); }, ASE_InvalidParameter},
        {"null entries", [&] { return driver->createBuffers(nullptr, 2, 256, host.Callbacks()); },
         ASE_InvalidParameter},
        {"negative count", [&] { return driver->createBuffers(info, -1, 256, host.Callbacks()); },
         ASE_InvalidParameter},
        {"null callbacks", [&] { return driver->createBuffers(info, 1, 256, nullptr); }, ASE_InvalidParameter},
    };
    const int handlesBefore = platform_test::LiveHandleCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sim().ClearLog();
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_TRUE(Requests(IOCTL_NXKD_MAP_BUFFER).empty());
        EXPECT_FALSE(Sim().IsMapped(1));
        EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
        EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
    }
    // Without entries but with callbacks, buffers of no channel are fine.
    EXPECT_EQ(driver->createBuffers(nullptr, 0, 256, host.Callbacks()), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// A refused mapping releases what was made; no event or block is left behind.
TEST_F(Buffers, RefusedMappingReleasesEverything)
{
    Open();
    const int handlesBefore = platform_test::LiveHandleCount();
    Sim().FailRequest(IOCTL_NXKD_MAP_BUFFER, 1, 1);
    EXPECT_EQ(Create(2, 2, 256), ASE_NoMemory);
    EXPECT_FALSE(Sim().IsMapped(1));
    EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
    EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
    EXPECT_EQ(Create(2, 2, 256), ASE_OK);
}

TEST_F(Buffers, SecondCreateBuffersIsRefused)
{
    Open();
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    Sim().ClearLog();
    EXPECT_EQ(Create(2, 2, 256), ASE_InvalidMode);
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(Sim().IsMapped(1));
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(Create(2, 2, 128), ASE_OK);
    EXPECT_NE(infos[0].buffers[0], nullptr);
}

// Channel numbers the device does not have get no buffers, and the call still succeeds.
TEST_F(Buffers, ChannelBeyondTheDeviceGetsNullBuffers)
{
    Open();
    ASIOBufferInfo entries[4] = {
        {ASIOTrue, 0, {}}, {ASIOTrue, 5, {}}, {ASIOFalse, -1, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(driver->createBuffers(entries, 4, 256, host.Callbacks()), ASE_OK);
    EXPECT_NE(entries[0].buffers[0], nullptr);
    EXPECT_EQ(entries[1].buffers[0], nullptr);
    EXPECT_EQ(entries[1].buffers[1], nullptr);
    EXPECT_EQ(entries[2].buffers[0], nullptr);
    EXPECT_EQ(entries[2].buffers[1], nullptr);
    EXPECT_EQ(static_cast<BYTE*>(entries[3].buffers[0]) - static_cast<BYTE*>(entries[0].buffers[0]), 6 * 1024);

    ASIOChannelInfo channel = {};
    channel.channel = 1;
    channel.isInput = ASIOFalse;
    ASSERT_EQ(driver->getChannelInfo(&channel), ASE_OK);
    EXPECT_EQ(channel.isActive, ASIOTrue);
    channel = {};
    channel.channel = 0;
    channel.isInput = ASIOFalse;
    ASSERT_EQ(driver->getChannelInfo(&channel), ASE_OK);
    EXPECT_EQ(channel.isActive, ASIOFalse);
}

// disposeBuffers stops, then takes the block back from the kernel driver before freeing it.
TEST_F(Buffers, DisposeStopsThenReleasesTheMapping)
{
    Open();
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sim().ClearLog();
    ASSERT_TRUE(Sim().IsMapped(1));

    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    // Returned only after the kernel driver completed the mapping request.
    EXPECT_FALSE(Sim().IsMapped(1));
    EXPECT_EQ(Sim().MappedBlock(1), nullptr);
    EXPECT_FALSE(Sim().IsStreaming(1));
    EXPECT_EQ(RequestCodes(),
              (std::vector<DWORD>{IOCTL_NXKD_STOP_STREAM, IOCTL_NXKD_STOP_STREAM, IOCTL_NXKD_RELEASE_BUFFER}));
    const auto stops = Requests(IOCTL_NXKD_STOP_STREAM);
    EXPECT_EQ(As<NxStopStreamRecord>(stops[0].in).mainFlag, 0);
    EXPECT_EQ(As<NxStopStreamRecord>(stops[1].in).mainFlag, 1);
    EXPECT_TRUE(Requests(IOCTL_NXKD_RELEASE_BUFFER)[0].in.empty());

    Sim().ClearLog();
    EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
    EXPECT_EQ(driver->stop(), ASE_InvalidMode);
    EXPECT_TRUE(Requests().empty());
}

// A kernel driver that completes the mapping at once still owns the block until released.
TEST_F(Buffers, MappingCompletedAtOnceIsReleasedAllTheSame)
{
    nxsim::DeviceConfig config = ManualDevice();
    config.completeMapAtOnce = true;
    Open(config);
    ASSERT_EQ(Create(2, 2, 256), ASE_OK);
    Sim().ClearLog();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(Requests(IOCTL_NXKD_RELEASE_BUFFER).size(), 1u);
    EXPECT_FALSE(Sim().IsMapped(1));
}

// The latency level is read again at buffer creation, and a level outside 0 to 9 from
// the kernel driver is taken as the default rather than indexing past the tables.
TEST_F(Buffers, LatencyLevelFromTheKernelIsSanitised)
{
    struct Case {
        LONG level;
        LONG leadFrames;  // at 48000 Hz and 256 frames
    };
    const Case cases[] = {{5, 179}, {9, 0}, {-3, 179}, {10, 179}, {0x7FFFFFFF, 179}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        Sim().Reset();
        nxsim::DeviceConfig config = ManualDevice();
        config.latencyLevel = c.level;
        Open(config);
        ASSERT_EQ(Create(2, 2, 256), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        TransferBlockHeader* header = Header();
        ASSERT_NE(header, nullptr);
        // Level 9's lead at 256 frames (c = 480): 2 x 480 + 2 - 256 = 706 frames.
        const LONG lead = c.level == 9 ? 706 : c.leadFrames;
        EXPECT_EQ(Word(header, &TransferBlockHeader::outWriteOffset), lead * 4 + 1024);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        driver->Release();
        driver = nullptr;
    }
}

}  // namespace
