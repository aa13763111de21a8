// The driver's trace hook. Every trace point passes its printf-style message here; the
// shipped driver discards them, so the driver produces no output of any kind.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Trace(const char* /*format*/, ...)
{
}
