// Small helpers shared by the query, reset and control suites: the simulator's request
// log, host call transcripts and bounded waits.
#pragma once

#include "driver_host.h"
#include "nxkd_sim.h"
#include "sim_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace queries_helpers {

// "message(1,3) switch(0,1)": what the host was called with, in order.
inline std::string Transcript(const std::vector<HostCall>& calls)
{
    std::string text;
    for (const HostCall& call : calls) {
        if (!text.empty())
            text += ' ';
        text += call.kind == HostCall::AsioMessage ? "message(" : "switch(";
        text += std::to_string(call.a) + "," + std::to_string(call.b) + ")";
    }
    return text;
}

// What a host sees when it is asked to reset: the support query, then the request itself.
constexpr const char* kResetRequestCalls = "message(1,3) message(3,0)";

// Raises kernel notification flags and returns once the worker thread has finished handling
// them: a second, empty notification is only fetched after the first one's handler returned.
inline void NotifyAndSettle(int device, DWORD flags)
{
    nxsim::Simulator& sim = nxsim::Simulator::Instance();
    const size_t before = Requests(IOCTL_NXKD_ASIO_GET_NOTIFICATION).size();
    sim.Notify(device, flags);
    ASSERT_TRUE(WaitFor([&] { return Requests(IOCTL_NXKD_ASIO_GET_NOTIFICATION).size() > before; }));
    const size_t handled = Requests(IOCTL_NXKD_ASIO_GET_NOTIFICATION).size();
    sim.Notify(device, 0);
    ASSERT_TRUE(WaitFor([&] { return Requests(IOCTL_NXKD_ASIO_GET_NOTIFICATION).size() > handled; }));
}

// Buffers for input 0 and output 0.
struct TwoBuffers {
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {nullptr, nullptr}}, {ASIOFalse, 0, {nullptr, nullptr}}};
};

inline ASIOError CreateTwoBuffers(IASIO* driver, TestHost& host, LONG size, TwoBuffers* buffers)
{
    return driver->createBuffers(buffers->infos, 2, size, host.Callbacks());
}

}  // namespace queries_helpers
