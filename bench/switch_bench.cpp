// Benchmarks of the driver's streaming path: the driver library is loaded as a host loads
// it (dlopen + DllGetClassObject) and streams against the simulated device.
//
//   BM_Switch            (a) cost of one buffer switch, from the period handler's catch-up
//                            slope, against a plain memcpy of the same bytes; the thread
//                            hand-off (signal to worker, scan, position request) apart
//   BM_SignalToSwitch    (b) time from the simulator's period signal to the entry of the
//                            host's bufferSwitch, real-time clock, 48000 Hz, 32 frames
//   BM_MissedUnderLoad   (c) periods the host did not see in a real-time run while a
//                            busy-loop thread keeps the other core loaded
//   BM_EventWake             the platform's event hand-off alone, the floor under (b)
//
// Extra flags (taken out before Google Benchmark sees the command line):
//   --latency_periods=N   periods measured by (b), default 100000
//   --missed_seconds=S    length of (c), default 60
#include "asio.h"
#include "nxkd_sim.h"
#include "precise_time.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

// {6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}, as a host knows it.
const CLSID CLSID_Brixen = {0x6B3E91C4, 0x52D7, 0x4A0F, {0x9E, 0x21, 0xC5, 0xA8, 0xD0, 0x4F, 0x7B, 0x36}};

namespace {

std::uint64_t latencyPeriods = 100000;
std::uint64_t missedSeconds = 60;

nxsim::Simulator& Sim()
{
    return nxsim::Simulator::Instance();
}

// ---------------------------------------------------------------------------
// The host side.

std::atomic<std::uint64_t> hostCalls{0};
// CPU time of the calling (worker) thread at the latest bufferSwitch, for (a).
std::atomic<std::uint64_t> lastSwitchCpuNs{0};

std::uint64_t ThreadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}
// Latency recording for (b): preallocated, so the callback allocates nothing.
std::vector<std::uint64_t> latencies;
std::atomic<std::size_t> latencyCount{0};
std::atomic<bool> recordLatency{false};
std::uint64_t lastSignalCount = 0;   // touched by the callback only
std::uint64_t irregularSignals = 0;  // callbacks whose signal count did not move by one

void BufferSwitch(LONG, ASIOBool)
{
    if (recordLatency.load(std::memory_order_relaxed)) {
        const std::uint64_t now = PreciseNowNs();
        std::uint64_t signals = 0;
        const std::uint64_t signalNs = Sim().LastSignalNs(1, &signals);
        if (signals != lastSignalCount + 1)
            ++irregularSignals;
        lastSignalCount = signals;
        const std::size_t i = latencyCount.load(std::memory_order_relaxed);
        if (i < latencies.size()) {
            latencies[i] = now - signalNs;
            latencyCount.store(i + 1, std::memory_order_release);
        }
    }
    lastSwitchCpuNs.store(ThreadCpuNs(), std::memory_order_relaxed);
    hostCalls.fetch_add(1, std::memory_order_release);
}

LONG AsioMessage(LONG, LONG, void*, double*)
{
    return 0;
}

class DriverModule {
public:
    DriverModule() : module(dlopen(NX_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL))
    {
        if (module == nullptr)
            std::fprintf(stderr, "cannot load %s: %s\n", NX_DRIVER_PATH, dlerror());
    }
    ~DriverModule()
    {
        if (module != nullptr)
            dlclose(module);
    }

    IASIO* Create()
    {
        if (module == nullptr)
            return nullptr;
        auto getClassObject =
            reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(dlsym(module, "DllGetClassObject"));
        IClassFactory* factory = nullptr;
        if (getClassObject == nullptr ||
            getClassObject(CLSID_Brixen, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
            return nullptr;
        IASIO* driver = nullptr;
        const HRESULT hr = factory->CreateInstance(nullptr, CLSID_Brixen, reinterpret_cast<void**>(&driver));
        factory->Release();
        return hr == S_OK ? driver : nullptr;
    }

private:
    void* module;
};

DriverModule& Module()
{
    static DriverModule module;
    return module;
}

// One driver object with buffers on simulated device 1, started.
class Session {
public:
    bool Begin(int ins, int outs, LONG frames, nxsim::Clock clock)
    {
        Sim().Reset();
        nxsim::DeviceConfig config;
        config.inputs = ins;
        config.outputs = outs;
        config.bytesPerSample = 4;
        config.sampleRate = 48000;
        config.bufferSize = {32, 2048, 256, 32};
        config.clock = clock;
        Sim().AddDevice(1, config);
        driver = Module().Create();
        if (driver == nullptr || driver->init(nullptr) != ASIOTrue)
            return false;
        callbacks = {};
        callbacks.bufferSwitch = &BufferSwitch;
        callbacks.asioMessage = &AsioMessage;
        infos.clear();
        for (int i = 0; i < ins; ++i)
            infos.push_back(ASIOBufferInfo{ASIOTrue, i, {nullptr, nullptr}});
        for (int j = 0; j < outs; ++j)
            infos.push_back(ASIOBufferInfo{ASIOFalse, j, {nullptr, nullptr}});
        if (driver->createBuffers(infos.data(), static_cast<LONG>(infos.size()), frames, &callbacks) != ASE_OK)
            return false;
        header = reinterpret_cast<TransferBlockHeader*>(Sim().MappedBlock(1));
        hostCalls = 0;
        return header != nullptr;
    }

    // With `fifoClock`, the threads that start creates (the simulator's real-time clock)
    // are raised to SCHED_FIFO 20: they stand in for the kernel driver's hardware-timed
    // period, above the driver's time-critical worker thread.
    bool Start(bool fifoClock, bool* raised = nullptr)
    {
        const std::vector<long> before = Threads();
        const bool started = driver->start() == ASE_OK;
        bool any = false;
        if (fifoClock) {
            for (long tid : Threads()) {
                if (std::find(before.begin(), before.end(), tid) != before.end())
                    continue;
                sched_param param{};
                param.sched_priority = 20;
                any |= sched_setscheduler(static_cast<pid_t>(tid), SCHED_FIFO, &param) == 0;
            }
        }
        if (raised != nullptr)
            *raised = any;
        return started;
    }

    void End()
    {
        if (driver != nullptr) {
            driver->disposeBuffers();
            driver->Release();
        }
        driver = nullptr;
        header = nullptr;
    }

    ~Session() { End(); }

    // Bytes written to each playback ring since start; moves last in every switch.
    std::uint64_t OutputWritten() const
    {
        const std::uint64_t ring = static_cast<std::uint64_t>(LoadShared(&header->outRingSize));
        return static_cast<std::uint64_t>(LoadShared(&header->outWrapCount)) * ring +
               static_cast<std::uint64_t>(LoadShared(&header->outWriteOffset));
    }

    // Frames switched since start (the host's calls and the silent catch-up switches).
    std::uint64_t Switched() const
    {
        ASIOSamples samples = {};
        ASIOTimeStamp stamp = {};
        driver->getSamplePosition(&samples, &stamp);
        return (static_cast<std::uint64_t>(samples.hi) << 32) | samples.lo;
    }

    IASIO* driver = nullptr;
    TransferBlockHeader* header = nullptr;

private:
    static std::vector<long> Threads()
    {
        std::vector<long> tids;
        if (DIR* tasks = opendir("/proc/self/task")) {
            while (dirent* entry = readdir(tasks)) {
                if (entry->d_name[0] != '.')
                    tids.push_back(std::strtol(entry->d_name, nullptr, 10));
            }
            closedir(tasks);
        }
        return tids;
    }

    ASIOCallbacks callbacks = {};
    std::vector<ASIOBufferInfo> infos;
};

// ---------------------------------------------------------------------------
// (a) One buffer switch.

// Completes `periods` periods on the manual clock (the simulator's own copying happens
// before its signal) and returns the nanoseconds from the signal until the driver has
// written the last switch's output.
std::uint64_t HandlerRun(Session& session, int periods, std::uint64_t periodBytes)
{
    const std::uint64_t target = session.OutputWritten() + static_cast<std::uint64_t>(periods) * periodBytes;
    Sim().Advance(1, periods);
    const std::uint64_t signalNs = Sim().LastSignalNs(1);
    while (session.OutputWritten() != target) {
    }
    return PreciseNowNs() - signalNs;
}

// CPU nanoseconds of one memcpy of `bytes`, hot buffers.
double MemcpyNs(std::size_t bytes)
{
    std::vector<BYTE> source(bytes, 0x5A);
    std::vector<BYTE> destination(bytes);
    std::uint64_t reps = 0;
    const std::uint64_t begin = ThreadCpuNs();
    std::uint64_t now = begin;
    // The CPU clock is a system call: read it once per 256 copies.
    while (now - begin < 50000000) {
        for (int i = 0; i < 256; ++i) {
            std::memcpy(destination.data(), source.data(), bytes);
            benchmark::ClobberMemory();
        }
        reps += 256;
        now = ThreadCpuNs();
    }
    return static_cast<double>(now - begin) / static_cast<double>(reps);
}

// CPU nanoseconds for the same bytes copied as the driver moves them: one period per channel,
// stepping through rings of 64 periods (the working set of the transfer block).
double RingMemcpyNs(int channels, std::size_t periodBytes)
{
    const std::size_t ring = periodBytes * 64;
    std::vector<BYTE> rings(ring * static_cast<std::size_t>(channels), 0x5A);
    std::vector<BYTE> halves(periodBytes * 2 * static_cast<std::size_t>(channels));
    std::uint64_t reps = 0;
    std::size_t offset = 0;
    const std::uint64_t begin = ThreadCpuNs();
    std::uint64_t now = begin;
    while (now - begin < 50000000) {
        for (int i = 0; i < 256; ++i) {
            for (int c = 0; c < channels; ++c)
                std::memcpy(&halves[periodBytes * 2 * c], &rings[ring * c + offset], periodBytes);
            benchmark::ClobberMemory();
            offset = (offset + periodBytes) % ring;
        }
        reps += 256;
        now = ThreadCpuNs();
    }
    return static_cast<double>(now - begin) / static_cast<double>(reps);
}

double Percentile(std::vector<std::uint64_t>& values, double fraction)
{
    const std::size_t index =
        std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return static_cast<double>(values[index]);
}

// One buffer switch, measured two ways on the manual clock (the simulator's own copying
// is done before its signal and is not counted):
//   switch_ns      CPU time of the worker thread per switch: the worker's CPU clock is
//                  read in the host's (otherwise empty) bufferSwitch at the end of each
//                  handler run; a run of 61 pending periods costs 30 switches more than
//                  a run of 31 (same requests and scans), so the difference / 30 is one
//                  switch: copy in, the host call, copy out, the position bookkeeping.
//                  Preemption by other processes does not count in CPU time.
//   period_run_ns  wall time from the signal of one period until its output is written:
//                  the whole handler run with the thread hand-off.
//   handoff_ns     period_run_ns - switch_ns: waking the worker, the scan and the
//                  position request.
//   period_cpu_ns  CPU time of the worker thread for one single-period handler run
//                  (wait bookkeeping, scan, position request through the simulator,
//                  one switch): what the hand-off costs apart from waiting for a CPU.
void BM_Switch(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    const LONG frames = static_cast<LONG>(state.range(1));
    const std::uint64_t periodBytes = static_cast<std::uint64_t>(frames) * 4;
    constexpr int kShortBatch = 31;
    constexpr int kLongBatch = 61;
    Session session;
    if (!session.Begin(channels, channels, frames, nxsim::Clock::Manual) || !session.Start(false)) {
        state.SkipWithError("driver setup failed");
        return;
    }
    std::vector<std::uint64_t> singles;
    std::vector<std::uint64_t> switches;
    std::vector<std::uint64_t> periodCpu;
    HandlerRun(session, 1, periodBytes);  // warm the rings and caches
    for (auto _ : state) {
        const std::uint64_t cpuBefore = lastSwitchCpuNs.load();
        singles.push_back(HandlerRun(session, 1, periodBytes));
        const std::uint64_t cpu0 = lastSwitchCpuNs.load();
        periodCpu.push_back(cpu0 - cpuBefore);
        HandlerRun(session, kShortBatch, periodBytes);
        const std::uint64_t cpu1 = lastSwitchCpuNs.load();
        HandlerRun(session, kLongBatch, periodBytes);
        const std::uint64_t cpu2 = lastSwitchCpuNs.load();
        const std::uint64_t shortRun = cpu1 - cpu0;
        const std::uint64_t longRun = cpu2 - cpu1;
        const std::uint64_t perSwitch =
            longRun > shortRun ? (longRun - shortRun) / (kLongBatch - kShortBatch) : 0;
        switches.push_back(perSwitch);
        state.SetIterationTime(static_cast<double>(perSwitch) / 1e9);
    }
    session.End();

    // Medians: a preempted thread shows up as an outlier, not as a shift of the typical run.
    const double singleNs = Percentile(singles, 0.5);
    const double switchNs = Percentile(switches, 0.5);
    const std::size_t bytes = static_cast<std::size_t>(periodBytes) * static_cast<std::size_t>(2 * channels);
    const double memcpyNs = MemcpyNs(bytes);
    const double ringNs = RingMemcpyNs(2 * channels, static_cast<std::size_t>(periodBytes));
    state.counters["switch_ns"] = switchNs;
    state.counters["period_run_ns"] = singleNs;
    state.counters["handoff_ns"] = singleNs - switchNs;
    state.counters["period_cpu_ns"] = Percentile(periodCpu, 0.5);
    state.counters["memcpy_ns"] = memcpyNs;
    state.counters["ratio"] = switchNs / memcpyNs;
    state.counters["ring_memcpy_ns"] = ringNs;
    state.counters["ratio_ring"] = switchNs / ringNs;
    state.counters["bytes"] = static_cast<double>(bytes);
}

// ---------------------------------------------------------------------------
// (b) and (c) on the real-time clock.

struct RunResult {
    std::uint64_t periods = 0;   // switches since start, the one inside start excluded
    std::uint64_t hosted = 0;    // host calls, the one inside start excluded
    double seconds = 0;
    bool fifoClock = false;
};

// Streams 2 in / 2 out at 32 frames until `periods` periods have passed or `seconds`.
// With `fifoClock` the simulator's clock thread, which stands in for the kernel driver's
// hardware-timed period, runs with real-time priority (SCHED_FIFO 20, above the driver's
// time-critical worker thread); otherwise it is an ordinary thread.
bool RealTimeRun(std::uint64_t periods, double seconds, bool fifoClock, RunResult* result)
{
    constexpr LONG kFrames = 32;
    Session session;
    if (!session.Begin(2, 2, kFrames, nxsim::Clock::Realtime) || !session.Start(fifoClock, &result->fifoClock))
        return false;
    const std::uint64_t begin = PreciseNowNs();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double elapsed = static_cast<double>(PreciseNowNs() - begin) / 1e9;
        if ((periods != 0 && hostCalls.load() > periods) || (seconds > 0 && elapsed >= seconds))
            break;
    }
    // stop waits for a running handler, so both counters are final afterwards.
    session.driver->stop();
    result->seconds = static_cast<double>(PreciseNowNs() - begin) / 1e9;
    result->periods = session.Switched() / kFrames - 1;
    result->hosted = hostCalls.load() - 1;
    session.End();
    return true;
}

void BM_SignalToSwitch(benchmark::State& state)
{
    for (auto _ : state) {
        latencies.assign(latencyPeriods + 1000, 0);
        latencyCount = 0;
        lastSignalCount = 0;
        irregularSignals = 0;
        recordLatency = true;
        RunResult run;
        const bool ok = RealTimeRun(latencyPeriods, 0, state.range(0) != 0, &run);
        recordLatency = false;
        if (!ok) {
            state.SkipWithError("driver setup failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        // The first entry is the switch inside start, which answers no signal.
        std::vector<std::uint64_t> measured(latencies.begin() + 1, latencies.begin() + latencyCount.load());
        if (measured.empty()) {
            state.SkipWithError("no periods");
            return;
        }
        state.counters["periods"] = static_cast<double>(measured.size());
        state.counters["median_us"] = Percentile(measured, 0.5) / 1000;
        state.counters["p99_us"] = Percentile(measured, 0.99) / 1000;
        state.counters["max_us"] = static_cast<double>(*std::max_element(measured.begin(), measured.end())) / 1000;
        state.counters["missed"] = static_cast<double>(run.periods - run.hosted);
        state.counters["irregular"] = static_cast<double>(irregularSignals);
        state.counters["fifo_clock"] = run.fifoClock ? 1 : 0;
    }
}

void BM_MissedUnderLoad(benchmark::State& state)
{
    for (auto _ : state) {
        std::atomic<bool> busy{true};
        std::thread load([&] {
            std::uint64_t spin = 0;
            while (busy.load(std::memory_order_relaxed))
                benchmark::DoNotOptimize(++spin);
        });
        RunResult run;
        const bool ok = RealTimeRun(0, static_cast<double>(missedSeconds), state.range(0) != 0, &run);
        busy = false;
        load.join();
        if (!ok) {
            state.SkipWithError("driver setup failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        state.counters["periods"] = static_cast<double>(run.periods);
        state.counters["hosted"] = static_cast<double>(run.hosted);
        state.counters["missed"] = static_cast<double>(run.periods - run.hosted);
        state.counters["fifo_clock"] = run.fifoClock ? 1 : 0;
    }
}

// The platform's own hand-off, the floor under (b): SetEvent on an auto-reset event until
// a time-critical thread returns from WaitForSingleObject on it (the way the simulator
// wakes the driver's worker thread). The waiter is asleep at each signal.
struct WakeProbe {
    HANDLE event = nullptr;
    std::atomic<bool> quit{false};
    std::atomic<std::uint64_t> wakes{0};
    std::atomic<std::uint64_t> wokeNs{0};
};

DWORD WINAPI WakeWaiter(LPVOID parameter)
{
    WakeProbe* probe = static_cast<WakeProbe*>(parameter);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    for (;;) {
        WaitForSingleObject(probe->event, INFINITE);
        if (probe->quit.load())
            return 0;
        probe->wokeNs.store(PreciseNowNs());
        probe->wakes.fetch_add(1);
    }
}

void BM_EventWake(benchmark::State& state)
{
    WakeProbe probe;
    probe.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WakeWaiter, &probe, 0, nullptr);
    std::vector<std::uint64_t> samples;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const std::uint64_t before = probe.wakes.load();
        const std::uint64_t setNs = PreciseNowNs();
        SetEvent(probe.event);
        while (probe.wakes.load() == before) {
        }
        const std::uint64_t latency = probe.wokeNs.load() - setNs;
        samples.push_back(latency);
        state.SetIterationTime(static_cast<double>(latency) / 1e9);
    }
    probe.quit = true;
    SetEvent(probe.event);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(probe.event);
    state.counters["median_us"] = Percentile(samples, 0.5) / 1000;
    state.counters["p99_us"] = Percentile(samples, 0.99) / 1000;
    state.counters["max_us"] = static_cast<double>(*std::max_element(samples.begin(), samples.end())) / 1000;
}

BENCHMARK(BM_Switch)
    ->ArgNames({"channels", "frames"})
    ->Args({2, 32})
    ->Args({2, 256})
    ->Args({2, 2048})
    ->Args({32, 32})
    ->Args({32, 256})
    ->Args({32, 2048})
    ->Iterations(1000)
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_EventWake)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignalToSwitch)->ArgName("fifo_clock")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MissedUnderLoad)->ArgName("fifo_clock")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Takes "--name=value" out of argv when it is one of ours.
bool TakeFlag(const char* argument, const char* name, std::uint64_t* value)
{
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=')
        return false;
    *value = std::strtoull(argument + length + 1, nullptr, 10);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && (TakeFlag(argv[i], "--latency_periods", &latencyPeriods) ||
                      TakeFlag(argv[i], "--missed_seconds", &missedSeconds)))
            continue;
        rest.push_back(argv[i]);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
