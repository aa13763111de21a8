// The precise clock on Windows: QueryPerformanceCounter, and an absolute sleep that sleeps
// in 1 ms steps (with the timer resolution raised once) until about 2 ms remain, then
// yields until the deadline.
#include "precise_time.h"
#include "win32.h"

namespace {

std::uint64_t CounterFrequency()
{
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<std::uint64_t>(value.QuadPart);
    }();
    return frequency;
}

void RaiseTimerResolutionOnce()
{
    static const bool raised = [] { return timeBeginPeriod(1) == TIMERR_NOERROR; }();
    (void)raised;
}

}  // namespace

std::uint64_t PreciseNowNs()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const std::uint64_t frequency = CounterFrequency();
    // Split to keep ticks * 1e9 from overflowing.
    return ticks / frequency * 1000000000ull + ticks % frequency * 1000000000ull / frequency;
}

void PreciseSleepUntilNs(std::uint64_t deadlineNs)
{
    constexpr std::uint64_t kSpinWindowNs = 2000000;
    RaiseTimerResolutionOnce();
    for (;;) {
        const std::uint64_t now = PreciseNowNs();
        if (now >= deadlineNs)
            return;
        if (deadlineNs - now > kSpinWindowNs)
            Sleep(1);
        else
            SwitchToThread();
    }
}
