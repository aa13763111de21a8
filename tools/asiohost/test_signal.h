// The known signal the host plays and expects back from a loopback device, and the
// sample formats it can write and read.
//
// Channel k, frame n carries ((n + 1) * kStep + k * kChannelOffset) modulo 2^bits. kStep is
// odd, so on channel 0 the value is never zero within the first 2^bits frames and maps back
// to its frame number: the first non-zero captured sample tells which played frame it is.
#pragma once

#include "asio.h"

#include <cstdint>

namespace asiohost {

struct SampleFormat {
    int bytes = 0;          // bytes per sample in the host buffer; 0: unknown type
    int bits = 0;           // significant bits the signal uses (8 × bytes)
    bool bigEndian = false;
    bool integer = false;   // false: float formats, which the host writes as silence only
};

inline SampleFormat FormatOf(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16LSB: return {2, 16, false, true};
    case ASIOSTInt24LSB: return {3, 24, false, true};
    case ASIOSTInt32LSB: return {4, 32, false, true};
    case ASIOSTInt16MSB: return {2, 16, true, true};
    case ASIOSTInt24MSB: return {3, 24, true, true};
    case ASIOSTInt32MSB: return {4, 32, true, true};
    case ASIOSTFloat32LSB: return {4, 32, false, false};
    case ASIOSTFloat32MSB: return {4, 32, true, false};
    case ASIOSTFloat64LSB: return {8, 64, false, false};
    case ASIOSTFloat64MSB: return {8, 64, true, false};
    default: return {};
    }
}

inline const char* TypeName(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16LSB: return "Int16LSB";
    case ASIOSTInt24LSB: return "Int24LSB";
    case ASIOSTInt32LSB: return "Int32LSB";
    case ASIOSTFloat32LSB: return "Float32LSB";
    case ASIOSTFloat64LSB: return "Float64LSB";
    case ASIOSTInt16MSB: return "Int16MSB";
    case ASIOSTInt24MSB: return "Int24MSB";
    case ASIOSTInt32MSB: return "Int32MSB";
    case ASIOSTFloat32MSB: return "Float32MSB";
    case ASIOSTFloat64MSB: return "Float64MSB";
    default: return "unknown";
    }
}

constexpr std::uint32_t kStep = 0x9E3779B1u;
constexpr std::uint32_t kChannelOffset = 0x6A09E667u;

constexpr std::uint32_t InverseOf(std::uint32_t odd)
{
    std::uint32_t x = odd;  // Newton's iteration doubles the correct low bits each round
    for (int i = 0; i < 5; ++i)
        x *= 2u - odd * x;
    return x;
}
constexpr std::uint32_t kStepInverse = InverseOf(kStep);
static_assert(kStep * kStepInverse == 1u, "kStepInverse");

inline std::uint32_t Mask(int bits)
{
    return bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u);
}

inline std::uint32_t SignalValue(int channel, std::uint64_t frame, int bits)
{
    std::uint32_t v = static_cast<std::uint32_t>(frame + 1) * kStep +
                      static_cast<std::uint32_t>(channel) * kChannelOffset;
    return v & Mask(bits);
}

// The frame number whose channel-0 value is v (modulo 2^bits), or -1 for 0.
inline std::int64_t FrameOfChannel0(std::uint32_t v, int bits)
{
    if (v == 0)
        return -1;
    // v != 0 implies frame + 1 != 0 modulo 2^bits, so the result is never negative.
    return static_cast<std::int64_t>((v * kStepInverse) & Mask(bits)) - 1;
}

inline void WriteSample(unsigned char* p, std::uint32_t v, const SampleFormat& f)
{
    for (int i = 0; i < f.bytes; ++i) {
        int shift = 8 * (f.bigEndian ? f.bytes - 1 - i : i);
        p[i] = shift < 32 ? static_cast<unsigned char>(v >> shift) : 0;
    }
}

inline std::uint32_t ReadSample(const unsigned char* p, const SampleFormat& f)
{
    std::uint32_t v = 0;
    for (int i = 0; i < f.bytes && i < 4; ++i) {
        int shift = 8 * (f.bigEndian ? f.bytes - 1 - i : i);
        v |= static_cast<std::uint32_t>(p[i]) << shift;
    }
    return v;
}

}  // namespace asiohost
