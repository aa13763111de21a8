#include "stream_check.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace asiohost {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;

std::uint64_t Join(ULONG hi, ULONG lo)
{
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
}  // namespace

void StreamChecker::Prepare(const StreamLayout* next)
{
    for (auto* counter : {&bufferSwitches, &samplePosition, &timeStampNs, &missedPeriods, &positionErrors,
                          &positionBackwards, &positionIrregular, &timeStampBackwards, &halfIndexErrors,
                          &indirectCalls, &samplesVerified, &sampleMismatches, &mismatchedPeriods, &nonZeroBeforeSignal,
                          &firstMissAt, &delayChanges, &dropoutSamples, &lateSwitches, &lateDropouts,
                          &missEvents})
        counter->store(0, kRelaxed);
    loopbackDelay.store(-1, kRelaxed);
    initialDelay.store(-1, kRelaxed);
    firstFrameSeen.store(-1, kRelaxed);
    mismatchClaimed.store(false, kRelaxed);
    mismatchReady.store(false, kRelaxed);
    mismatch = Mismatch();
    lostAtStart.store(0, kRelaxed);
    for (int i = 0; i < kDropouts; ++i) {
        dropoutBegin[i] = dropoutEnd[i] = 0;
        dropoutLate[i] = dropoutSeen[i] = false;
    }
    dropoutNext = 0;
    haveAnchor = false;
    checking.store(true, kRelaxed);
    layout.store(next, std::memory_order_release);
}

StreamStats StreamChecker::Snapshot() const
{
    StreamStats s;
    s.bufferSwitches = bufferSwitches.load(kRelaxed);
    s.samplePosition = samplePosition.load(kRelaxed);
    s.timeStampNs = timeStampNs.load(kRelaxed);
    s.missedPeriods = missedPeriods.load(kRelaxed);
    s.missEvents = missEvents.load(kRelaxed);
    s.firstMissAt = firstMissAt.load(kRelaxed);
    s.positionErrors = positionErrors.load(kRelaxed);
    s.positionBackwards = positionBackwards.load(kRelaxed);
    s.positionIrregular = positionIrregular.load(kRelaxed);
    s.timeStampBackwards = timeStampBackwards.load(kRelaxed);
    s.halfIndexErrors = halfIndexErrors.load(kRelaxed);
    s.indirectCalls = indirectCalls.load(kRelaxed);
    s.loopbackDelay = initialDelay.load(kRelaxed);
    s.finalDelay = loopbackDelay.load(kRelaxed);
    s.delayChanges = delayChanges.load(kRelaxed);
    s.firstFrameSeen = firstFrameSeen.load(kRelaxed);
    s.samplesVerified = samplesVerified.load(kRelaxed);
    s.sampleMismatches = sampleMismatches.load(kRelaxed);
    s.mismatchedPeriods = mismatchedPeriods.load(kRelaxed);
    s.dropoutSamples = dropoutSamples.load(kRelaxed);
    s.lateSwitches = lateSwitches.load(kRelaxed);
    s.lateDropouts = lateDropouts.load(kRelaxed);
    s.lostAtStart = lostAtStart.load(kRelaxed);
    s.nonZeroBeforeSignal = nonZeroBeforeSignal.load(kRelaxed);
    if (mismatchReady.load(std::memory_order_acquire))
        s.firstMismatch = mismatch;
    return s;
}

void StreamChecker::OnBufferSwitch(LONG index, ASIOBool directProcess)
{
    const StreamLayout* l = layout.load(std::memory_order_acquire);
    if (l == nullptr || l->bufferSize <= 0)
        return;
    if (index != 0 && index != 1) {  // no such half: nothing to fill or read
        halfIndexErrors.fetch_add(1, kRelaxed);
        return;
    }
    const std::uint64_t n = static_cast<std::uint64_t>(l->bufferSize);
    bufferSwitches.fetch_add(1, kRelaxed);
    if (directProcess != ASIOTrue)
        indirectCalls.fetch_add(1, kRelaxed);

    // The position after this switch: the buffers hold the frames just before it.
    const std::uint64_t previous = samplePosition.load(kRelaxed);
    std::uint64_t position = previous + n;
    ASIOSamples samples = {};
    ASIOTimeStamp stamp = {};
    const bool checks = checking.load(kRelaxed);
    if (l->driver->getSamplePosition(&samples, &stamp) == ASE_OK) {
        position = Join(samples.hi, samples.lo);
        const std::uint64_t time = Join(stamp.hi, stamp.lo);
        if (checks && time < timeStampNs.load(kRelaxed))
            timeStampBackwards.fetch_add(1, kRelaxed);
        timeStampNs.store(time, kRelaxed);
    } else if (checks) {
        positionErrors.fetch_add(1, kRelaxed);
    }
    samplePosition.store(position, kRelaxed);

    if (checks) {
        if (position <= previous) {
            positionBackwards.fetch_add(1, kRelaxed);
        } else if ((position - previous) % n != 0) {
            positionIrregular.fetch_add(1, kRelaxed);
        } else {
            const std::uint64_t missed = (position - previous) / n - 1;
            if (missed > 0) {
                missEvents.fetch_add(1, kRelaxed);
                if (missedPeriods.fetch_add(missed, kRelaxed) == 0)
                    firstMissAt.store(position, kRelaxed);
                NoteDropout(previous, position - n, false);
            }
            if (static_cast<std::uint64_t>(index) != ((position / n) - 1) % 2)
                halfIndexErrors.fetch_add(1, kRelaxed);
        }
    }

    const std::uint64_t firstFrame = position >= n ? position - n : 0;
    if (checks) {
        CheckTiming(*l, position, firstFrame);
        CheckInputs(*l, index, firstFrame);
    }
    FillOutputs(*l, index, firstFrame);
    if (l->stallFrame >= 0 && static_cast<std::uint64_t>(l->stallFrame) >= firstFrame &&
        static_cast<std::uint64_t>(l->stallFrame) < position) {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::microseconds(static_cast<long long>(l->stallMs * 1000.0));
        while (std::chrono::steady_clock::now() < until) {
        }
    }
    if (l->postOutput)
        l->driver->outputReady();
}

void StreamChecker::FillOutputs(const StreamLayout& l, LONG index, std::uint64_t firstFrame)
{
    const int frames = l.bufferSize;
    for (size_t j = 0; j < l.outputs.size(); ++j) {
        const ChannelBuffer& c = l.outputs[j];
        unsigned char* p = c.half[index];
        if (p == nullptr || c.format.bytes == 0)
            continue;
        if (!c.format.integer) {
            std::memset(p, 0, static_cast<size_t>(frames) * static_cast<size_t>(c.format.bytes));
            continue;
        }
        for (int i = 0; i < frames; ++i, p += c.format.bytes) {
            const std::uint64_t frame = firstFrame + static_cast<std::uint64_t>(i);
            std::uint32_t v = SignalValue(static_cast<int>(j), frame, c.format.bits);
            if (j == 0 && static_cast<std::int64_t>(frame) == l.corruptFrame)
                v ^= 1;
            WriteSample(p, v, c.format);
        }
    }
}

void StreamChecker::CheckInputs(const StreamLayout& l, LONG index, std::uint64_t firstFrame)
{
    if (l.checkedChannels == 0)
        return;
    std::int64_t delay = loopbackDelay.load(kRelaxed);
    if (delay >= 0 && !MatchesAt(l, index, firstFrame, delay) &&
        !Dropped(static_cast<std::int64_t>(firstFrame) - delay)) {
        // A whole buffer that carries the signal at another constant delay: the stream
        // slipped (a dropout). Follow it, so that one slip is not reported as endless mismatches.
        const std::int64_t slipped = ConsistentDelay(l, index, firstFrame);
        if (slipped >= 0 && slipped != delay) {
            delay = slipped;
            loopbackDelay.store(delay, kRelaxed);
            delayChanges.fetch_add(1, kRelaxed);
        }
    }
    std::uint64_t verified = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t dropped = 0;
    std::uint64_t noise = 0;
    for (int i = 0; i < l.bufferSize; ++i) {
        const std::int64_t frame = static_cast<std::int64_t>(firstFrame) + i;
        if (delay < 0) {
            // Waiting for the signal: channel 0's first non-zero sample names its played frame.
            const ChannelBuffer& c0 = l.inputs[0];
            const std::uint32_t v0 = ReadSample(c0.half[index] + static_cast<size_t>(i) * c0.format.bytes, c0.format);
            const std::int64_t played = FrameOfChannel0(v0, l.bits);
            if (played >= 0 && played <= frame) {
                delay = frame - played;
                loopbackDelay.store(delay, kRelaxed);
                initialDelay.store(delay, kRelaxed);
                firstFrameSeen.store(played, kRelaxed);
                // Frames played before it may have come back while the host missed periods.
                lostAtStart.store(played - DroppedIn(delay, frame), kRelaxed);
            } else {
                for (int k = 1; k < l.checkedChannels; ++k) {
                    const ChannelBuffer& c = l.inputs[static_cast<size_t>(k)];
                    if (ReadSample(c.half[index] + static_cast<size_t>(i) * c.format.bytes, c.format) != 0)
                        ++noise;
                }
                if (played > frame)  // a value no played frame can have produced yet
                    ++noise;
                continue;
            }
        }
        for (int k = 0; k < l.checkedChannels; ++k) {
            const ChannelBuffer& c = l.inputs[static_cast<size_t>(k)];
            const std::uint32_t got = ReadSample(c.half[index] + static_cast<size_t>(i) * c.format.bytes, c.format);
            const std::int64_t played = frame - delay;
            const std::uint32_t expected =
                played >= 0 ? SignalValue(k, static_cast<std::uint64_t>(played), l.bits) : 0;
            if (got == expected) {
                ++verified;
            } else if (Dropped(played)) {
                ++dropped;  // the host never wrote this output frame
            } else {
                ++verified;
                ++mismatches;
                NoteMismatch(k, frame, expected, got);
            }
        }
    }
    samplesVerified.fetch_add(verified, kRelaxed);
    sampleMismatches.fetch_add(mismatches, kRelaxed);
    dropoutSamples.fetch_add(dropped, kRelaxed);
    if (mismatches > 0)
        mismatchedPeriods.fetch_add(1, kRelaxed);
    nonZeroBeforeSignal.fetch_add(noise, kRelaxed);
}

// A host call for the period that ends at position is due when the device completes the
// period before it; output written a whole period after that may miss the device's read.
void StreamChecker::CheckTiming(const StreamLayout& l, std::uint64_t position, std::uint64_t firstFrame)
{
    const std::uint64_t n = static_cast<std::uint64_t>(l.bufferSize);
    if (l.periodNs <= 0 || position < 2 * n)
        return;  // the first switch runs inside start, before the device does
    const double now = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    const double due = static_cast<double>(position / n - 1) * l.periodNs;
    if (!haveAnchor || now - due < scheduleAnchorNs) {
        scheduleAnchorNs = now - due;
        haveAnchor = true;
    }
    if (now - (scheduleAnchorNs + due) > l.periodNs * 7 / 8) {
        lateSwitches.fetch_add(1, kRelaxed);
        NoteDropout(firstFrame, firstFrame + n, true);
    }
}

void StreamChecker::NoteDropout(std::uint64_t begin, std::uint64_t end, bool late)
{
    dropoutBegin[dropoutNext] = begin;
    dropoutEnd[dropoutNext] = end;
    dropoutLate[dropoutNext] = late;
    dropoutSeen[dropoutNext] = false;
    dropoutNext = (dropoutNext + 1) % kDropouts;
}

bool StreamChecker::Dropped(std::int64_t frame)
{
    if (frame < 0)
        return false;
    const std::uint64_t f = static_cast<std::uint64_t>(frame);
    for (int i = 0; i < kDropouts; ++i) {
        if (f >= dropoutBegin[i] && f < dropoutEnd[i]) {
            if (dropoutLate[i] && !dropoutSeen[i])
                lateDropouts.fetch_add(1, kRelaxed);
            dropoutSeen[i] = true;
            return true;
        }
    }
    return false;
}

std::int64_t StreamChecker::DroppedIn(std::int64_t begin, std::int64_t end) const
{
    std::int64_t count = 0;
    for (int i = 0; i < kDropouts; ++i) {
        const std::int64_t b = std::max(begin, static_cast<std::int64_t>(dropoutBegin[i]));
        const std::int64_t e = std::min(end, static_cast<std::int64_t>(dropoutEnd[i]));
        count += e > b ? e - b : 0;
    }
    return count;
}

bool StreamChecker::MatchesAt(const StreamLayout& l, LONG index, std::uint64_t firstFrame, std::int64_t delay)
{
    const ChannelBuffer& c0 = l.inputs[0];
    const std::int64_t played = static_cast<std::int64_t>(firstFrame) - delay;
    const std::uint32_t expected = played >= 0 ? SignalValue(0, static_cast<std::uint64_t>(played), l.bits) : 0;
    return ReadSample(c0.half[index], c0.format) == expected;
}

std::int64_t StreamChecker::ConsistentDelay(const StreamLayout& l, LONG index, std::uint64_t firstFrame)
{
    const ChannelBuffer& c0 = l.inputs[0];
    const std::uint64_t mask = Mask(l.bits);
    std::int64_t found = -1;
    for (int i = 0; i < l.bufferSize; ++i) {
        const std::uint64_t frame = firstFrame + static_cast<std::uint64_t>(i);
        const std::int64_t played = FrameOfChannel0(ReadSample(c0.half[index] + static_cast<size_t>(i) * c0.format.bytes, c0.format), l.bits);
        if (played < 0)
            return -1;
        const std::uint64_t delay = (frame - static_cast<std::uint64_t>(played)) & mask;
        if (delay > frame || (found >= 0 && static_cast<std::int64_t>(delay) != found))
            return -1;
        found = static_cast<std::int64_t>(delay);
    }
    return found;
}

void StreamChecker::NoteMismatch(int channel, std::int64_t frame, std::uint32_t expected, std::uint32_t got)
{
    if (mismatchClaimed.exchange(true, kRelaxed))
        return;
    mismatch.channel = channel;
    mismatch.frame = frame;
    mismatch.expected = expected;
    mismatch.got = got;
    mismatchReady.store(true, std::memory_order_release);
}

}  // namespace asiohost
