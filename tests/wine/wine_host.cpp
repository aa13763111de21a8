// The Windows test host: activates the registered BRIXEN driver through COM as ASIO hosts
// do (class identifier from HKLM\SOFTWARE\ASIO\BRIXEN, CoCreateInstance with the class
// identifier as interface identifier) and drives it through IASIO. Built for x86_64 and
// i686; on i686 it exercises the driver's thiscall slots with double and structure
// arguments and its cdecl host callbacks.
//
//   wine_host nodevice            session of a driver that finds no device
//   wine_host stream [ms]         session with a loopback device: buffers, streaming, checks
//   wine_host winexec "<command line>" [expect-failure]
//                                 WinExec with SW_SHOW, as the driver's controlPanel runs it
//
// Prints key=value lines on stdout, one "fail=..." line per failed check, and exits with 0
// only when every check held.
#include "asio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int failures = 0;

void Check(bool ok, const char* what)
{
    if (!ok) {
        ++failures;
        printf("fail=%s\n", what);
    }
}

void CheckResult(const char* key, ASIOError result, ASIOError expected)
{
    printf("%s=%ld\n", key, static_cast<long>(result));
    if (result != expected) {
        ++failures;
        printf("fail=%s: %ld, expected %ld\n", key, static_cast<long>(result), static_cast<long>(expected));
    }
}

// The driver's class identifier as hosts find it: the ASIO driver list entry.
bool ReadClassId(CLSID* clsid)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        printf("fail=HKLM\\SOFTWARE\\ASIO\\BRIXEN cannot be opened\n");
        return false;
    }
    char text[128] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LONG error = RegQueryValueExA(key, "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_SZ) {
        printf("fail=CLSID value cannot be read (%ld)\n", error);
        return false;
    }
    printf("clsid=%s\n", text);
    WCHAR wide[128] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 128);
    HRESULT hr = CLSIDFromString(wide, clsid);
    if (FAILED(hr)) {
        printf("fail=CLSIDFromString 0x%08lx\n", static_cast<unsigned long>(hr));
        return false;
    }
    return true;
}

// The operations that never need a device.
void DescribeDriver(IASIO* driver, bool expectDevice)
{
    ASIOBool initialised = driver->init(nullptr);
    printf("init=%ld\n", static_cast<long>(initialised));
    Check(initialised == (expectDevice ? ASIOTrue : ASIOFalse), "init");

    char name[64];
    memset(name, 'X', sizeof name);
    driver->getDriverName(name);
    name[sizeof name - 1] = '\0';
    printf("driver_name=%s\n", name);
    Check(strcmp(name, "BRIXEN") == 0, "getDriverName");

    // getErrorMessage writes exactly 124 bytes.
    char message[200];
    memset(message, 'X', sizeof message);
    driver->getErrorMessage(message);
    bool exact = message[123] == '\0' && message[124] == 'X';
    message[123] = '\0';
    printf("error_message=%s\n", message);
    Check(exact, "getErrorMessage writes 124 bytes");
    const char* expected = expectDevice ? "" : "Can not found a device. Please connect the device.";
    Check(strcmp(message, expected) == 0, "getErrorMessage text");

    LONG version = driver->getDriverVersion();
    printf("driver_version=%ld\n", static_cast<long>(version));
    Check(version == 1, "getDriverVersion");

    struct { LONG selector; ASIOError expected; } futures[] = {
        {kAsioEnableTimeCodeRead, ASE_NotPresent}, {kAsioSetInputMonitor, ASE_SUCCESS},
        {kAsioCanInputMonitor, ASE_SUCCESS},       {kAsioCanTimeInfo, ASE_NotPresent},
        {0, ASE_InvalidParameter},                 {17, ASE_InvalidParameter},
    };
    for (const auto& f : futures) {
        char key[32];
        snprintf(key, sizeof key, "future_%ld", static_cast<long>(f.selector));
        CheckResult(key, driver->future(f.selector, nullptr), f.expected);
    }

    // Starts the settings program (a stand-in in the test prefix) and does not wait.
    CheckResult("control_panel", driver->controlPanel(), ASE_OK);
}

void NoDeviceQueries(IASIO* driver)
{
    LONG inputs = -1;
    LONG outputs = -1;
    CheckResult("get_channels", driver->getChannels(&inputs, &outputs), ASE_NotPresent);
    Check(inputs == 0 && outputs == 0, "getChannels counts without device");
    CheckResult("can_sample_rate_48000", driver->canSampleRate(48000.0), ASE_NotPresent);
    LONG sizes[4] = {-1, -1, -1, -1};
    CheckResult("get_buffer_size", driver->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]),
                ASE_NotPresent);
    Check(sizes[0] == 0 && sizes[1] == 0 && sizes[2] == 0 && sizes[3] == 0, "getBufferSize zeros");
}

// ---- streaming ----------------------------------------------------------------------

const int kMaxChannels = 32;

// Output sample k of channel c carries (c + 1) in its top byte and a running frame count
// below; loopback capture must bring back the same channel's values in order.
struct StreamState {
    int inputs = 0;
    int outputs = 0;
    LONG frames = 0;
    ASIOBufferInfo infos[2 * kMaxChannels] = {};
    ULONG nextFrame = 1;                       // frame count of the next output half
    ULONG lastSeen[kMaxChannels] = {};         // last loopback value per input channel
    volatile LONG switches = 0;
    LONG nonZero = 0;                          // non-zero captured samples
    LONG inOrder = 0;                          // of those, the successor of the previous one
    LONG wrongChannel = 0;                     // of those, tagged with another channel
    LONG badIndex = 0;                         // bufferSwitch with an index other than 0 or 1
};
StreamState stream;

ULONG Tag(int channel) { return static_cast<ULONG>(channel + 1) << 24; }

void CheckCapture(LONG index)
{
    for (int c = 0; c < stream.inputs; ++c) {
        const ULONG* in = static_cast<const ULONG*>(stream.infos[c].buffers[index]);
        if (in == nullptr)
            continue;
        for (LONG i = 0; i < stream.frames; ++i) {
            ULONG v = in[i];
            if (v == 0)
                continue;
            ++stream.nonZero;
            if ((v & 0xFF000000UL) != Tag(c))
                ++stream.wrongChannel;
            else if (stream.lastSeen[c] != 0 && v == stream.lastSeen[c] + 1)
                ++stream.inOrder;
            stream.lastSeen[c] = v;
        }
    }
}

void FillPlayback(LONG index)
{
    for (int j = 0; j < stream.outputs; ++j) {
        ULONG* out = static_cast<ULONG*>(stream.infos[stream.inputs + j].buffers[index]);
        if (out == nullptr)
            continue;
        for (LONG i = 0; i < stream.frames; ++i)
            out[i] = Tag(j) | ((stream.nextFrame + static_cast<ULONG>(i)) & 0xFFFFFFUL);
    }
    stream.nextFrame += static_cast<ULONG>(stream.frames);
}

void BufferSwitch(LONG index, ASIOBool)
{
    if (index != 0 && index != 1) {
        ++stream.badIndex;
        return;
    }
    CheckCapture(index);
    FillPlayback(index);
    InterlockedIncrement(&stream.switches);
}

LONG AsioMessage(LONG selector, LONG value, void*, double*)
{
    printf("asio_message=%ld,%ld\n", static_cast<long>(selector), static_cast<long>(value));
    return 0;  // no message supported: a reset request would show as a refused start
}

void SampleRateDidChange(ASIOSampleRate) {}

ULONGLONG Position(const ASIOSamples& s) { return (static_cast<ULONGLONG>(s.hi) << 32) | s.lo; }

void QueryChannels(IASIO* driver)
{
    LONG inputs = 0;
    LONG outputs = 0;
    CheckResult("get_channels", driver->getChannels(&inputs, &outputs), ASE_OK);
    printf("channels=%ld,%ld\n", static_cast<long>(inputs), static_cast<long>(outputs));
    Check(inputs > 0 && outputs > 0 && inputs <= kMaxChannels && outputs <= kMaxChannels, "channel counts");
    stream.inputs = inputs > kMaxChannels ? kMaxChannels : static_cast<int>(inputs);
    stream.outputs = outputs > kMaxChannels ? kMaxChannels : static_cast<int>(outputs);

    const char* names[] = {"PRIMARY", "PRIMARY(R)", "SECONDARY", "SECONDARY(R)"};
    for (int direction = 1; direction >= 0; --direction) {
        int count = direction ? stream.inputs : stream.outputs;
        for (int c = 0; c < count; ++c) {
            ASIOChannelInfo info;
            memset(&info, 0, sizeof info);
            info.channel = c;
            info.isInput = direction;
            ASIOError result = driver->getChannelInfo(&info);
            printf("channel_%s_%d=%ld,%s,type %ld,active %ld\n", direction ? "in" : "out", c,
                   static_cast<long>(result), info.name, static_cast<long>(info.type),
                   static_cast<long>(info.isActive));
            Check(result == ASE_OK && info.type == ASIOSTInt32LSB && info.isActive == ASIOFalse &&
                      info.channel == c && (c >= 4 || strcmp(info.name, names[c]) == 0),
                  "getChannelInfo");
        }
    }
    ASIOChannelInfo bad;
    memset(&bad, 0, sizeof bad);
    bad.channel = -1;
    CheckResult("channel_info_minus_1", driver->getChannelInfo(&bad), ASE_InvalidParameter);
}

void QueryRates(IASIO* driver)
{
    // Doubles passed by value: a convention mismatch would garble them.
    CheckResult("can_sample_rate_48000", driver->canSampleRate(48000.0), ASE_OK);
    CheckResult("can_sample_rate_48000.3", driver->canSampleRate(48000.3), ASE_NoClock);
    CheckResult("can_sample_rate_44100.05", driver->canSampleRate(44100.05), ASE_OK);
    ASIOSampleRate rate = 0;
    CheckResult("get_sample_rate", driver->getSampleRate(&rate), ASE_OK);
    printf("sample_rate=%.1f\n", rate);
    Check(rate == 48000.0, "getSampleRate 48000");
    CheckResult("set_sample_rate_48000", driver->setSampleRate(48000.0), ASE_OK);

    ASIOClockSource clocks[2];
    memset(clocks, 0, sizeof clocks);
    LONG count = 2;
    CheckResult("get_clock_sources", driver->getClockSources(clocks, &count), ASE_OK);
    printf("clock_sources=%ld,%s\n", static_cast<long>(count), clocks[0].name);
    Check(count == 1 && strcmp(clocks[0].name, "Device") == 0 && clocks[0].isCurrentSource == ASIOTrue,
          "getClockSources");
    CheckResult("set_clock_source_1", driver->setClockSource(1), ASE_InvalidParameter);
}

void Stream(IASIO* driver, int milliseconds)
{
    QueryChannels(driver);
    QueryRates(driver);

    LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    CheckResult("get_buffer_size", driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    printf("buffer_size=%ld,%ld,%ld,%ld\n", static_cast<long>(minSize), static_cast<long>(maxSize),
           static_cast<long>(preferred), static_cast<long>(granularity));
    Check(preferred > 0 && preferred <= 16384, "preferred buffer size");
    if (preferred <= 0 || preferred > 16384 || stream.inputs == 0 || stream.outputs == 0)
        return;

    LONG inLatency = 0, outLatency = 0;
    CheckResult("get_latencies", driver->getLatencies(&inLatency, &outLatency), ASE_OK);
    printf("latencies=%ld,%ld\n", static_cast<long>(inLatency), static_cast<long>(outLatency));

    stream.frames = preferred;
    for (int c = 0; c < stream.inputs; ++c)
        stream.infos[c] = {ASIOTrue, c, {nullptr, nullptr}};
    for (int j = 0; j < stream.outputs; ++j)
        stream.infos[stream.inputs + j] = {ASIOFalse, j, {nullptr, nullptr}};
    static ASIOCallbacks callbacks = {&BufferSwitch, &SampleRateDidChange, &AsioMessage, nullptr};
    LONG entries = stream.inputs + stream.outputs;
    ASIOError created = driver->createBuffers(stream.infos, entries, preferred, &callbacks);
    CheckResult("create_buffers", created, ASE_OK);
    if (created != ASE_OK)
        return;
    bool pointers = true;
    for (LONG e = 0; e < entries; ++e)
        pointers = pointers && stream.infos[e].buffers[0] != nullptr && stream.infos[e].buffers[1] != nullptr;
    Check(pointers, "createBuffers gave every channel two buffers");

    ASIOChannelInfo active;
    memset(&active, 0, sizeof active);
    active.channel = 0;
    active.isInput = ASIOTrue;
    driver->getChannelInfo(&active);
    Check(active.isActive == ASIOTrue, "input 0 active after createBuffers");

    CheckResult("start", driver->start(), ASE_OK);
    Sleep(static_cast<DWORD>(milliseconds / 2));
    ASIOSamples first = {}, second = {};
    ASIOTimeStamp stamp = {};
    CheckResult("get_sample_position", driver->getSamplePosition(&first, &stamp), ASE_OK);
    Sleep(static_cast<DWORD>(milliseconds / 2));
    driver->getSamplePosition(&second, &stamp);
    CheckResult("stop", driver->stop(), ASE_OK);
    printf("sample_position=%llu,%llu\n", Position(first), Position(second));
    Check(Position(second) > Position(first), "sample position advances");

    printf("buffer_switches=%ld\n", static_cast<long>(stream.switches));
    printf("captured_nonzero=%ld\n", static_cast<long>(stream.nonZero));
    printf("captured_in_order=%ld\n", static_cast<long>(stream.inOrder));
    printf("captured_wrong_channel=%ld\n", static_cast<long>(stream.wrongChannel));
    Check(stream.badIndex == 0, "bufferSwitch index 0 or 1");
    Check(stream.switches >= 10, "at least 10 buffer switches");
    Check(stream.wrongChannel == 0, "loopback keeps channels apart");
    // Late periods are switched without the host, which repeats old audio: most captured
    // samples, not all, must follow their predecessor.
    Check(stream.inOrder > 0 && stream.inOrder * 2 > stream.nonZero, "loopback samples in order");

    CheckResult("dispose_buffers", driver->disposeBuffers(), ASE_OK);
    CheckResult("dispose_buffers_again", driver->disposeBuffers(), ASE_InvalidMode);
}

int Run(bool expectDevice, int milliseconds)
{
    printf("bits=%d\n", static_cast<int>(sizeof(void*) * 8));
    CLSID clsid;
    if (!ReadClassId(&clsid))
        return 2;
    IASIO* driver = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
    printf("create_instance=0x%08lx\n", static_cast<unsigned long>(hr));
    if (FAILED(hr) || driver == nullptr) {
        printf("fail=CoCreateInstance\n");
        return 2;
    }
    DescribeDriver(driver, expectDevice);
    if (expectDevice)
        Stream(driver, milliseconds);
    else
        NoDeviceQueries(driver);
    ULONG left = driver->Release();
    printf("release=%lu\n", static_cast<unsigned long>(left));
    Check(left == 0, "last Release returns 0");
    return failures == 0 ? 0 : 1;
}

}  // namespace

// WinExec succeeded when it returned 32 or more.
int RunWinExec(const char* commandLine, bool expectFailure)
{
    UINT result = WinExec(commandLine, SW_SHOW);
    printf("winexec=%u\n", result);
    return ((result >= 32) != expectFailure) ? 0 : 1;
}

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 2 && strcmp(argv[1], "winexec") == 0)
        return RunWinExec(argv[2], argc > 3 && strcmp(argv[3], "expect-failure") == 0);
    bool stream = argc > 1 && strcmp(argv[1], "stream") == 0;
    bool noDevice = argc > 1 && strcmp(argv[1], "nodevice") == 0;
    if (!stream && !noDevice) {
        printf("usage: wine_host nodevice | stream [milliseconds] | winexec \"<command line>\" [expect-failure]\n");
        return 2;
    }
    int milliseconds = argc > 2 ? atoi(argv[2]) : 1500;
    if (milliseconds < 200)
        milliseconds = 200;
    CoInitialize(nullptr);
    int result = Run(stream, milliseconds);
    CoUninitialize();
    printf("failures=%d\n", failures);
    return result;
}
