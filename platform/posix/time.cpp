// Clocks and sleeps on CLOCK_MONOTONIC.
#include "precise_time.h"
#include "win32_posix.h"

#include <cerrno>
#include <ctime>

std::uint64_t PreciseNowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void PreciseSleepUntilNs(std::uint64_t deadlineNs)
{
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000ull);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

DWORD WINAPI timeGetTime() { return static_cast<DWORD>(PreciseNowNs() / 1000000ull); }
DWORD WINAPI GetTickCount() { return timeGetTime(); }
ULONGLONG WINAPI GetTickCount64() { return PreciseNowNs() / 1000000ull; }

void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;)
            PreciseSleepUntilNs(~0ull);
    }
    PreciseSleepUntilNs(PreciseNowNs() + static_cast<std::uint64_t>(milliseconds) * 1000000ull);
}

MMRESULT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
MMRESULT WINAPI timeEndPeriod(UINT) { return TIMERR_NOERROR; }
