// A slot's `running` flag is set by host calls (start, stop) and by the worker thread's
// period handler; each access is one atomic load or store.
#pragma once

#include "win32.h"

inline LONG LoadRunning(const volatile LONG& running)
{
    return __atomic_load_n(&running, __ATOMIC_ACQUIRE);
}

inline void StoreRunning(volatile LONG& running, LONG value)
{
    __atomic_store_n(&running, value, __ATOMIC_RELEASE);
}
