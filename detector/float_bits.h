// A float's bits and back: how the cache entries write values, so that a value read back is the
// one written, bit for bit.
#ifndef SP_DETECTOR_FLOAT_BITS_H
#define SP_DETECTOR_FLOAT_BITS_H

#include <bit>
#include <cstdint>

namespace spdet {
inline std::uint32_t Bits(float v) { return std::bit_cast<std::uint32_t>(v); }
inline float FromBits(std::uint32_t b) { return std::bit_cast<float>(b); }
}  // namespace spdet

#endif
