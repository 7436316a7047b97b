// The layout of a row payload, shared by decoding and encoding: two preamble bytes, a
// descriptor byte naming the byte planes that follow, then those planes one after
// another, each coded as run and literal tokens.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace orvanel {

// Both of the first two bytes of every payload.
inline constexpr std::uint8_t payload_preamble = 0x80;

// Descriptors with a meaning of their own. Any other descriptor marks plane k as stored
// by its bit 7 - k (plane_bit); planes not marked are all zero.
inline constexpr std::uint8_t descriptor_zero_row = 0x00;    // every value is zero; no planes follow
inline constexpr std::uint8_t descriptor_raw_double = 0xFF;  // the 8 planes of the doubles, in any table
inline constexpr std::uint8_t descriptor_float32 = 0xF8;     // the 4 float planes and the marker plane

constexpr std::uint8_t plane_bit(int k) noexcept { return static_cast<std::uint8_t>(0x80 >> k); }

// Planes per encoding: byte k of each value's 64-bit (double), 32-bit (float) or 40-bit
// (fixed point: magnitude, then the scale-and-sign byte) word. Single precision adds a
// plane whose every byte is a marker.
inline constexpr int double_plane_count = 8;
inline constexpr int float32_value_plane_count = 4;
inline constexpr int float32_marker_plane = float32_value_plane_count;
inline constexpr int float32_plane_count = float32_value_plane_count + 1;
inline constexpr std::uint8_t float32_marker = 0xFF;
inline constexpr int fixed_plane_count = 5;

// Fixed point has no planes 5..7: descriptor bits that would mark them are invalid.
inline constexpr std::uint8_t fixed_unused_descriptor_bits = 0x07;

// The whole payload of a row of zeros.
inline constexpr std::uint8_t zero_row_payload[] = {payload_preamble, payload_preamble, descriptor_zero_row};

inline bool is_zero_row_payload(std::span<const std::uint8_t> payload) noexcept {
    return std::equal(payload.begin(), payload.end(), std::begin(zero_row_payload), std::end(zero_row_payload));
}

// A fixed-point value is its magnitude divided by 10^e, e being the high nibble of the
// scale-and-sign byte; written values use e = precision, 0..9.
inline constexpr double powers_of_ten[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The divisor of each scale-and-sign byte s: 10^(s >> 4), negative when s & 1. Dividing
// by a negative divisor negates the correctly rounded quotient exactly (0 becomes -0), so
// m / fixed_point_divisors[s] is the value of magnitude m.
// (A plain array in a struct: vector kernels index it without calling any function.)
struct DivisorTable {
    double of[256];
};
inline constexpr DivisorTable fixed_point_divisors = [] {
    DivisorTable t{};
    for (int s = 0; s < 256; ++s) t.of[s] = (s & 1 ? -1.0 : 1.0) * powers_of_ten[s >> 4];
    return t;
}();

// Rounding to a fixed-point magnitude without a branch or a library call. For |x| below
// 2^52, the sum |x| + 2^52 lies where doubles are one apart, so it is 2^52 plus |x|
// rounded to an integer in the current (nearest, ties to even) mode; below 2^32 that
// integer is the low word of the sum's bits and the high word is fixed_point_high_word.
// Any larger magnitude, an infinity or a NaN gives another high word: the magnitude
// fits 32 bits exactly when the high word is fixed_point_high_word.
inline constexpr double two_pow_52 = 4503599627370496.0;
inline constexpr std::uint32_t fixed_point_high_word = 0x43300000;

inline std::uint64_t fixed_point_word(double x) noexcept { return std::bit_cast<std::uint64_t>(std::fabs(x) + two_pow_52); }

}  // namespace orvanel
