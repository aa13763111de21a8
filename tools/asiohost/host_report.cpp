#include "host_report.h"

#include "test_signal.h"

#include <cinttypes>

namespace asiohost {

const char* ResultName(ASIOError result)
{
    switch (result) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "unknown result";
    }
}

namespace {

void PrintResultIfNot(std::FILE* out, ASIOError result)
{
    if (result != ASE_OK)
        std::fprintf(out, " [%s]", ResultName(result));
}

}  // namespace

void PrintDescription(std::FILE* out, const std::string& source, const DriverDescription& d, const DriverQueries& q)
{
    std::fprintf(out, "Driver %s\n", source.c_str());
    std::fprintf(out, "  name           %s\n", d.name.c_str());
    std::fprintf(out, "  version        %ld\n", static_cast<long>(d.version));
    std::fprintf(out, "  init           %s (%s)\n", d.init == ASIOTrue ? "ASIOTrue" : "ASIOFalse",
                 d.init == ASIOTrue ? "device present" : "no device");
    std::fprintf(out, "  error message  \"%s\"\n", d.errorMessage.c_str());

    std::fprintf(out, "Channels: %ld in, %ld out", static_cast<long>(q.inputs), static_cast<long>(q.outputs));
    PrintResultIfNot(out, q.channelsResult);
    std::fprintf(out, "\n");
    for (const ChannelDescription& c : q.channels) {
        std::fprintf(out, "  %-6s %2ld  %-14s %s%s", c.isInput ? "input" : "output", static_cast<long>(c.index),
                     ("\"" + c.name + "\"").c_str(), TypeName(c.type), c.isActive == ASIOTrue ? " active" : "");
        PrintResultIfNot(out, c.result);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "Buffer size: min %ld, max %ld, preferred %ld, granularity %ld frames",
                 static_cast<long>(q.minSize), static_cast<long>(q.maxSize), static_cast<long>(q.preferredSize),
                 static_cast<long>(q.granularity));
    PrintResultIfNot(out, q.bufferSizeResult);
    std::fprintf(out, "\nLatencies: input %ld, output %ld frames", static_cast<long>(q.inputLatency),
                 static_cast<long>(q.outputLatency));
    PrintResultIfNot(out, q.latenciesResult);
    std::fprintf(out, "\nSample rate: %.0f Hz", q.sampleRate);
    PrintResultIfNot(out, q.sampleRateResult);
    std::fprintf(out, "\nSample rates:");
    for (const RateAnswer& r : q.rates)
        std::fprintf(out, " %.0f %s;", r.rate, r.result == ASE_OK ? "yes" : ResultName(r.result));
    std::fprintf(out, "\nClock sources:");
    for (const ClockDescription& c : q.clocks)
        std::fprintf(out, " %ld \"%s\"%s", static_cast<long>(c.index), c.name.c_str(), c.current ? " (current)" : "");
    if (q.clocks.empty())
        std::fprintf(out, " none");
    PrintResultIfNot(out, q.clocksResult);
    std::fprintf(out, "\nFeatures (future):");
    for (const FeatureAnswer& f : q.features)
        std::fprintf(out, " %s %s;", f.name, f.result == ASE_SUCCESS ? "yes" : ResultName(f.result));
    std::fprintf(out, "\noutputReady: %s\n", q.outputReadyResult == ASE_OK ? "supported" : ResultName(q.outputReadyResult));
}

void PrintSession(std::FILE* out, size_t number, const SessionReport& s)
{
    const StreamStats& t = s.stats;
    std::fprintf(out, "Stream %zu: %ld-frame buffers, %.0f Hz, %ld in / %ld out, %.1f s, ended by %s\n", number,
                 static_cast<long>(s.bufferSize), s.sampleRate, static_cast<long>(s.inputs),
                 static_cast<long>(s.outputs), s.seconds, s.endedBy.c_str());
    std::fprintf(out, "  createBuffers %s, start %s, stop %s, disposeBuffers %s, last Release %lu\n",
                 ResultName(s.createResult), ResultName(s.startResult), ResultName(s.stopResult),
                 ResultName(s.disposeResult), static_cast<unsigned long>(s.releaseCount));
    if (s.createResult != ASE_OK || s.startResult != ASE_OK)
        return;  // nothing streamed
    std::fprintf(out, "  latencies while streaming: input %ld, output %ld frames", static_cast<long>(s.inputLatency),
                 static_cast<long>(s.outputLatency));
    PrintResultIfNot(out, s.latenciesResult);
    std::fprintf(out, "\n  buffer switches %" PRIu64 ", sample position %" PRIu64 ", missed periods %" PRIu64,
                 t.bufferSwitches, t.samplePosition, t.missedPeriods);
    if (t.missedPeriods > 0)
        std::fprintf(out, " in %" PRIu64 " run(s) (first before position %" PRIu64 ")", t.missEvents, t.firstMissAt);
    std::fprintf(out, "\n");
    std::fprintf(out,
                 "  position: %" PRIu64 " backwards, %" PRIu64 " irregular, %" PRIu64 " query failures; "
                 "time stamp: %" PRIu64 " backwards; half index errors %" PRIu64 "\n",
                 t.positionBackwards, t.positionIrregular, t.positionErrors, t.timeStampBackwards, t.halfIndexErrors);
    if (s.checkedChannels == 0) {
        std::fprintf(out, "  loopback: no channel pair to check\n");
    } else if (t.loopbackDelay < 0) {
        std::fprintf(out, "  loopback: the signal never came back on input 0 (not a loopback device?)\n");
    } else {
        std::fprintf(out,
                     "  loopback: delay %" PRId64 " frames, first frame back %" PRId64 ", %" PRIu64
                     " samples verified on %d channel(s), %" PRIu64 " mismatched in %" PRIu64 " period(s)\n",
                     t.loopbackDelay, t.firstFrameSeen, t.samplesVerified, s.checkedChannels, t.sampleMismatches,
                     t.mismatchedPeriods);
        if (t.dropoutSamples > 0)
            std::fprintf(out,
                         "  %" PRIu64 " wrong sample(s) in dropouts (missed periods; %" PRIu64 " of %" PRIu64
                         " late host calls lost output)\n",
                         t.dropoutSamples, t.lateDropouts, t.lateSwitches);
        if (t.delayChanges > 0)
            std::fprintf(out, "  %" PRIu64 " buffer(s) came back at another delay (audio replayed or skipped); "
                         "the delay ends at %" PRId64 " frames\n", t.delayChanges, t.finalDelay);
        if (t.firstMismatch.channel >= 0)
            std::fprintf(out, "  first mismatch: input %d, frame %" PRId64 ", expected 0x%08x, got 0x%08x\n",
                         t.firstMismatch.channel, t.firstMismatch.frame, t.firstMismatch.expected, t.firstMismatch.got);
    }
}

void PrintRateSwitch(std::FILE* out, const RateSwitchReport& r)
{
    if (!r.attempted)
        return;
    std::fprintf(out, "Rate switch %.0f -> %.0f Hz: canSampleRate %s, setSampleRate %s; reset request %s%s; now %.0f Hz\n",
                 r.before, r.requested, ResultName(r.canResult), ResultName(r.setResult),
                 r.resetRequested ? "received" : "not received",
                 r.resetRequested ? (r.resetHandled ? ", handled (new driver object)" : ", NOT handled") : "", r.after);
}

void JsonDescription(JsonWriter& json, const DriverDescription& d, const DriverQueries& q)
{
    json.BeginObject("driver");
    json.String("name", d.name);
    json.Int("version", d.version);
    json.Bool("init", d.init == ASIOTrue);
    json.String("error_message", d.errorMessage);
    json.EndObject();
    json.Bool("device_present", d.init == ASIOTrue);

    json.BeginObject("channels");
    json.String("result", ResultName(q.channelsResult));
    json.Int("inputs", q.inputs);
    json.Int("outputs", q.outputs);
    json.BeginArray("list");
    for (const ChannelDescription& c : q.channels) {
        json.BeginObject();
        json.Bool("input", c.isInput);
        json.Int("index", c.index);
        json.String("name", c.name);
        json.String("type", TypeName(c.type));
        json.Int("type_code", c.type);
        json.Bool("active", c.isActive == ASIOTrue);
        json.Int("group", c.group);
        json.String("result", ResultName(c.result));
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();

    json.BeginObject("buffer_size");
    json.String("result", ResultName(q.bufferSizeResult));
    json.Int("min", q.minSize);
    json.Int("max", q.maxSize);
    json.Int("preferred", q.preferredSize);
    json.Int("granularity", q.granularity);
    json.EndObject();

    json.BeginObject("latencies");
    json.String("result", ResultName(q.latenciesResult));
    json.Int("input", q.inputLatency);
    json.Int("output", q.outputLatency);
    json.EndObject();

    json.BeginObject("sample_rate");
    json.String("result", ResultName(q.sampleRateResult));
    json.Number("hz", q.sampleRate);
    json.EndObject();

    json.BeginArray("sample_rates");
    for (const RateAnswer& r : q.rates) {
        json.BeginObject();
        json.Number("hz", r.rate);
        json.Bool("supported", r.result == ASE_OK);
        json.String("result", ResultName(r.result));
        json.EndObject();
    }
    json.EndArray();

    json.BeginObject("clock_sources");
    json.String("result", ResultName(q.clocksResult));
    json.BeginArray("list");
    for (const ClockDescription& c : q.clocks) {
        json.BeginObject();
        json.Int("index", c.index);
        json.String("name", c.name);
        json.Bool("current", c.current);
        json.Int("associated_channel", c.associatedChannel);
        json.Int("associated_group", c.associatedGroup);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();

    json.BeginObject("features");
    for (const FeatureAnswer& f : q.features)
        json.Bool(f.name, f.result == ASE_SUCCESS);
    json.EndObject();
    json.Bool("output_ready", q.outputReadyResult == ASE_OK);
}

void JsonSession(JsonWriter& json, const SessionReport& s)
{
    const StreamStats& t = s.stats;
    json.BeginObject();
    json.Number("sample_rate", s.sampleRate);
    json.Int("buffer_size", s.bufferSize);
    json.Int("inputs", s.inputs);
    json.Int("outputs", s.outputs);
    json.Number("seconds", s.seconds);
    json.String("ended_by", s.endedBy);
    json.String("create_buffers", ResultName(s.createResult));
    json.String("start", ResultName(s.startResult));
    json.String("stop", ResultName(s.stopResult));
    json.String("dispose_buffers", ResultName(s.disposeResult));
    json.Uint("release_count", s.releaseCount);
    json.BeginObject("latencies");
    json.String("result", ResultName(s.latenciesResult));
    json.Int("input", s.inputLatency);
    json.Int("output", s.outputLatency);
    json.EndObject();
    json.Uint("buffer_switches", t.bufferSwitches);
    json.Uint("sample_position", t.samplePosition);
    json.Uint("time_stamp_ns", t.timeStampNs);
    json.Uint("missed_periods", t.missedPeriods);
    json.Uint("missed_runs", t.missEvents);
    json.Uint("first_miss_position", t.firstMissAt);
    json.Uint("position_backwards", t.positionBackwards);
    json.Uint("position_irregular", t.positionIrregular);
    json.Uint("position_query_failures", t.positionErrors);
    json.Uint("time_stamp_backwards", t.timeStampBackwards);
    json.Uint("half_index_errors", t.halfIndexErrors);
    json.Uint("indirect_process_calls", t.indirectCalls);
    json.BeginObject("loopback");
    json.Int("checked_channels", s.checkedChannels);
    json.Bool("detected", t.loopbackDelay >= 0);
    json.Int("delay_frames", t.loopbackDelay);
    json.Int("first_frame_back", t.firstFrameSeen);
    json.Uint("delay_changes", t.delayChanges);
    json.Int("final_delay_frames", t.finalDelay);
    json.Uint("samples_verified", t.samplesVerified);
    json.Uint("sample_mismatches", t.sampleMismatches);
    json.Uint("mismatched_periods", t.mismatchedPeriods);
    json.Uint("dropout_samples", t.dropoutSamples);
    json.Uint("late_switches", t.lateSwitches);
    json.Uint("late_dropouts", t.lateDropouts);
    json.Int("lost_at_start", t.lostAtStart);
    json.Uint("non_zero_before_signal", t.nonZeroBeforeSignal);
    if (t.firstMismatch.channel >= 0) {
        json.BeginObject("first_mismatch");
        json.Int("channel", t.firstMismatch.channel);
        json.Int("frame", t.firstMismatch.frame);
        json.Uint("expected", t.firstMismatch.expected);
        json.Uint("got", t.firstMismatch.got);
        json.EndObject();
    } else {
        json.Null("first_mismatch");
    }
    json.EndObject();
    json.EndObject();
}

void JsonRateSwitch(JsonWriter& json, const RateSwitchReport& r)
{
    if (!r.attempted) {
        json.Null("rate_switch");
        return;
    }
    json.BeginObject("rate_switch");
    json.Number("from_hz", r.before);
    json.Number("requested_hz", r.requested);
    json.String("can_sample_rate", ResultName(r.canResult));
    json.String("set_sample_rate", ResultName(r.setResult));
    json.Bool("reset_requested", r.resetRequested);
    json.Bool("reset_handled", r.resetHandled);
    json.Number("sample_rate_after", r.after);
    json.EndObject();
}

}  // namespace asiohost
