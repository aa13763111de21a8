// The host's side of streaming: fills every output with the known signal and checks
// every captured sample, the sample position and the time stamp at each buffer switch.
// OnBufferSwitch runs on the driver's worker thread (and once on the thread calling
// start): it allocates nothing, takes no lock and prints nothing; the main thread reads
// the counters through Snapshot.
#pragma once

#include "asio.h"
#include "test_signal.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace asiohost {

struct ChannelBuffer {
    ASIOSampleType type = 0;
    SampleFormat format;
    unsigned char* half[2] = {nullptr, nullptr};
};

// Everything a buffer switch needs to know, fixed before start.
struct StreamLayout {
    IASIO* driver = nullptr;
    LONG bufferSize = 0;
    std::vector<ChannelBuffer> inputs;
    std::vector<ChannelBuffer> outputs;
    int checkedChannels = 0;  // inputs 0..n-1 are compared with outputs 0..n-1
    int bits = 0;             // signal width of the checked channels
    bool postOutput = false;  // the driver takes outputReady after the outputs are filled
    double periodNs = 0;      // one buffer's duration at the stream's sampling frequency
    std::int64_t corruptFrame = -1;  // self-test: output 0 plays a wrong sample at this frame
    std::int64_t stallFrame = -1;    // self-test: the host call for this frame's period overruns
    double stallMs = 0;              // by this long (a busy wait), as an overloaded host would
};

// First sample that did not match; frame counts captured frames since start.
struct Mismatch {
    int channel = -1;
    std::int64_t frame = -1;
    std::uint32_t expected = 0;
    std::uint32_t got = 0;
};

struct StreamStats {
    std::uint64_t bufferSwitches = 0;   // host calls
    std::uint64_t samplePosition = 0;   // last position seen, in frames
    std::uint64_t timeStampNs = 0;      // last time stamp seen
    std::uint64_t missedPeriods = 0;    // periods the driver switched without calling the host
    std::uint64_t missEvents = 0;       // runs of missed periods (one per jump of the position)
    std::uint64_t firstMissAt = 0;      // sample position of the first switch after a miss (0: none)
    std::uint64_t positionErrors = 0;   // getSamplePosition failed inside the switch
    std::uint64_t positionBackwards = 0;
    std::uint64_t positionIrregular = 0;  // steps that are not a whole number of buffers
    std::uint64_t timeStampBackwards = 0;
    std::uint64_t halfIndexErrors = 0;  // index not matching the position's period
    std::uint64_t indirectCalls = 0;    // directProcess was ASIOFalse
    std::int64_t loopbackDelay = -1;    // frames from playing a frame to capturing it; -1: not seen
    std::int64_t finalDelay = -1;       // the delay at the end (differs after a lasting slip)
    std::int64_t firstFrameSeen = -1;   // the played frame that came back first
    std::uint64_t delayChanges = 0;     // buffers that came back at another delay (replayed or skipped audio)
    std::uint64_t samplesVerified = 0;
    std::uint64_t sampleMismatches = 0;     // wrong samples outside the frames of missed periods
    std::uint64_t dropoutSamples = 0;       // samples of missed or late periods that came back wrong
    std::uint64_t lateSwitches = 0;         // host calls a period or more behind the device's schedule
    std::uint64_t lateDropouts = 0;         // late host calls whose output came back wrong
    std::int64_t lostAtStart = 0;           // played frames before the first one back, not explained by misses
    std::uint64_t mismatchedPeriods = 0;    // buffer switches whose input held a mismatch
    std::uint64_t nonZeroBeforeSignal = 0;  // captured noise before the signal arrived
    Mismatch firstMismatch;
};

class StreamChecker {
public:
    // Main thread, while no buffer switch can run (before start).
    void Prepare(const StreamLayout* layout);
    // Checks are paused while the host changes the sampling frequency under a running stream.
    void SetChecking(bool on) { checking.store(on, std::memory_order_relaxed); }
    StreamStats Snapshot() const;

    void OnBufferSwitch(LONG index, ASIOBool directProcess);

private:
    void FillOutputs(const StreamLayout& l, LONG index, std::uint64_t firstFrame);
    void CheckInputs(const StreamLayout& l, LONG index, std::uint64_t firstFrame);
    void NoteDropout(std::uint64_t begin, std::uint64_t end, bool late);
    bool Dropped(std::int64_t frame);
    void CheckTiming(const StreamLayout& l, std::uint64_t position, std::uint64_t firstFrame);
    std::int64_t DroppedIn(std::int64_t begin, std::int64_t end) const;
    static bool MatchesAt(const StreamLayout& l, LONG index, std::uint64_t firstFrame, std::int64_t delay);
    // The one delay at which the whole buffer of input 0 carries the signal, or -1.
    static std::int64_t ConsistentDelay(const StreamLayout& l, LONG index, std::uint64_t firstFrame);
    void NoteMismatch(int channel, std::int64_t frame, std::uint32_t expected, std::uint32_t got);

    std::atomic<const StreamLayout*> layout{nullptr};
    std::atomic<bool> checking{true};

    std::atomic<std::uint64_t> bufferSwitches{0}, samplePosition{0}, timeStampNs{0}, missedPeriods{0},
        positionErrors{0}, positionBackwards{0}, positionIrregular{0}, timeStampBackwards{0},
        halfIndexErrors{0}, indirectCalls{0}, samplesVerified{0}, sampleMismatches{0}, mismatchedPeriods{0},
        nonZeroBeforeSignal{0}, firstMissAt{0}, delayChanges{0}, dropoutSamples{0}, lateSwitches{0},
        lateDropouts{0}, missEvents{0};
    std::atomic<std::int64_t> lostAtStart{0};
    // Played frames [begin, end) that may not have reached the device as the host wrote them:
    // those of missed periods (never written by the host) and those of late host calls
    // (written after the device may have read them). A wrong sample there is a dropout, not
    // corruption. Touched only inside buffer switches (which the driver serialises) and by Prepare.
    static constexpr int kDropouts = 64;
    std::uint64_t dropoutBegin[kDropouts] = {};
    std::uint64_t dropoutEnd[kDropouts] = {};
    bool dropoutLate[kDropouts] = {};
    bool dropoutSeen[kDropouts] = {};
    int dropoutNext = 0;
    // The device's schedule as the host sees it: the earliest (call time - period index x
    // period) so far, in steady-clock nanoseconds; only the buffer switch touches it.
    double scheduleAnchorNs = 0;
    bool haveAnchor = false;
    std::atomic<std::int64_t> loopbackDelay{-1}, initialDelay{-1}, firstFrameSeen{-1};
    // The first mismatch: claimed once by the switch, published with mismatchReady.
    std::atomic<bool> mismatchClaimed{false}, mismatchReady{false};
    Mismatch mismatch;
};

}  // namespace asiohost
