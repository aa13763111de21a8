// Shared by the buffer and streaming suites: a driver on one simulated device (manual
// clock unless a test says otherwise), buffer creation, the transfer header the kernel
// side sees, and readers of the request log.
#pragma once

#include "asio.h"
#include "driver_host.h"
#include "nxkd_sim.h"
#include "sim_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace stream_support {

inline nxsim::DeviceConfig ManualDevice()
{
    nxsim::DeviceConfig config;
    config.clock = nxsim::Clock::Manual;
    return config;
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { Sim().Reset(); }

    void TearDown() override
    {
        if (driver != nullptr)
            driver->Release();
        driver = nullptr;
    }

    void Open(const nxsim::DeviceConfig& config = ManualDevice())
    {
        Sim().AddDevice(1, config);
        driver = library.CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }

    // Entries for inputs 0..ins-1, then outputs 0..outs-1.
    ASIOError Create(int ins, int outs, LONG size)
    {
        infos.clear();
        for (int i = 0; i < ins; ++i)
            infos.push_back(ASIOBufferInfo{ASIOTrue, i, {nullptr, nullptr}});
        for (int j = 0; j < outs; ++j)
            infos.push_back(ASIOBufferInfo{ASIOFalse, j, {nullptr, nullptr}});
        return driver->createBuffers(infos.data(), static_cast<LONG>(infos.size()), size, host.Callbacks());
    }

    BYTE* Half(int entry, int half) { return static_cast<BYTE*>(infos[entry].buffers[half]); }

    TransferBlockHeader* Header(DWORD* length = nullptr)
    {
        return reinterpret_cast<TransferBlockHeader*>(Sim().MappedBlock(1, length));
    }

    static LONG Word(TransferBlockHeader* header, LONG TransferBlockHeader::*word)
    {
        return LoadShared(&(header->*word));
    }

    std::uint64_t Position()
    {
        ASIOSamples samples = {0, 0};
        ASIOTimeStamp stamp = {0, 0};
        EXPECT_EQ(driver->getSamplePosition(&samples, &stamp), ASE_OK);
        return (static_cast<std::uint64_t>(samples.hi) << 32) | samples.lo;
    }

    std::uint64_t StampNs()
    {
        ASIOSamples samples = {0, 0};
        ASIOTimeStamp stamp = {0, 0};
        EXPECT_EQ(driver->getSamplePosition(&samples, &stamp), ASE_OK);
        return (static_cast<std::uint64_t>(stamp.hi) << 32) | stamp.lo;
    }

    // Bytes written to the playback rings since start, as the header counts them.
    std::uint64_t OutputWritten(TransferBlockHeader* header)
    {
        const std::uint64_t ring = static_cast<std::uint64_t>(Word(header, &TransferBlockHeader::outRingSize));
        return static_cast<std::uint64_t>(Word(header, &TransferBlockHeader::outWrapCount)) * ring +
               static_cast<std::uint64_t>(Word(header, &TransferBlockHeader::outWriteOffset));
    }

    // Completes `periods` periods with one signal, then waits until the handler has made
    // every switch (the sample position moves at each) and written their output (the
    // last store of a switch: the host's halves and the rings are quiet afterwards).
    void Periods(int periods, LONG size)
    {
        const std::uint64_t target = Position() + static_cast<std::uint64_t>(periods) * size;
        TransferBlockHeader* header = Header();
        ASSERT_NE(header, nullptr);
        const std::uint64_t periodBytes = static_cast<std::uint64_t>(Word(header, &TransferBlockHeader::outRingSize)) / 64;
        const std::uint64_t written = OutputWritten(header) + static_cast<std::uint64_t>(periods) * periodBytes;
        Sim().Advance(1, periods);
        ASSERT_TRUE(Sim().WaitCaughtUp(1, 5000));
        ASSERT_TRUE(WaitFor([&] { return Position() == target; })) << Position() << " != " << target;
        ASSERT_TRUE(WaitFor([&] { return OutputWritten(header) == written; }));
    }

    DriverLibrary library;
    TestHost host;
    IASIO* driver = nullptr;
    std::vector<ASIOBufferInfo> infos;
};

}  // namespace stream_support
