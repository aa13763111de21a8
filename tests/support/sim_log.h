// Readers of the simulator's request log and a bounded wait, shared by the driver suites.
#pragma once

#include "nxkd_sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

inline nxsim::Simulator& Sim()
{
    return nxsim::Simulator::Instance();
}

// Polls a condition until the deadline: the worker thread acts on its own.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::vector<nxsim::LogEntry> Requests()
{
    std::vector<nxsim::LogEntry> requests;
    for (const nxsim::LogEntry& entry : Sim().Log()) {
        if (entry.kind == nxsim::LogEntry::Request)
            requests.push_back(entry);
    }
    return requests;
}

inline std::vector<nxsim::LogEntry> Requests(DWORD code)
{
    std::vector<nxsim::LogEntry> matching;
    for (const nxsim::LogEntry& entry : Requests()) {
        if (entry.code == code)
            matching.push_back(entry);
    }
    return matching;
}

inline std::vector<DWORD> RequestCodes()
{
    std::vector<DWORD> codes;
    for (const nxsim::LogEntry& entry : Requests())
        codes.push_back(entry.code);
    return codes;
}

// Little-endian words as the records carry them.
inline std::vector<BYTE> Words(std::initializer_list<LONG> words)
{
    std::vector<BYTE> bytes;
    for (LONG word : words) {
        const DWORD value = static_cast<DWORD>(word);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<BYTE>(value >> shift));
    }
    return bytes;
}

// A logged record read back into its structure; the length must match.
template <typename Record> Record As(const std::vector<BYTE>& bytes)
{
    Record record;
    std::memset(&record, 0, sizeof(record));
    EXPECT_EQ(bytes.size(), sizeof(Record));
    std::memcpy(&record, bytes.data(), bytes.size() < sizeof(Record) ? bytes.size() : sizeof(Record));
    return record;
}
