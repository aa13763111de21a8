// The simulated Nxkd2650 kernel driver: device objects answering every request from
// per-device state, the pending mapping request, and the period clock that moves the
// rings of the transfer blocks.
#include "nxkd_sim.h"
#include "precise_time.h"
#include "sim_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

namespace nxsim {

namespace {

constexpr int kDeviceCount = 8;
constexpr size_t kLogLimit = 1u << 17;  // entries kept in memory (a long real-time run drops the oldest)
// A clock thread waits for its stop event until this close to a deadline, then sleeps
// precisely to it (a stop is noticed within this margin at most).
constexpr std::uint64_t kPreciseMarginNs = 3000000;

// The rate parameter table the settings record starts with: one row per frequency,
// then a row of zeros.
const LONG kRateTable[kRateTableRows][kRateTableColumns] = {
    {32000, 90, -32, 3, 0, 23, 0},   {44100, 94, -44, 2, 0, 17, 0},  {48000, 97, -48, 2, 0, 16, 0},
    {88200, 110, -88, 1, 0, 10, 0},  {96000, 112, -96, 1, 0, 9, 0},  {176400, 139, -176, 1, 0, 6, 0},
    {192000, 145, -192, 1, 0, 6, 0}, {352800, 278, -352, 1, 0, 6, 0}, {384000, 290, -384, 1, 0, 6, 0},
    {0, 0, 0, 0, 0, 0, 0},
};

const char kPathPrefix[] = "\\\\.\\Nxkd2650";  // then "00" and the number

// The record length every request code travels with; -1 for an unknown code.
// IOCTL_NXKD_MAP_BUFFER is checked apart (12 bytes in, the transfer block out).
long RecordSize(DWORD code)
{
    switch (code) {
    case IOCTL_NXKD_GET_DEVICE_INFO: return sizeof(NxDeviceInfoRecord);
    case IOCTL_NXKD_GET_STREAM_LAYOUT: return sizeof(NxStreamLayoutRecord);
    case IOCTL_NXKD_GET_DEVICE_READY:
    case IOCTL_NXKD_GET_CLIENT_ACTIVE:
    case IOCTL_NXKD_GET_KX_RUNNING: return sizeof(NxFlagRecord);
    case IOCTL_NXKD_START_STREAM: return sizeof(NxStartStreamRecord);
    case IOCTL_NXKD_STOP_STREAM: return sizeof(NxStopStreamRecord);
    case IOCTL_NXKD_RELEASE_BUFFER: return 0;
    case IOCTL_NXKD_GET_LATENCY_INFO: return sizeof(NxLatencyRecord);
    case IOCTL_NXKD_GET_BUFFER_SIZE_INFO: return sizeof(NxBufferSizeRecord);
    case IOCTL_NXKD_GET_STREAM_POSITION: return sizeof(NxStreamPositionRecord);
    case IOCTL_NXKD_MAP_BUFFER: return sizeof(NxMapBufferRecord);
    case IOCTL_NXKD_REGISTER_EVENTS:
    case IOCTL_NXKD_UNREGISTER_EVENTS: return sizeof(NxEventRegistration);
    case IOCTL_NXKD_SET_ASIO_STATUS:
    case IOCTL_NXKD_GET_ASIO_STATUS: return sizeof(NxAsioStatusRecord);
    case IOCTL_NXKD_GET_SETTINGS:
    case IOCTL_NXKD_SET_SETTINGS: return sizeof(NxSettingsRecord);
    case IOCTL_NXKD_GET_SAMPLE_SIZE:
    case IOCTL_NXKD_GET_SAMPLE_RATE:
    case IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE:
    case IOCTL_NXKD_SET_SAMPLE_RATE:
    case IOCTL_NXKD_SET_INPUT_OPTION:
    case IOCTL_NXKD_ASIO_GET_NOTIFICATION:
    case IOCTL_NXKD_ASIO_GET_SAMPLE_RATE: return sizeof(NxValueRecord);
    case IOCTL_NXKD_QUERY_SAMPLE_RATE:
    case IOCTL_NXKD_ASIO_SET_SAMPLE_RATE:
    case IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE: return sizeof(NxRateRecord);
    case IOCTL_NXKD_GET_CLOCK_STATUS: return sizeof(NxClockStatusRecord);
    default: return -1;
    }
}

// Device number of a path "\\.\Nxkd2650001" to "\\.\Nxkd2650008"; 0 for any other path.
template <typename Char>
int DeviceNumberOfPath(const Char* path)
{
    if (path == nullptr)
        return 0;
    size_t i = 0;
    for (; kPathPrefix[i] != '\0'; ++i) {
        if (path[i] != static_cast<Char>(kPathPrefix[i]))
            return 0;
    }
    if (path[i] != '0' || path[i + 1] != '0' || path[i + 2] < '1' || path[i + 2] > '8' || path[i + 3] != 0)
        return 0;
    return static_cast<int>(path[i + 2] - '0');
}

template <typename T>
T ReadRecord(const std::vector<BYTE>& bytes)
{
    T record;
    std::memcpy(&record, bytes.data(), sizeof(T));
    return record;
}

template <typename T>
void WriteRecord(std::vector<BYTE>* bytes, const T& record)
{
    std::memcpy(bytes->data(), &record, sizeof(T));
}

bool RateOffered(const DeviceConfig& config, DWORD rate)
{
    return std::find(config.rates.begin(), config.rates.end(), rate) != config.rates.end();
}

}  // namespace

BYTE CapturePatternByte(int channel, int period, std::size_t offset)
{
    return static_cast<BYTE>(channel * 37 + period * 11 + offset);
}

struct Simulator::Impl {
    // A transfer block handed over with IOCTL_NXKD_MAP_BUFFER, with the layout it was
    // mapped for (later layout changes do not resize a mapped block).
    struct Mapping {
        OVERLAPPED* overlapped = nullptr;
        BYTE* block = nullptr;
        LONG periodFrames = 0;    // N
        size_t periodBytes = 0;   // N x B: one period of one channel
        int inputs = 0;
        int outputs = 0;
        std::vector<BYTE> playback;  // the period just read from every output ring
        DWORD length = 0;            // the output length the client handed over
    };

    // What the simulator keeps for one open handle; its address is the handle value.
    struct HandleState {
        int number = 0;
        std::uint64_t instance = 0;  // the device instance it was opened on
        bool hasStatus = false;
        NxAsioStatusRecord status = {};
        std::uint64_t statusOrder = 0;  // newer status stores have larger values
        bool registered = false;
        HANDLE messageEvent = nullptr;
        HANDLE removalEvent = nullptr;
        bool mapped = false;
        Mapping map;
    };

    // The thread of a real-time period clock. `stop` is read without the lock;
    // `stopEvent` (manual reset) wakes the thread when it is set.
    struct ClockThread {
        Impl* impl = nullptr;
        int number = 0;
        std::atomic<bool> stop{false};
        HANDLE stopEvent = nullptr;
        HANDLE thread = nullptr;
    };

    struct Device {
        bool present = false;
        std::uint64_t instance = 0;  // changes when the device is replaced, so old handles die
        DeviceConfig config;
        bool removed = false;
        DWORD rate = 0;          // the frequency setting (GET_SAMPLE_RATE, clock status word 8)
        DWORD runningRate = 0;   // what the unit runs at (GET_CURRENT_SAMPLE_RATE)
        NxSettingsRecord settings = {};
        LONG inputOption = 0;
        DWORD notifyFlags = 0;
        bool marked = false;        // started with the main flag 0 and not stopped
        bool clockRunning = false;  // started with the main flag 1 and a period event
        bool halted = false;
        HANDLE periodEvent = nullptr;
        HandleState* clockOwner = nullptr;
        ClockThread* thread = nullptr;
        LONG period = 0;  // kernelPeriod: the next period to transfer
        ULONG periodTimeMs = 0;
        std::uint64_t periodsCompleted = 0;
        // When the period event was last signalled and how often (PreciseNowNs); written
        // under `lock`, read without it by LastSignalNs, hence atomic accesses.
        std::uint64_t lastSignalNs = 0;
        std::uint64_t signals = 0;
    };

    struct RequestFault {
        DWORD code;
        int device;  // 0: every device
        int times;   // < 0: always
    };

    // Result of one request, applied by the caller after the lock is released.
    struct Outcome {
        BOOL result = FALSE;
        DWORD error = ERROR_SUCCESS;
        DWORD returned = 0;
    };

    // `lock` guards everything below: devices, handles, faults, the log and the log file.
    // It is recursive; it is held while client events are signalled (SetEvent does not
    // block) but never while sleeping or while waiting for a clock thread to end.
    CRITICAL_SECTION lock;
    // `loadLock` serialises the automatic configuration at the first open.
    CRITICAL_SECTION loadLock;
    bool configured = false;
    Device devices[kDeviceCount + 1];  // index 1 to 8
    std::uint64_t nextInstance = 1;
    std::set<HandleState*> handles;
    std::uint64_t nextStatusOrder = 1;
    std::vector<RequestFault> requestFaults;
    int openFaults[kDeviceCount + 1] = {};  // remaining refusals per device (index 0: every); < 0 always
    std::deque<LogEntry> log;
    std::uint64_t nextSequence = 1;
    LogFile logFile;
    std::vector<ClockThread*> finished;  // stopped clock threads still to be joined

    struct Lock {
        explicit Lock(CRITICAL_SECTION* s) : section(s) { EnterCriticalSection(section); }
        ~Lock() { LeaveCriticalSection(section); }
        CRITICAL_SECTION* section;
    };

    Impl()
    {
        InitializeCriticalSection(&lock);
        InitializeCriticalSection(&loadLock);
    }

    // ---- helpers, called with `lock` held ----

    Device* FindDevice(int number)
    {
        if (number < 1 || number > kDeviceCount || !devices[number].present)
            return nullptr;
        return &devices[number];
    }

    HandleState* FindHandle(HANDLE handle)
    {
        auto it = handles.find(static_cast<HandleState*>(handle));
        return it == handles.end() ? nullptr : *it;
    }

    // The device a handle was opened on, while it is still there and connected.
    Device* Connected(const HandleState& h)
    {
        Device* d = FindDevice(h.number);
        if (d == nullptr || d->instance != h.instance || d->removed)
            return nullptr;
        return d;
    }

    bool BelongsTo(const HandleState& h, const Device& d) const
    {
        return h.number >= 1 && &devices[h.number] == &d && h.instance == d.instance;
    }

    void AddLog(LogEntry entry)
    {
        entry.sequence = nextSequence++;
        logFile.Append(entry);
        if (log.size() >= kLogLimit)
            log.pop_front();
        log.push_back(std::move(entry));
    }

    static bool TakeFault(int* remaining)
    {
        if (*remaining == 0)
            return false;
        if (*remaining > 0)
            --*remaining;
        return true;
    }

    bool RequestRefused(const Device& d, int number, DWORD code)
    {
        if (std::find(d.config.fail.begin(), d.config.fail.end(), code) != d.config.fail.end())
            return true;
        for (RequestFault& fault : requestFaults) {
            if (fault.code == code && (fault.device == 0 || fault.device == number) && TakeFault(&fault.times))
                return true;
        }
        return false;
    }

    void ResetDeviceState(Device* d, const DeviceConfig& config)
    {
        d->present = true;
        d->instance = nextInstance++;
        d->config = config;
        // The stream layout record carries each count in one byte.
        d->config.inputs = std::max(0, std::min(config.inputs, 255));
        d->config.outputs = std::max(0, std::min(config.outputs, 255));
        d->removed = false;
        d->rate = config.sampleRate;
        d->runningRate = config.sampleRate;
        std::memset(&d->settings, 0, sizeof(d->settings));
        std::memcpy(d->settings.rateTable, kRateTable, sizeof(kRateTable));
        PresetSettingsDefaults(&d->settings);
        d->settings.latencyLevel = config.latencyLevel;
        d->inputOption = 0;
        d->notifyFlags = 0;
        d->marked = false;
        d->clockRunning = false;
        d->halted = false;
        d->periodEvent = nullptr;
        d->clockOwner = nullptr;
        d->period = 0;
        d->periodTimeMs = timeGetTime();
        d->periodsCompleted = 0;
        __atomic_store_n(&d->lastSignalNs, std::uint64_t(0), __ATOMIC_RELEASE);
        __atomic_store_n(&d->signals, std::uint64_t(0), __ATOMIC_RELEASE);
    }

    void CompleteMap(HandleState* h)
    {
        if (!h->mapped)
            return;
        h->mapped = false;
        if (h->map.overlapped != nullptr && h->map.overlapped->hEvent != nullptr)
            SetEvent(h->map.overlapped->hEvent);
        h->map = Mapping();
    }

    // Stops the period clock of a device; its thread is joined later, outside the lock.
    void StopClock(Device* d)
    {
        d->clockRunning = false;
        d->periodEvent = nullptr;
        d->clockOwner = nullptr;
        if (d->thread != nullptr) {
            d->thread->stop = true;
            SetEvent(d->thread->stopEvent);
            finished.push_back(d->thread);
            d->thread = nullptr;
        }
    }

    void StartClock(Device* d, int number, HANDLE periodEvent, HandleState* owner)
    {
        StopClock(d);
        d->clockRunning = true;
        d->halted = false;
        d->periodEvent = periodEvent;
        d->clockOwner = owner;
        d->period = 0;
        d->periodTimeMs = timeGetTime();
        if (d->config.clock != Clock::Realtime)
            return;
        ClockThread* t = new ClockThread;
        t->impl = this;
        t->number = number;
        t->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (t->stopEvent != nullptr)
            t->thread = CreateThread(nullptr, 0, ClockMain, t, 0, nullptr);
        if (t->thread == nullptr) {
            if (t->stopEvent != nullptr)
                CloseHandle(t->stopEvent);
            delete t;
            return;
        }
        // A device's clock does not wait for the scheduler: keep it ahead of busy threads.
        SetThreadPriority(t->thread, THREAD_PRIORITY_TIME_CRITICAL);
        d->thread = t;
    }

    // Takes the stopped clock threads to join; call with `lock` held, join without it.
    std::vector<ClockThread*> TakeFinished()
    {
        std::vector<ClockThread*> taken;
        taken.swap(finished);
        return taken;
    }

    static void Join(const std::vector<ClockThread*>& threads)
    {
        for (ClockThread* t : threads) {
            WaitForSingleObject(t->thread, INFINITE);
            CloseHandle(t->thread);
            CloseHandle(t->stopEvent);
            delete t;
        }
    }

    void JoinFinished()
    {
        std::vector<ClockThread*> threads;
        {
            Lock guard(&lock);
            threads = TakeFinished();
        }
        Join(threads);
    }

    // ---- the period clock ----

    // The device's DMA into and out of the rings. It is not a C++ thread of the client and
    // cannot synchronise with it: when the client falls behind, the device reads or
    // writes a period the client is touching, which is an underrun (caught by the host's
    // sample checks), not a data race of the driver. So these accesses are left out of
    // ThreadSanitizer's view, and done bytewise through volatile so the compiler keeps
    // them out of the (intercepted) memcpy.
#if defined(__GNUC__)
    __attribute__((no_sanitize("thread")))
#endif
    static void DmaCopy(BYTE* to, const BYTE* from, size_t bytes)
    {
        volatile BYTE* out = to;
        const volatile BYTE* in = from;
        for (size_t i = 0; i < bytes; ++i)
            out[i] = in[i];
    }

#if defined(__GNUC__)
    __attribute__((no_sanitize("thread")))
#endif
    static void DmaPattern(BYTE* to, size_t bytes, int channel, LONG period, bool silence)
    {
        volatile BYTE* out = to;
        for (size_t i = 0; i < bytes; ++i)
            out[i] = silence ? 0 : CapturePatternByte(channel, period, i);
    }

    // One period of one mapped block: read playback period p of every output ring, write
    // capture period p of every input ring, then publish kernelPeriod = p + 1.
    void TransferPeriod(Mapping& m, const DeviceConfig& config, LONG p)
    {
        auto* header = reinterpret_cast<TransferBlockHeader*>(m.block);
        const size_t bytes = m.periodBytes;
        const size_t ring = bytes * kRingPeriods;
        BYTE* rings = m.block + kTransferHeaderSize;
        const size_t at = static_cast<size_t>(p) * bytes;
        for (int j = 0; j < m.outputs; ++j)
            DmaCopy(m.playback.data() + j * bytes, rings + (m.inputs + j) * ring + at, bytes);
        for (int k = 0; k < m.inputs; ++k) {
            BYTE* capture = rings + k * ring + at;
            if (config.loopback && k < m.outputs)
                DmaCopy(capture, m.playback.data() + k * bytes, bytes);
            else
                DmaPattern(capture, bytes, k, p, config.loopback);
        }
        StoreShared(&header->kernelPeriod, (p + 1) % kRingPeriods);
    }

    void CompletePeriod(Device* d)
    {
        for (HandleState* h : handles) {
            if (h->mapped && BelongsTo(*h, *d))
                TransferPeriod(h->map, d->config, d->period);
        }
        d->period = (d->period + 1) % kRingPeriods;
        d->periodTimeMs = timeGetTime();
        ++d->periodsCompleted;
    }

    // The lowest-numbered device whose clock runs drives the devices started with the
    // main flag 0 only (the other device objects of a multi-device client).
    bool DrivesOthers(int number) const
    {
        for (int n = 1; n < number; ++n) {
            if (devices[n].present && devices[n].clockRunning)
                return false;
        }
        return true;
    }

    // `periods` periods of a clocked device (and the devices it drives), then one signal.
    void RunPeriods(int number, int periods, bool signal)
    {
        Device* d = &devices[number];
        const bool drives = DrivesOthers(number);
        for (int i = 0; i < periods; ++i) {
            CompletePeriod(d);
            if (!drives)
                continue;
            for (int n = 1; n <= kDeviceCount; ++n) {
                Device* other = &devices[n];
                if (n != number && other->present && !other->removed && other->marked &&
                    !other->clockRunning && !other->halted)
                    CompletePeriod(other);
            }
        }
        if (signal && d->periodEvent != nullptr) {
            __atomic_store_n(&d->lastSignalNs, PreciseNowNs(), __ATOMIC_RELEASE);
            __atomic_add_fetch(&d->signals, 1, __ATOMIC_RELEASE);
            SetEvent(d->periodEvent);
        }
    }

    // Period length of a clocked device: its mapped period (else the preferred buffer
    // size) at the running frequency.
    std::uint64_t PeriodNs(int number)
    {
        Lock guard(&lock);
        Device* d = &devices[number];
        std::uint64_t frames = d->config.bufferSize.preferred > 0 ? d->config.bufferSize.preferred : 256;
        for (HandleState* h : handles) {
            if (h->mapped && BelongsTo(*h, *d)) {
                frames = static_cast<std::uint64_t>(h->map.periodFrames);
                break;
            }
        }
        const std::uint64_t rate = d->runningRate != 0 ? d->runningRate : 48000;
        return frames * 1000000000ull / rate;
    }

    bool Tick(ClockThread* t, int periods)
    {
        Lock guard(&lock);
        Device* d = &devices[t->number];
        if (t->stop || d->thread != t || !d->clockRunning)
            return false;
        RunPeriods(t->number, periods, true);
        return true;
    }

    // Sleeps until the absolute deadline, or until the clock is stopped.
    static void SleepUntil(ClockThread* t, std::uint64_t deadlineNs)
    {
        while (!t->stop) {
            const std::uint64_t now = PreciseNowNs();
            if (now >= deadlineNs)
                return;
            if (deadlineNs - now <= kPreciseMarginNs) {
                PreciseSleepUntilNs(deadlineNs);
                return;
            }
            WaitForSingleObject(t->stopEvent, static_cast<DWORD>((deadlineNs - now - kPreciseMarginNs) / 1000000 + 1));
        }
    }

    static DWORD WINAPI ClockMain(LPVOID parameter)
    {
        ClockThread* t = static_cast<ClockThread*>(parameter);
        std::uint64_t next = PreciseNowNs();
        while (!t->stop) {
            const std::uint64_t periodNs = t->impl->PeriodNs(t->number);
            next += periodNs;
            SleepUntil(t, next);
            if (t->stop)
                break;
            const std::uint64_t now = PreciseNowNs();
            // Late wake-ups (a loaded machine, a debugger) complete the periods that fell
            // due meanwhile, as a device keeps running; beyond one ring the clock restarts.
            int due = 1;
            while (next + periodNs <= now && due < kRingPeriods) {
                next += periodNs;
                ++due;
            }
            if (next + periodNs <= now)
                next = now;
            if (!t->impl->Tick(t, due))
                break;
        }
        return 0;
    }

    // ---- requests, called with `lock` held ----

    bool MapBuffer(HandleState* h, Device* d, const std::vector<BYTE>& in, void* out, DWORD outSize,
                   OVERLAPPED* overlapped, Outcome* outcome)
    {
        NxMapBufferRecord input = ReadRecord<NxMapBufferRecord>(in);
        const DeviceConfig& c = d->config;
        // 64-bit arithmetic with the period checked against the block before it is
        // multiplied further, so no layout can wrap the length check.
        const std::uint64_t channels = static_cast<std::uint64_t>(c.inputs) + static_cast<std::uint64_t>(c.outputs);
        const std::uint64_t periodBytes = static_cast<std::uint64_t>(input.periodFrames > 0 ? input.periodFrames : 0) *
                                          static_cast<std::uint64_t>(c.bytesPerSample > 0 ? c.bytesPerSample : 0);
        const bool fits = periodBytes <= outSize &&
                          kTransferHeaderSize + periodBytes * channels * kRingPeriods <= outSize;
        if (overlapped == nullptr || out == nullptr || h->mapped || input.periodFrames <= 0 ||
            c.bytesPerSample < 0 ||
            static_cast<std::int64_t>(input.ringFrames) != static_cast<std::int64_t>(input.periodFrames) * kRingPeriods ||
            !fits) {
            outcome->error = ERROR_INVALID_PARAMETER;
            return false;
        }
        h->mapped = true;
        h->map.overlapped = overlapped;
        h->map.block = static_cast<BYTE*>(out);
        h->map.periodFrames = input.periodFrames;
        h->map.length = outSize;
        h->map.periodBytes = static_cast<size_t>(periodBytes);
        h->map.inputs = c.inputs;
        h->map.outputs = c.outputs;
        h->map.playback.assign(static_cast<size_t>(periodBytes) * static_cast<size_t>(c.outputs), 0);
        if (c.completeMapAtOnce) {
            // Completed at once; the block stays in use until the release all the same.
            if (overlapped->hEvent != nullptr)
                SetEvent(overlapped->hEvent);
            return true;
        }
        outcome->error = ERROR_IO_PENDING;
        return false;
    }

    bool StartStream(HandleState* h, Device* d, const std::vector<BYTE>& in)
    {
        NxStartStreamRecord record = ReadRecord<NxStartStreamRecord>(in);
        d->marked = true;
        d->halted = false;
        d->period = 0;
        for (HandleState* mapped : handles) {
            if (mapped->mapped && BelongsTo(*mapped, *d))
                StoreShared(&reinterpret_cast<TransferBlockHeader*>(mapped->map.block)->kernelPeriod, 0);
        }
        HANDLE event = WireToHandle(record.periodEvent);
        if (record.mainFlag == 1 && event != nullptr)
            StartClock(d, h->number, event, h);
        return true;
    }

    bool StopStream(Device* d, const std::vector<BYTE>& in)
    {
        NxStopStreamRecord record = ReadRecord<NxStopStreamRecord>(in);
        d->marked = false;
        if (record.mainFlag == 1)
            StopClock(d);
        return true;
    }

    void SetRates(Device* d, DWORD rate)
    {
        d->rate = rate;
        if (d->config.followsRateChange)
            d->runningRate = rate;
    }

    // Answers one request of known code and correct length into `reply` (which holds
    // the input on entry). False refuses the request with outcome->error.
    bool Answer(HandleState* h, Device* d, DWORD code, std::vector<BYTE>* reply, void* out, DWORD outSize,
                OVERLAPPED* overlapped, Outcome* outcome)
    {
        const DeviceConfig& c = d->config;
        switch (code) {
        case IOCTL_NXKD_GET_DEVICE_READY:
            WriteRecord(reply, NxFlagRecord{c.ready});
            return true;
        case IOCTL_NXKD_GET_CLIENT_ACTIVE:
            WriteRecord(reply, NxFlagRecord{c.clientActive});
            return true;
        case IOCTL_NXKD_GET_KX_RUNNING:
            WriteRecord(reply, NxFlagRecord{c.kxRunning});
            return true;
        case IOCTL_NXKD_GET_DEVICE_INFO: {
            NxDeviceInfoRecord info = {};
            int length = std::snprintf(reinterpret_cast<char*>(info.info), sizeof(info.info),
                                       "BRIXEN Nxkd2650 simulated device %d", h->number);
            info.length = static_cast<ULONG>(length);
            WriteRecord(reply, info);
            return true;
        }
        case IOCTL_NXKD_GET_STREAM_LAYOUT: {
            NxStreamLayoutRecord layout = {};
            layout.outputs = static_cast<BYTE>(c.outputs);
            layout.inputs = static_cast<BYTE>(c.inputs);
            WriteRecord(reply, layout);
            return true;
        }
        case IOCTL_NXKD_GET_SAMPLE_SIZE:
            WriteRecord(reply, NxValueRecord{0, c.bytesPerSample});
            return true;
        case IOCTL_NXKD_GET_BUFFER_SIZE_INFO:
            WriteRecord(reply, c.bufferSize);
            return true;
        case IOCTL_NXKD_GET_LATENCY_INFO:
            WriteRecord(reply, NxLatencyRecord{0, c.inputLatency, c.outputLatency});
            return true;
        case IOCTL_NXKD_SET_INPUT_OPTION:
            d->inputOption = ReadRecord<NxValueRecord>(*reply).value;
            return true;
        case IOCTL_NXKD_GET_SETTINGS: {
            NxSettingsRecord settings = d->settings;
            settings.status = 1;
            WriteRecord(reply, settings);
            return true;
        }
        case IOCTL_NXKD_SET_SETTINGS: {
            NxSettingsRecord settings = ReadRecord<NxSettingsRecord>(*reply);
            settings.status = 0;
            d->settings = settings;
            settings.status = c.verdict;
            WriteRecord(reply, settings);
            return true;
        }
        case IOCTL_NXKD_GET_SAMPLE_RATE:
        case IOCTL_NXKD_ASIO_GET_SAMPLE_RATE:
            WriteRecord(reply, NxValueRecord{0, static_cast<LONG>(d->rate)});
            return true;
        case IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE:
            WriteRecord(reply, NxValueRecord{0, static_cast<LONG>(d->runningRate)});
            return true;
        case IOCTL_NXKD_ASIO_CAN_SAMPLE_RATE: {
            NxRateRecord record = ReadRecord<NxRateRecord>(*reply);
            const DWORD asked = static_cast<DWORD>(record.rate);
            if (!RateOffered(c, asked))
                record.rate = asked != d->rate ? static_cast<LONG>(d->rate) : 0;
            WriteRecord(reply, record);
            return true;
        }
        case IOCTL_NXKD_ASIO_SET_SAMPLE_RATE: {
            NxRateRecord record = ReadRecord<NxRateRecord>(*reply);
            if (!RateOffered(c, static_cast<DWORD>(record.rate))) {
                outcome->error = ERROR_INVALID_PARAMETER;
                return false;
            }
            SetRates(d, static_cast<DWORD>(record.rate));
            return true;
        }
        case IOCTL_NXKD_SET_SAMPLE_RATE: {
            NxValueRecord record = ReadRecord<NxValueRecord>(*reply);
            if (!RateOffered(c, static_cast<DWORD>(record.value))) {
                outcome->error = ERROR_INVALID_PARAMETER;
                return false;
            }
            SetRates(d, static_cast<DWORD>(record.value));
            return true;
        }
        case IOCTL_NXKD_QUERY_SAMPLE_RATE: {
            NxRateRecord record = ReadRecord<NxRateRecord>(*reply);
            record.flag = RateOffered(c, static_cast<DWORD>(record.rate)) ? 1 : 0;
            WriteRecord(reply, record);
            return true;
        }
        case IOCTL_NXKD_GET_CLOCK_STATUS: {
            NxClockStatusRecord record = {};
            record.runningRate = static_cast<LONG>(d->runningRate);
            record.rateSetting = static_cast<LONG>(d->rate);
            record.externalClock = c.externalClock;
            record.clockLocked = c.clockLocked;
            WriteRecord(reply, record);
            return true;
        }
        case IOCTL_NXKD_SET_ASIO_STATUS:
            h->status = ReadRecord<NxAsioStatusRecord>(*reply);
            h->hasStatus = true;
            h->statusOrder = nextStatusOrder++;
            return true;
        case IOCTL_NXKD_GET_ASIO_STATUS: {
            NxAsioStatusRecord status = {};
            NewestStatus(*d, &status);
            status.reserved0 = 0;
            WriteRecord(reply, status);
            return true;
        }
        case IOCTL_NXKD_REGISTER_EVENTS: {
            NxEventRegistration record = ReadRecord<NxEventRegistration>(*reply);
            h->registered = true;
            h->messageEvent = WireToHandle(record.messageEvent);
            h->removalEvent = WireToHandle(record.removalEvent);
            return true;
        }
        case IOCTL_NXKD_UNREGISTER_EVENTS:
            h->registered = false;
            h->messageEvent = nullptr;
            h->removalEvent = nullptr;
            return true;
        case IOCTL_NXKD_ASIO_GET_NOTIFICATION:
            WriteRecord(reply, NxValueRecord{0, static_cast<LONG>(d->notifyFlags)});
            d->notifyFlags = 0;
            return true;
        case IOCTL_NXKD_START_STREAM:
            return StartStream(h, d, *reply);
        case IOCTL_NXKD_STOP_STREAM:
            return StopStream(d, *reply);
        case IOCTL_NXKD_GET_STREAM_POSITION: {
            NxStreamPositionRecord record = ReadRecord<NxStreamPositionRecord>(*reply);
            record.kernelTimeMs = d->periodTimeMs;
            record.kernelPeriod = static_cast<ULONG>(d->period);
            WriteRecord(reply, record);
            return true;
        }
        case IOCTL_NXKD_RELEASE_BUFFER:
            CompleteMap(h);
            return true;
        case IOCTL_NXKD_MAP_BUFFER:
            return MapBuffer(h, d, *reply, out, outSize, overlapped, outcome);
        default:
            outcome->error = ERROR_INVALID_PARAMETER;
            return false;
        }
    }

    bool AnyHandle(const Device& d) const
    {
        for (const HandleState* h : handles) {
            if (BelongsTo(*h, d))
                return true;
        }
        return false;
    }

    bool NewestStatus(const Device& d, NxAsioStatusRecord* status)
    {
        const HandleState* newest = nullptr;
        for (const HandleState* h : handles) {
            if (h->hasStatus && BelongsTo(*h, d) && (newest == nullptr || h->statusOrder > newest->statusOrder))
                newest = h;
        }
        if (newest == nullptr)
            return false;
        *status = newest->status;
        return true;
    }

    Outcome Request(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                    OVERLAPPED* overlapped)
    {
        Outcome outcome;
        LogEntry entry{0, 0, LogEntry::Request, code, {}, {}, false};
        if (in != nullptr && inSize != 0)
            entry.in.assign(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + inSize);
        HandleState* h = FindHandle(handle);
        const long size = RecordSize(code);
        Device* d = h != nullptr ? Connected(*h) : nullptr;
        if (h == nullptr) {
            outcome.error = ERROR_INVALID_HANDLE;
        } else if (size < 0) {
            outcome.error = ERROR_INVALID_PARAMETER;
        } else if (!LengthsMatch(code, size, in, inSize, out, outSize)) {
            outcome.error = ERROR_INVALID_PARAMETER;
        } else if (d == nullptr && code != IOCTL_NXKD_RELEASE_BUFFER) {
            outcome.error = ERROR_DEVICE_NOT_CONNECTED;
        } else if (d != nullptr && RequestRefused(*d, h->number, code)) {
            // A refused release still ends the mapping: the client waits for it without limit.
            if (code == IOCTL_NXKD_RELEASE_BUFFER)
                CompleteMap(h);
            outcome.error = ERROR_GEN_FAILURE;
        } else if (d == nullptr) {
            CompleteMap(h);  // release on a removed device
            outcome.result = TRUE;
        } else {
            std::vector<BYTE> reply = entry.in;
            bool ok = Answer(h, d, code, &reply, out, outSize, overlapped, &outcome);
            if (ok && code != IOCTL_NXKD_MAP_BUFFER) {
                if (size > 0)
                    std::memcpy(out, reply.data(), static_cast<size_t>(size));
                outcome.returned = static_cast<DWORD>(size);
                entry.out = reply;
                if (overlapped != nullptr && overlapped->hEvent != nullptr)
                    SetEvent(overlapped->hEvent);
            }
            outcome.result = ok ? TRUE : FALSE;
            // A pending mapping is accepted: logged as ok.
            entry.ok = ok || outcome.error == ERROR_IO_PENDING;
        }
        if (h != nullptr)
            entry.device = h->number;
        if (outcome.result)
            entry.ok = true;
        AddLog(std::move(entry));
        return outcome;
    }

    static bool LengthsMatch(DWORD code, long size, void* in, DWORD inSize, void* out, DWORD outSize)
    {
        if (static_cast<long>(inSize) != size || (size > 0 && in == nullptr))
            return false;
        if (code == IOCTL_NXKD_MAP_BUFFER)
            return true;  // the block length is checked against the layout
        return static_cast<long>(outSize) == size && (size == 0 || out != nullptr);
    }

    template <typename Char>
    HANDLE OpenPath(const Char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags, DWORD* error)
    {
        const int number = DeviceNumberOfPath(path);
        LogEntry entry{0, number, LogEntry::Open, 0, {}, {}, false};
        HANDLE result = INVALID_HANDLE_VALUE;
        Device* d = FindDevice(number);
        if (number == 0 || d == nullptr) {
            *error = ERROR_FILE_NOT_FOUND;
        } else if (access != (GENERIC_READ | GENERIC_WRITE) || share != 0 || disposition != OPEN_EXISTING ||
                   flags != FILE_FLAG_OVERLAPPED) {
            *error = ERROR_INVALID_PARAMETER;
        } else if (d->removed) {
            *error = ERROR_DEVICE_NOT_CONNECTED;
        } else if (TakeFault(&openFaults[number]) || TakeFault(&openFaults[0])) {
            *error = ERROR_GEN_FAILURE;
        } else {
            HandleState* h = new HandleState;
            h->number = number;
            h->instance = d->instance;
            handles.insert(h);
            result = h;
            entry.ok = true;
            *error = ERROR_SUCCESS;
        }
        AddLog(std::move(entry));
        return result;
    }

    // Reads NXKD_SIM at the first open, unless the simulator was configured in code.
    void LoadAtFirstUse()
    {
        Lock guard(&loadLock);
        {
            Lock inner(&lock);
            if (configured)
                return;
            configured = true;
        }
        const char* path = std::getenv("NXKD_SIM");
        if (path == nullptr || path[0] == '\0')
            return;
        std::string text;
        std::string error;
        std::vector<ConfiguredDevice> loaded;
        if (!ReadTextFile(path, &text)) {
            std::fprintf(stderr, "nxkd_sim: cannot read NXKD_SIM file '%s'; no device\n", path);
            return;
        }
        if (!ParseConfigText(text, &loaded, &error)) {
            std::fprintf(stderr, "nxkd_sim: %s: %s; no device\n", path, error.c_str());
            return;
        }
        Lock inner(&lock);
        for (const ConfiguredDevice& device : loaded)
            ResetDeviceState(&devices[device.number], device.config);
    }

    // Stops every clock thread (at process exit, and from Reset).
    void StopAllClocks()
    {
        {
            Lock guard(&lock);
            for (int n = 1; n <= kDeviceCount; ++n)
                StopClock(&devices[n]);
        }
        JoinFinished();
    }
};

namespace {

Simulator* instance = nullptr;

void StopClocksAtExit()
{
    if (instance != nullptr)
        Simulator::Instance().Reset();
}

}  // namespace

Simulator& Simulator::Instance()
{
    // Created once and never destroyed: the clock threads and late clients must never
    // meet a destroyed simulator. Its clocks are stopped at exit instead.
    static Simulator* created = [] {
        instance = new Simulator();
        std::atexit(StopClocksAtExit);
        return instance;
    }();
    return *created;
}

Simulator::Simulator() : impl(new Impl)
{
    // Makes the platform create its objects before the exit handler is registered, so
    // that they outlive it.
    HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (probe != nullptr)
        CloseHandle(probe);
}

Simulator::~Simulator()
{
    impl->StopAllClocks();
    delete impl;
}

void Simulator::Reset()
{
    {
        Impl::Lock guard(&impl->lock);
        for (int n = 1; n <= kDeviceCount; ++n) {
            impl->StopClock(&impl->devices[n]);
            impl->devices[n] = Impl::Device();
        }
        // A client still waiting for its mapping must not wait forever.
        for (Impl::HandleState* h : impl->handles) {
            impl->CompleteMap(h);
            delete h;
        }
        impl->handles.clear();
        impl->requestFaults.clear();
        std::fill(std::begin(impl->openFaults), std::end(impl->openFaults), 0);
        impl->log.clear();
        impl->nextSequence = 1;
        impl->logFile.Reopen();
        impl->configured = true;
    }
    impl->JoinFinished();
}

void Simulator::AddDevice(int number, const DeviceConfig& config)
{
    if (number < 1 || number > kDeviceCount)
        return;
    {
        Impl::Lock guard(&impl->lock);
        impl->configured = true;
        impl->StopClock(&impl->devices[number]);
        impl->ResetDeviceState(&impl->devices[number], config);
    }
    impl->JoinFinished();
}

void Simulator::FailRequest(DWORD code, int device, int times)
{
    Impl::Lock guard(&impl->lock);
    impl->requestFaults.push_back({code, device, times});
}

void Simulator::FailOpen(int number, int times)
{
    if (number < 0 || number > kDeviceCount)
        return;
    Impl::Lock guard(&impl->lock);
    impl->openFaults[number] = times;
}

void Simulator::ClearFaults()
{
    Impl::Lock guard(&impl->lock);
    impl->requestFaults.clear();
    std::fill(std::begin(impl->openFaults), std::end(impl->openFaults), 0);
}

void Simulator::SetReady(int number, LONG ready)
{
    Impl::Lock guard(&impl->lock);
    if (Impl::Device* d = impl->FindDevice(number))
        d->config.ready = ready;
}

void Simulator::SetKxRunning(int number, LONG running)
{
    Impl::Lock guard(&impl->lock);
    if (Impl::Device* d = impl->FindDevice(number))
        d->config.kxRunning = running;
}

void Simulator::SetClientActive(int number, LONG active)
{
    Impl::Lock guard(&impl->lock);
    if (Impl::Device* d = impl->FindDevice(number))
        d->config.clientActive = active;
}

void Simulator::SetRunningRate(int number, DWORD rate)
{
    Impl::Lock guard(&impl->lock);
    if (Impl::Device* d = impl->FindDevice(number))
        d->runningRate = rate;
}

void Simulator::SetStreamLayout(int number, int inputs, int outputs)
{
    Impl::Lock guard(&impl->lock);
    if (Impl::Device* d = impl->FindDevice(number)) {
        d->config.inputs = std::max(0, std::min(inputs, 255));
        d->config.outputs = std::max(0, std::min(outputs, 255));
    }
}

void Simulator::Notify(int number, DWORD flags)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    if (d == nullptr || d->removed)
        return;
    d->notifyFlags |= flags;
    for (Impl::HandleState* h : impl->handles) {
        if (h->registered && h->messageEvent != nullptr && impl->BelongsTo(*h, *d))
            SetEvent(h->messageEvent);
    }
}

void Simulator::Remove(int number)
{
    {
        Impl::Lock guard(&impl->lock);
        Impl::Device* d = impl->FindDevice(number);
        if (d == nullptr || d->removed)
            return;
        d->removed = true;
        d->marked = false;
        impl->StopClock(d);
        for (Impl::HandleState* h : impl->handles) {
            if (h->registered && h->removalEvent != nullptr && impl->BelongsTo(*h, *d))
                SetEvent(h->removalEvent);
        }
    }
    impl->JoinFinished();
}

void Simulator::Halt(int number)
{
    {
        Impl::Lock guard(&impl->lock);
        Impl::Device* d = impl->FindDevice(number);
        if (d == nullptr)
            return;
        d->halted = true;
        for (Impl::HandleState* h : impl->handles) {
            if (h->mapped && impl->BelongsTo(*h, *d))
                StoreShared(&reinterpret_cast<TransferBlockHeader*>(h->map.block)->halted, 1);
        }
        // The client learns of the halt at its next period event: give it one.
        HANDLE event = d->periodEvent;
        impl->StopClock(d);
        if (event != nullptr)
            SetEvent(event);
    }
    impl->JoinFinished();
}

void Simulator::Advance(int number, int periods, bool signal)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    if (d == nullptr || d->removed || !d->clockRunning)
        return;
    impl->RunPeriods(number, std::max(periods, 0), signal);
}

bool Simulator::WaitCaughtUp(int number, DWORD timeoutMs)
{
    const DWORD start = timeGetTime();
    for (;;) {
        {
            Impl::Lock guard(&impl->lock);
            Impl::Device* d = impl->FindDevice(number);
            if (d == nullptr)
                return false;
            bool caughtUp = true;
            for (Impl::HandleState* h : impl->handles) {
                if (h->mapped && impl->BelongsTo(*h, *d) &&
                    LoadShared(&reinterpret_cast<TransferBlockHeader*>(h->map.block)->clientPeriod) != d->period)
                    caughtUp = false;
            }
            if (caughtUp)
                return true;
        }
        if (timeGetTime() - start >= timeoutMs)
            return false;
        Sleep(1);
    }
}

BYTE* Simulator::MappedBlock(int number, DWORD* length)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    if (d == nullptr)
        return nullptr;
    for (Impl::HandleState* h : impl->handles) {
        if (h->mapped && impl->BelongsTo(*h, *d)) {
            if (length != nullptr)
                *length = h->map.length;
            return h->map.block;
        }
    }
    return nullptr;
}

std::uint64_t Simulator::LastSignalNs(int number, std::uint64_t* signals)
{
    if (number < 1 || number > kDeviceCount)
        return 0;
    Impl::Device& d = impl->devices[number];
    if (signals != nullptr)
        *signals = __atomic_load_n(&d.signals, __ATOMIC_ACQUIRE);
    return __atomic_load_n(&d.lastSignalNs, __ATOMIC_ACQUIRE);
}

std::vector<LogEntry> Simulator::Log()
{
    Impl::Lock guard(&impl->lock);
    return std::vector<LogEntry>(impl->log.begin(), impl->log.end());
}

void Simulator::ClearLog()
{
    Impl::Lock guard(&impl->lock);
    impl->log.clear();
}

int Simulator::OpenHandles(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    if (d == nullptr)
        return 0;
    int count = 0;
    for (Impl::HandleState* h : impl->handles)
        count += impl->BelongsTo(*h, *d) ? 1 : 0;
    return count;
}

bool Simulator::IsStreaming(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    return d != nullptr && (d->marked || d->clockRunning);
}

bool Simulator::IsMapped(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    if (d == nullptr)
        return false;
    for (Impl::HandleState* h : impl->handles) {
        if (h->mapped && impl->BelongsTo(*h, *d))
            return true;
    }
    return false;
}

LONG Simulator::KernelPeriod(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    return d != nullptr ? d->period : 0;
}

std::uint64_t Simulator::PeriodsCompleted(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    return d != nullptr ? d->periodsCompleted : 0;
}

NxSettingsRecord Simulator::Settings(int number)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    NxSettingsRecord settings = {};
    if (d != nullptr)
        settings = d->settings;
    return settings;
}

bool Simulator::AsioStatus(int number, NxAsioStatusRecord* status)
{
    Impl::Lock guard(&impl->lock);
    Impl::Device* d = impl->FindDevice(number);
    return d != nullptr && impl->NewestStatus(*d, status);
}

HANDLE Simulator::Open(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    impl->LoadAtFirstUse();
    DWORD error = ERROR_SUCCESS;
    HANDLE handle;
    {
        Impl::Lock guard(&impl->lock);
        handle = impl->OpenPath(path, access, share, disposition, flags, &error);
    }
    SetLastError(error);
    return handle;
}

HANDLE Simulator::OpenW(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    impl->LoadAtFirstUse();
    DWORD error = ERROR_SUCCESS;
    HANDLE handle;
    {
        Impl::Lock guard(&impl->lock);
        handle = impl->OpenPath(path, access, share, disposition, flags, &error);
    }
    SetLastError(error);
    return handle;
}

BOOL Simulator::Control(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                        DWORD* returned, OVERLAPPED* overlapped)
{
    Impl::Outcome outcome;
    {
        Impl::Lock guard(&impl->lock);
        outcome = impl->Request(handle, code, in, inSize, out, outSize, overlapped);
    }
    impl->JoinFinished();
    if (returned != nullptr)
        *returned = outcome.returned;
    SetLastError(outcome.error);
    return outcome.result;
}

BOOL Simulator::Close(HANDLE handle)
{
    {
        Impl::Lock guard(&impl->lock);
        Impl::HandleState* h = impl->FindHandle(handle);
        LogEntry entry{0, h != nullptr ? h->number : 0, LogEntry::Close, 0, {}, {}, h != nullptr};
        impl->AddLog(std::move(entry));
        if (h == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        impl->CompleteMap(h);
        impl->handles.erase(h);
        Impl::Device* d = impl->FindDevice(h->number);
        if (d != nullptr && impl->BelongsTo(*h, *d)) {
            // The stream of a client that went away without stopping it ends with it.
            if (d->clockOwner == h) {
                impl->StopClock(d);
                d->marked = false;
            }
            if (!impl->AnyHandle(*d))
                d->marked = false;
        }
        delete h;
    }
    impl->JoinFinished();
    return TRUE;
}

}  // namespace nxsim
