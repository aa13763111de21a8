// The simulated Nxkd2650 kernel driver: device objects 1 to 8 answering every request
// of the kernel request protocol from per-device state, in this process.
//
// Test programs configure it in code (Reset, then AddDevice). Any other process gets its
// devices from the file named by NXKD_SIM at first use (no file: no device), and appends
// one line per open/close/request to the file named by NXKD_SIM_LOG when that is set.
#pragma once

#include "nxkd_requests.h"
#include "win32.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nxsim {

enum class Clock { Realtime, Manual };

struct DeviceConfig {
    LONG ready = 1;                // the IOCTL_NXKD_GET_DEVICE_READY answer
    DWORD sampleRate = 48000;      // starting frequency
    std::vector<DWORD> rates = {44100, 48000, 88200, 96000, 176400, 192000, 352800};
    LONG bytesPerSample = 4;
    int inputs = 2;
    int outputs = 2;
    NxBufferSizeRecord bufferSize = {32, 2048, 256, 32};
    LONG inputLatency = 0;
    LONG outputLatency = 0;
    LONG latencyLevel = 5;         // offset 288 of the settings record it starts with
    LONG verdict = 0;              // status word a settings write returns
    LONG clientActive = 0;
    LONG kxRunning = 0;
    bool loopback = true;          // capture channel k returns what playback channel k received
    Clock clock = Clock::Realtime;
    std::vector<DWORD> fail;       // request codes this device always refuses
    bool followsRateChange = true; // false: never reports a new frequency as running
    bool completeMapAtOnce = false;// complete IOCTL_NXKD_MAP_BUFFER immediately instead of pending
    BYTE externalClock = 0;        // IOCTL_NXKD_GET_CLOCK_STATUS byte 12
    BYTE clockLocked = 0;          // IOCTL_NXKD_GET_CLOCK_STATUS byte 13
};

// One line of the request log.
struct LogEntry {
    std::uint64_t sequence;
    int device;                  // device number 1 to 8 (0 when the path named none)
    enum Kind { Open, Close, Request } kind;
    DWORD code;                  // request code (Request only)
    std::vector<BYTE> in;        // input bytes as received
    std::vector<BYTE> out;       // output bytes as answered (empty for a failed request)
    bool ok;
};

class Simulator {
public:
    static Simulator& Instance();

    // Removes every device, stops clocks, clears faults and the log (NXKD_SIM_LOG is read
    // again at the next line). Also marks the simulator as configured in code, so NXKD_SIM
    // is not read afterwards. Open handles become unknown; pending mappings are completed.
    // AddDevice replaces a device: handles opened on the previous one fail as removed.
    void Reset();
    void AddDevice(int number, const DeviceConfig& config);
    // Reads a configuration file (the NXKD_SIM format); false when it cannot be read or parsed.
    // On success the file's devices replace the present ones (as Reset, then AddDevice).
    bool LoadConfigFile(const std::string& path, std::string* error = nullptr);

    // Fault injection. device 0 means every device; times < 0 means always.
    void FailRequest(DWORD code, int device = 0, int times = -1);
    void FailOpen(int number, int times = -1);
    void ClearFaults();

    // Changes at run time.
    void SetReady(int number, LONG ready);
    void SetKxRunning(int number, LONG running);
    void SetClientActive(int number, LONG active);
    void SetRunningRate(int number, DWORD rate);   // what IOCTL_NXKD_GET_CURRENT_SAMPLE_RATE reports
    void SetStreamLayout(int number, int inputs, int outputs);
    void Notify(int number, DWORD flags);          // raises flags and signals the message event
    void Remove(int number);                       // signals removal; opens and requests fail after
    void Halt(int number);                         // sets halted in the transfer block and stops the clock,
                                                   // then signals the period event once

    // Manual clock: completes `periods` periods, then signals the period event once.
    // Only while the stream runs (IOCTL_NXKD_START_STREAM with the main flag and an event).
    // Devices started with the main flag 0 only follow the lowest-numbered running clock.
    void Advance(int number, int periods, bool signal = true);
    // Waits until the client has caught up (clientPeriod == kernelPeriod), or the timeout.
    bool WaitCaughtUp(int number, DWORD timeoutMs);

    // Inspection.
    std::vector<LogEntry> Log();
    void ClearLog();
    int OpenHandles(int number);                   // handles open on that device object now
    bool IsStreaming(int number);
    bool IsMapped(int number);
    LONG KernelPeriod(int number);
    std::uint64_t PeriodsCompleted(int number);
    // The transfer block mapped on that device object (its first mapped handle) and the
    // output length the client gave IOCTL_NXKD_MAP_BUFFER; null when none is mapped.
    BYTE* MappedBlock(int number, DWORD* length = nullptr);
    // PreciseNowNs() at the latest period event signal of the device's clock (0: none
    // yet) and, optionally, the number of signals so far. Lock-free, for measurements.
    std::uint64_t LastSignalNs(int number, std::uint64_t* signals = nullptr);
    NxSettingsRecord Settings(int number);
    bool AsioStatus(int number, NxAsioStatusRecord* status);  // false when no status is stored

    // Device I/O backend entry points (called through platform/device_io).
    HANDLE Open(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    HANDLE OpenW(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    BOOL Control(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned, OVERLAPPED* overlapped);
    BOOL Close(HANDLE handle);

private:
    Simulator();
    ~Simulator();
    struct Impl;
    Impl* impl;
};

// Formats a log entry as the NXKD_SIM_LOG line:
// "<seq> <device> <code hex|open|close> <in hex|-> <out hex|-> <ok|fail>"
std::string FormatLogLine(const LogEntry& entry);

// Without loopback, byte `offset` of capture channel `channel` in ring period `period`
// (0 to 63) holds this value.
BYTE CapturePatternByte(int channel, int period, std::size_t offset);

}  // namespace nxsim
