// A monotonic clock with sub-millisecond resolution and an absolute sleep, for the
// simulator's period clock and the tools' measurements (not used by the product).
#pragma once

#include <cstdint>

std::uint64_t PreciseNowNs();
void PreciseSleepUntilNs(std::uint64_t deadlineNs);
