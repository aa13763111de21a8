// asiohost: loads the BRIXEN ASIO driver as an ASIO host does, prints what the driver
// says about itself and the device, streams a known signal through every channel and,
// on a loopback device, checks that every captured sample is what was played.
#include "asio.h"
#include "host_os.h"
#include "host_report.h"
#include "json_writer.h"
#include "stream_check.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The driver's class identifier as hosts know it (from the registry or their own headers).
// {6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}
const CLSID CLSID_Brixen = {0x6B3E91C4, 0x52D7, 0x4A0F, {0x9E, 0x21, 0xC5, 0xA8, 0xD0, 0x4F, 0x7B, 0x36}};

namespace asiohost {
namespace {

const double kCommonRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

struct Options {
    std::string driver;
    double seconds = 3;
    LONG buffer = 0;        // 0: the driver's preferred size
    double rate = 0;        // 0: no frequency change
    bool json = false;
    bool stream = true;
    bool requireLoopback = false;
    std::int64_t corruptFrame = -1;  // --self-test-corrupt: proves that the check catches one bad sample
    double allowedDropoutPercent = 0;  // --allow-dropouts: dropouts tolerated, in % of all periods
    std::int64_t stallFrame = -1;     // --self-test-stall: one host call overruns (a dropout on purpose)
    double stallMs = 0;
};

// ---- Host callbacks ------------------------------------------------------------------
// Plain functions, as ASIOCallbacks requires; what they learn goes into atomics that the
// main thread reads. Reset requests are only noted here and handled on the main thread.

StreamChecker checker;

struct Messages {
    std::atomic<int> resetRequests{0}, resyncRequests{0}, latencyChanges{0}, bufferSizeChanges{0},
        sampleRateChanges{0}, otherSelectors{0};
} messages;

void OnBufferSwitch(LONG index, ASIOBool directProcess)
{
    checker.OnBufferSwitch(index, directProcess);
}

ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool directProcess)
{
    checker.OnBufferSwitch(index, directProcess);
    return params;
}

void OnSampleRateDidChange(ASIOSampleRate)
{
    messages.sampleRateChanges.fetch_add(1);
}

LONG OnAsioMessage(LONG selector, LONG value, void*, double*)
{
    switch (selector) {
    case kAsioSelectorSupported:
        return (value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioResyncRequest ||
                value == kAsioLatenciesChanged)
                   ? 1
                   : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioResetRequest:
        // The stream is about to be torn down: what arrives from now on is not checked.
        checker.SetChecking(false);
        messages.resetRequests.fetch_add(1);
        return 1;
    case kAsioResyncRequest:
        messages.resyncRequests.fetch_add(1);
        return 1;
    case kAsioLatenciesChanged:
        messages.latencyChanges.fetch_add(1);
        return 1;
    case kAsioBufferSizeChange:
        messages.bufferSizeChanges.fetch_add(1);
        return 0;  // not supported: the driver then asks for a reset
    default:
        messages.otherSelectors.fetch_add(1);
        return 0;
    }
}

ASIOCallbacks callbacks = {&OnBufferSwitch, &OnSampleRateDidChange, &OnAsioMessage, &OnBufferSwitchTimeInfo};

// ---- Command line --------------------------------------------------------------------

const char* kUsage =
    "usage: asiohost [--driver PATH] [--seconds S] [--buffer N] [--rate HZ] [--json]\n"
    "                [--no-stream] [--loopback] [--allow-dropouts PERCENT] [--help]\n"
    "  --driver PATH  driver library to load (default: the BRIXEN driver built beside the tool;\n"
    "                 on Windows: the registered driver, through COM)\n"
    "  --seconds S    how long to stream (default 3)\n"
    "  --buffer N     buffer size in frames (default: the driver's preferred size)\n"
    "  --rate HZ      switch to this sampling frequency halfway through the stream\n"
    "                 (with --no-stream: right after the queries)\n"
    "  --json         print a JSON summary on standard output; the text goes to standard error\n"
    "  --no-stream    only describe the driver and answer the queries\n"
    "  --loopback     fail unless the played signal comes back on the inputs\n"
    "  --allow-dropouts PERCENT  tolerate dropouts up to this share of all periods: a dropout is\n"
    "                 a run of missed periods, or a host call so late that its output came back\n"
    "                 wrong (default 0: every dropout fails; their frames are never compared)\n"
    "  --self-test-corrupt F  play one wrong sample on output 0 at frame F (the check must catch it)\n"
    "  --self-test-stall F MS  overrun the host call of frame F's period by MS milliseconds\n"
    "                 (a dropout on purpose: it must be reported, and only as a dropout)\n"
    "The device comes from the simulator configuration named by NXKD_SIM (Linux builds).\n"
    "Every captured sample must equal what was played, at one constant delay.\n"
    "Exit status: 0 all checks passed, 1 a check failed, 2 usage error.\n";

bool ParseNumber(const char* text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == 0;
}

// Returns -1 when the options are fine, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](double* number) {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], number) || *number <= 0) {
                std::fprintf(stderr, "asiohost: %s needs a positive number\n%s", a.c_str(), kUsage);
                return false;
            }
            ++i;
            return true;
        };
        double number = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--driver") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "asiohost: --driver needs a path\n%s", kUsage);
                return 2;
            }
            o->driver = argv[++i];
        } else if (a == "--seconds") {
            if (!value(&number))
                return 2;
            o->seconds = number;
        } else if (a == "--buffer") {
            if (!value(&number) || number != static_cast<double>(static_cast<LONG>(number))) {
                std::fprintf(stderr, "asiohost: --buffer needs a whole number of frames\n");
                return 2;
            }
            o->buffer = static_cast<LONG>(number);
        } else if (a == "--rate") {
            if (!value(&number))
                return 2;
            o->rate = number;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "--no-stream") {
            o->stream = false;
        } else if (a == "--loopback") {
            o->requireLoopback = true;
        } else if (a == "--allow-dropouts") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], &number) || number < 0 || number > 100) {
                std::fprintf(stderr, "asiohost: --allow-dropouts needs a percentage from 0 to 100\n%s", kUsage);
                return 2;
            }
            o->allowedDropoutPercent = number;
            ++i;
        } else if (a == "--self-test-stall") {
            double ms = 0;
            if (i + 2 >= argc || !ParseNumber(argv[i + 1], &number) || number <= 0 ||
                !ParseNumber(argv[i + 2], &ms) || ms <= 0 || ms > 10000) {
                std::fprintf(stderr, "asiohost: --self-test-stall needs a frame and a duration in ms\n%s", kUsage);
                return 2;
            }
            o->stallFrame = static_cast<std::int64_t>(number);
            o->stallMs = ms;
            i += 2;
        } else if (a == "--self-test-corrupt") {
            if (!value(&number))
                return 2;
            o->corruptFrame = static_cast<std::int64_t>(number);
        } else {
            std::fprintf(stderr, "asiohost: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return -1;
}

// ---- Queries -------------------------------------------------------------------------

DriverDescription Describe(IASIO* driver)
{
    DriverDescription d;
    char name[33] = {};
    driver->getDriverName(name);
    name[32] = 0;
    d.name = name;
    d.version = driver->getDriverVersion();
    d.init = driver->init(nullptr);
    char message[128] = {};
    driver->getErrorMessage(message);
    message[124] = 0;
    d.errorMessage = message;
    return d;
}

DriverQueries Query(IASIO* driver)
{
    DriverQueries q;
    q.channelsResult = driver->getChannels(&q.inputs, &q.outputs);
    for (int direction = 1; direction >= 0; --direction) {
        const LONG count = direction ? q.inputs : q.outputs;
        for (LONG i = 0; i < count && i < 512; ++i) {
            ASIOChannelInfo info = {};
            info.channel = i;
            info.isInput = direction;
            ChannelDescription c;
            c.isInput = direction != 0;
            c.index = i;
            c.result = driver->getChannelInfo(&info);
            c.isActive = info.isActive;
            c.group = info.channelGroup;
            c.type = info.type;
            info.name[sizeof info.name - 1] = 0;
            c.name = info.name;
            q.channels.push_back(c);
        }
    }
    q.bufferSizeResult = driver->getBufferSize(&q.minSize, &q.maxSize, &q.preferredSize, &q.granularity);
    q.latenciesResult = driver->getLatencies(&q.inputLatency, &q.outputLatency);
    q.sampleRateResult = driver->getSampleRate(&q.sampleRate);
    for (double rate : kCommonRates)
        q.rates.push_back({rate, driver->canSampleRate(rate)});
    ASIOClockSource clocks[8] = {};
    LONG count = 8;
    q.clocksResult = driver->getClockSources(clocks, &count);
    if (q.clocksResult == ASE_OK) {
        for (LONG i = 0; i < count && i < 8; ++i) {
            clocks[i].name[sizeof clocks[i].name - 1] = 0;
            q.clocks.push_back({clocks[i].index, clocks[i].associatedChannel, clocks[i].associatedGroup,
                                clocks[i].isCurrentSource == ASIOTrue, clocks[i].name});
        }
    }
    static const struct {
        LONG selector;
        const char* name;
    } kFeatures[] = {{kAsioCanInputMonitor, "InputMonitor"}, {kAsioCanTimeInfo, "TimeInfo"},
                     {kAsioCanTimeCode, "TimeCode"},         {kAsioCanTransport, "Transport"},
                     {kAsioCanInputGain, "InputGain"},       {kAsioCanInputMeter, "InputMeter"},
                     {kAsioCanOutputGain, "OutputGain"},     {kAsioCanOutputMeter, "OutputMeter"}};
    for (const auto& f : kFeatures)
        q.features.push_back({f.name, driver->future(f.selector, nullptr)});
    q.outputReadyResult = driver->outputReady();
    return q;
}

// ---- Streaming -----------------------------------------------------------------------

// One driver object with buffers: created at the start and again after each reset.
struct Session {
    IASIO* driver = nullptr;
    StreamLayout layout;
    std::vector<ASIOBufferInfo> infos;
    std::uint64_t startMs = 0;
    bool buffersCreated = false;
    bool started = false;
    SessionReport report;
};

class Host {
public:
    Host(const Options& options, DriverLoader& driverLoader, std::FILE* text)
        : o(options), loader(driverLoader), out(text)
    {
    }

    // Streams for the whole run, resetting as the driver asks. Returns false on a failure
    // that ends the run early; checks of what was streamed are judged afterwards.
    bool Run(IASIO* first);

    std::vector<SessionReport> sessions;
    RateSwitchReport rateSwitch;
    std::vector<std::string> failures;

private:
    bool Open(Session& s, IASIO* driver);
    void Close(Session& s, const char* endedBy);
    void SwitchRate(Session& s);
    void Progress(double elapsed, bool final);

    const Options& o;
    DriverLoader& loader;
    std::FILE* out;
    int resetsHandled = 0;
    bool progressShown = false;
};

bool Host::Open(Session& s, IASIO* driver)
{
    s = Session();
    s.driver = driver;
    SessionReport& r = s.report;
    if (driver->init(nullptr) != ASIOTrue) {
        failures.push_back("init returned ASIOFalse for the new driver object");
        return false;
    }
    driver->getChannels(&r.inputs, &r.outputs);
    LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    r.bufferSize = o.buffer > 0 ? o.buffer : preferred;
    driver->getSampleRate(&r.sampleRate);

    s.layout.driver = driver;
    s.layout.bufferSize = r.bufferSize;
    s.layout.corruptFrame = sessions.empty() ? o.corruptFrame : -1;
    s.layout.stallFrame = sessions.empty() ? o.stallFrame : -1;
    s.layout.stallMs = o.stallMs;
    s.layout.postOutput = driver->outputReady() == ASE_OK;
    s.layout.periodNs = r.sampleRate > 0 ? static_cast<double>(r.bufferSize) * 1e9 / r.sampleRate : 0;
    for (int direction = 1; direction >= 0; --direction) {
        const LONG count = direction ? r.inputs : r.outputs;
        for (LONG i = 0; i < count; ++i) {
            ASIOBufferInfo b = {};
            b.isInput = direction;
            b.channelNum = i;
            s.infos.push_back(b);
        }
    }
    r.createResult = driver->createBuffers(s.infos.data(), static_cast<LONG>(s.infos.size()), r.bufferSize, &callbacks);
    if (r.createResult != ASE_OK) {
        failures.push_back(std::string("createBuffers(") + std::to_string(r.bufferSize) + ") returned " +
                           ResultName(r.createResult));
        return false;
    }
    s.buffersCreated = true;
    for (const ASIOBufferInfo& b : s.infos) {
        ASIOChannelInfo info = {};
        info.channel = b.channelNum;
        info.isInput = b.isInput;
        driver->getChannelInfo(&info);
        ChannelBuffer c;
        c.type = info.type;
        c.format = FormatOf(info.type);
        c.half[0] = static_cast<unsigned char*>(b.buffers[0]);
        c.half[1] = static_cast<unsigned char*>(b.buffers[1]);
        if (c.half[0] == nullptr || c.half[1] == nullptr) {
            failures.push_back(std::string("createBuffers gave no buffer for ") + (b.isInput ? "input " : "output ") +
                               std::to_string(b.channelNum));
            c.format = SampleFormat();
        }
        (b.isInput ? s.layout.inputs : s.layout.outputs).push_back(c);
    }
    // Input k is compared with output k while both carry the same integer format.
    const size_t pairs = std::min(s.layout.inputs.size(), s.layout.outputs.size());
    while (static_cast<size_t>(s.layout.checkedChannels) < pairs) {
        const ChannelBuffer& in = s.layout.inputs[static_cast<size_t>(s.layout.checkedChannels)];
        const ChannelBuffer& outBuffer = s.layout.outputs[static_cast<size_t>(s.layout.checkedChannels)];
        if (!in.format.integer || in.format.bytes != outBuffer.format.bytes || in.format.bits != s.layout.outputs[0].format.bits)
            break;
        ++s.layout.checkedChannels;
    }
    s.layout.bits = s.layout.outputs.empty() ? 0 : s.layout.outputs[0].format.bits;
    r.checkedChannels = s.layout.checkedChannels;
    r.latenciesResult = driver->getLatencies(&r.inputLatency, &r.outputLatency);

    checker.Prepare(&s.layout);
    s.startMs = NowMs();
    r.startResult = driver->start();
    if (r.startResult != ASE_OK) {
        failures.push_back(std::string("start returned ") + ResultName(r.startResult));
        return false;
    }
    s.started = true;
    return true;
}

void Host::Close(Session& s, const char* endedBy)
{
    SessionReport& r = s.report;
    if (s.driver == nullptr)
        return;
    if (s.started) {
        r.stopResult = s.driver->stop();
        if (r.stopResult != ASE_OK)
            failures.push_back(std::string("stop returned ") + ResultName(r.stopResult));
    }
    r.seconds = static_cast<double>(NowMs() - s.startMs) / 1000.0;
    r.stats = checker.Snapshot();
    if (s.buffersCreated) {
        r.disposeResult = s.driver->disposeBuffers();
        if (r.disposeResult != ASE_OK)
            failures.push_back(std::string("disposeBuffers returned ") + ResultName(r.disposeResult));
    }
    r.releaseCount = s.driver->Release();
    s.driver = nullptr;
    checker.Prepare(nullptr);
    r.endedBy = endedBy;
    sessions.push_back(r);
}

void Host::SwitchRate(Session& s)
{
    rateSwitch.attempted = true;
    rateSwitch.requested = o.rate;
    s.driver->getSampleRate(&rateSwitch.before);
    rateSwitch.canResult = s.driver->canSampleRate(o.rate);
    const int resetsBefore = messages.resetRequests.load();
    checker.SetChecking(false);  // the frequency changes under the running stream
    rateSwitch.setResult = s.driver->setSampleRate(o.rate);
    rateSwitch.resetRequested = messages.resetRequests.load() != resetsBefore;
    s.driver->getSampleRate(&rateSwitch.after);
    if (!rateSwitch.resetRequested)
        checker.SetChecking(true);
    if (rateSwitch.canResult == ASE_OK && rateSwitch.setResult != ASE_OK)
        failures.push_back(std::string("setSampleRate refused a frequency canSampleRate accepted: ") +
                           ResultName(rateSwitch.setResult));
}

void Host::Progress(double elapsed, bool final)
{
    const StreamStats t = checker.Snapshot();
    std::fprintf(out,
                 "\r  %5.1f s  switches %-8" PRIu64 " position %-10" PRIu64 " missed %-4" PRIu64 " verified %-10" PRIu64
                 " mismatched %-6" PRIu64 " resets %d ",
                 elapsed, t.bufferSwitches, t.samplePosition, t.missedPeriods, t.samplesVerified,
                 t.sampleMismatches, resetsHandled);
    if (final)
        std::fprintf(out, "\n");
    std::fflush(out);
    progressShown = true;
}

bool Host::Run(IASIO* first)
{
    Session s;
    if (!Open(s, first)) {
        Close(s, "failure");
        return false;
    }
    const bool showProgress = IsTerminal(out == stderr);
    const std::uint64_t begin = NowMs();
    const std::uint64_t runMs = static_cast<std::uint64_t>(o.seconds * 1000.0);
    const bool wantSwitch = o.rate > 0;
    std::uint64_t nextProgress = 1000;
    for (;;) {
        SleepMs(10);
        const std::uint64_t elapsed = NowMs() - begin;
        if (elapsed >= runMs)
            break;
        if (wantSwitch && !rateSwitch.attempted && elapsed >= runMs / 2)
            SwitchRate(s);
        if (messages.resetRequests.load() > resetsHandled) {
            // As a host does: stop, dispose, release the object, create a new one, go on.
            resetsHandled = messages.resetRequests.load();
            if (progressShown)
                std::fprintf(out, "\n");
            Close(s, "reset request");
            std::string error;
            IASIO* next = loader.Create(&error);
            if (next == nullptr) {
                failures.push_back("cannot create a new driver object after a reset request: " + error);
                return false;
            }
            if (!Open(s, next)) {
                Close(s, "failure");
                return false;
            }
            if (rateSwitch.attempted && rateSwitch.resetRequested) {
                rateSwitch.resetHandled = true;
                rateSwitch.after = s.report.sampleRate;
            }
        }
        if (showProgress && elapsed >= nextProgress) {
            Progress(static_cast<double>(elapsed) / 1000.0, false);
            nextProgress += 1000;
        }
    }
    if (showProgress)
        Progress(static_cast<double>(NowMs() - begin) / 1000.0, true);
    Close(s, "end of run");
    return true;
}

// ---- Judgement -----------------------------------------------------------------------

std::string FormatPercent(double percent)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g%%", percent);
    return text;
}

void JudgeSession(const SessionReport& s, size_t number, bool requireLoopback, double allowedDropoutPercent,
                  std::vector<std::string>* failures, std::vector<std::string>* notes)
{
    const StreamStats& t = s.stats;
    const std::string where = "stream " + std::to_string(number) + ": ";
    auto fail = [&](const std::string& what) { failures->push_back(where + what); };
    if (s.startResult != ASE_OK || s.createResult != ASE_OK)
        return;  // already reported
    if (t.bufferSwitches == 0)
        fail("no buffer switch");
    // A professional host flags every dropout; --allow-dropouts gives machines whose
    // scheduling cannot hold the smallest buffers a budget. A dropout is one run of missed
    // periods or one late host call whose output came back wrong; its frames are accounted.
    const double periods = static_cast<double>(t.bufferSwitches + t.missedPeriods);
    const std::uint64_t dropouts = t.missEvents + t.lateDropouts;
    const std::string what = std::to_string(dropouts) + " dropout(s): " + std::to_string(t.missedPeriods) +
                             " missed period(s) in " + std::to_string(t.missEvents) + " run(s), " +
                             std::to_string(t.lateDropouts) + " late period(s) with lost output";
    if (static_cast<double>(dropouts) > periods * allowedDropoutPercent / 100.0)
        fail(what);
    else if (dropouts > 0)
        notes->push_back(where + what + ", within the allowed " + FormatPercent(allowedDropoutPercent) +
                         " of the periods");
    if (t.positionBackwards > 0 || t.positionIrregular > 0)
        fail("sample position did not advance by whole buffers (" + std::to_string(t.positionBackwards) +
             " backwards, " + std::to_string(t.positionIrregular) + " irregular)");
    if (t.positionErrors > 0)
        fail("getSamplePosition failed " + std::to_string(t.positionErrors) + " time(s)");
    if (t.timeStampBackwards > 0)
        fail("time stamp went backwards " + std::to_string(t.timeStampBackwards) + " time(s)");
    if (t.halfIndexErrors > 0)
        fail(std::to_string(t.halfIndexErrors) + " buffer switch(es) with the wrong half index");
    if (t.indirectCalls > 0)
        fail(std::to_string(t.indirectCalls) + " buffer switch(es) with directProcess ASIOFalse");
    if (s.releaseCount != 0)
        fail("the last Release returned " + std::to_string(s.releaseCount) + ", not 0");
    if (t.loopbackDelay >= 0) {
        if (t.sampleMismatches > 0)
            fail(std::to_string(t.sampleMismatches) + " of " + std::to_string(t.samplesVerified) +
                 " captured samples differ from what was played");
        if (t.finalDelay != t.loopbackDelay)
            fail("the loopback delay changed from " + std::to_string(t.loopbackDelay) + " to " +
                 std::to_string(t.finalDelay) + " frames");
        if (t.lostAtStart > 0)
            fail("the first " + std::to_string(t.lostAtStart) + " played frame(s) never came back");
        if (t.nonZeroBeforeSignal > 0)
            fail(std::to_string(t.nonZeroBeforeSignal) + " non-zero captured sample(s) before the signal arrived");
    } else if (requireLoopback && s.endedBy == "end of run") {
        fail(s.checkedChannels == 0 ? "no input/output pair with a checkable sample format"
                                    : "the played signal never came back on input 0");
    }
}

int Main(int argc, char** argv)
{
    Options o;
    const int parsed = ParseOptions(argc, argv, &o);
    if (parsed >= 0)
        return parsed;
    std::FILE* out = o.json ? stderr : stdout;
    JsonWriter json;
    json.BeginObject();
    std::vector<std::string> failures;
    std::vector<std::string> notes;

    DriverLoader loader;
    std::string error;
    IASIO* driver = nullptr;
    if (loader.Open(o.driver, argc > 0 ? argv[0] : nullptr, &error))
        driver = loader.Create(&error);
    json.String("driver_source", loader.Source());
    if (driver == nullptr) {
        std::fprintf(out, "asiohost: %s\n", error.c_str());
        failures.push_back(error);
        json.Null("driver");
    } else {
        const DriverDescription d = Describe(driver);
        const DriverQueries q = Query(driver);
        PrintDescription(out, loader.Source(), d, q);
        JsonDescription(json, d, q);

        Host host(o, loader, out);
        const bool present = d.init == ASIOTrue;
        if (o.stream && present) {
            host.Run(driver);  // streams on this object first and releases it
            driver = nullptr;
            for (size_t i = 0; i < host.sessions.size(); ++i) {
                PrintSession(out, i + 1, host.sessions[i]);
                JudgeSession(host.sessions[i], i + 1, o.requireLoopback, o.allowedDropoutPercent, &host.failures,
                             &notes);
            }
            if (o.rate > 0) {
                PrintRateSwitch(out, host.rateSwitch);
                if (host.rateSwitch.resetRequested && !host.rateSwitch.resetHandled)
                    host.failures.push_back("the reset request after the rate switch was not handled");
            }
        } else if (o.rate > 0) {
            RateSwitchReport& r = host.rateSwitch;
            r.attempted = true;
            r.requested = o.rate;
            driver->getSampleRate(&r.before);
            r.canResult = driver->canSampleRate(o.rate);
            r.setResult = driver->setSampleRate(o.rate);
            driver->getSampleRate(&r.after);
            r.resetRequested = messages.resetRequests.load() > 0;
            PrintRateSwitch(out, r);
            if (present && r.canResult == ASE_OK && r.setResult != ASE_OK)
                host.failures.push_back(std::string("setSampleRate refused a frequency canSampleRate accepted: ") +
                                        ResultName(r.setResult));
        }
        if (o.stream && !present)
            std::fprintf(out, "No device: nothing to stream.\n");
        if (messages.resetRequests.load() + messages.resyncRequests.load() + messages.latencyChanges.load() +
                messages.bufferSizeChanges.load() + messages.sampleRateChanges.load() + messages.otherSelectors.load() >
            0)
            std::fprintf(out, "Host messages: %d reset request(s), %d resync, %d latency change(s), "
                              "%d buffer size change(s), %d sample rate change(s), %d other\n",
                         messages.resetRequests.load(), messages.resyncRequests.load(), messages.latencyChanges.load(),
                         messages.bufferSizeChanges.load(), messages.sampleRateChanges.load(),
                         messages.otherSelectors.load());

        json.BeginArray("streams");
        for (const SessionReport& s : host.sessions)
            JsonSession(json, s);
        json.EndArray();
        JsonRateSwitch(json, host.rateSwitch);
        json.BeginObject("host_messages");
        json.Int("reset_requests", messages.resetRequests.load());
        json.Int("resync_requests", messages.resyncRequests.load());
        json.Int("latency_changes", messages.latencyChanges.load());
        json.Int("buffer_size_changes", messages.bufferSizeChanges.load());
        json.Int("sample_rate_changes", messages.sampleRateChanges.load());
        json.Int("other_selectors", messages.otherSelectors.load());
        json.EndObject();

        if (driver != nullptr) {
            const ULONG left = driver->Release();
            if (left != 0)
                host.failures.push_back("the driver object's last Release returned " + std::to_string(left));
        }
        const long unload = loader.CanUnloadNow();
        if (unload >= 0) {
            json.Bool("can_unload_now", unload == S_OK);
            if (unload != S_OK)
                host.failures.push_back("DllCanUnloadNow does not allow unloading after every object was released");
        }
        failures.insert(failures.end(), host.failures.begin(), host.failures.end());
    }

    json.BeginArray("notes");
    for (const std::string& n : notes)
        json.String(nullptr, n);
    json.EndArray();
    json.Bool("passed", failures.empty());
    json.BeginArray("failures");
    for (const std::string& f : failures)
        json.String(nullptr, f);
    json.EndArray();
    json.EndObject();

    for (const std::string& n : notes)
        std::fprintf(out, "NOTE: %s\n", n.c_str());
    for (const std::string& f : failures)
        std::fprintf(out, "FAILED: %s\n", f.c_str());
    std::fprintf(out, "Result: %s\n", failures.empty() ? "PASS" : "FAIL");
    if (o.json)
        std::printf("%s\n", json.Text().c_str());
    loader.Close();
    return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace asiohost

int main(int argc, char** argv)
{
    return asiohost::Main(argc, argv);
}
