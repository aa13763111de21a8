// Helpers shared by the driver life-cycle tests (COM server, device discovery, removal):
// a fixture that loads the library on a reset simulator, and readers of the request log.
#pragma once

#include "asio.h"
#include "driver_host.h"
#include "nxkd_sim.h"
#include "sim_log.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace driver_life {

// A device that answers everything, on the manual clock so nothing runs on its own.
inline nxsim::DeviceConfig QuietDevice()
{
    nxsim::DeviceConfig config;
    config.clock = nxsim::Clock::Manual;
    return config;
}

// The log without failed opens (absent device numbers), as a compact list.
inline std::vector<nxsim::LogEntry> Entries()
{
    std::vector<nxsim::LogEntry> result;
    for (const nxsim::LogEntry& entry : Sim().Log()) {
        if (entry.kind == nxsim::LogEntry::Open && !entry.ok)
            continue;
        result.push_back(entry);
    }
    return result;
}

// "open 1", "close 1", "req 1 0x222044": a readable form of one log entry.
inline std::string Describe(const nxsim::LogEntry& entry)
{
    char text[64];
    if (entry.kind == nxsim::LogEntry::Request)
        std::snprintf(text, sizeof(text), "req %d 0x%X", entry.device, static_cast<unsigned>(entry.code));
    else
        std::snprintf(text, sizeof(text), "%s %d", entry.kind == nxsim::LogEntry::Open ? "open" : "close",
                      entry.device);
    return text;
}

inline std::vector<std::string> Describe(const std::vector<nxsim::LogEntry>& entries)
{
    std::vector<std::string> result;
    for (const nxsim::LogEntry& entry : entries)
        result.push_back(Describe(entry));
    return result;
}

inline std::string Req(int device, DWORD code)
{
    nxsim::LogEntry entry{};
    entry.kind = nxsim::LogEntry::Request;
    entry.device = device;
    entry.code = code;
    return Describe(entry);
}

inline std::string OpenOf(int device)
{
    return "open " + std::to_string(device);
}

inline std::string CloseOf(int device)
{
    return "close " + std::to_string(device);
}

// Loads the library on a reset simulator and remembers the platform's handle and thread
// counts, so tests can check that a released driver object leaves nothing behind.
class DriverLifeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sim().Reset();
        handlesBefore = platform_test::LiveHandleCount();
        threadsBefore = platform_test::LiveThreadCount();
    }

    // Every handle, event and thread of released objects is gone.
    void ExpectNothingLeft()
    {
        EXPECT_TRUE(WaitFor([&] { return platform_test::LiveThreadCount() == threadsBefore; }));
        EXPECT_EQ(platform_test::LiveHandleCount(), handlesBefore);
        for (int number = 1; number <= 4; ++number)
            EXPECT_EQ(Sim().OpenHandles(number), 0) << "device " << number;
        EXPECT_EQ(library.CanUnloadNow(), S_OK);
    }

    DriverLibrary library;
    int handlesBefore = 0;
    int threadsBefore = 0;
};

}  // namespace driver_life
