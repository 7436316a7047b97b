// The inner loops of the payload codec, in one table per instruction set: moving values
// into byte planes and back, the bitmaps the token coder walks, and token expansion.
//
// Every set computes exactly the same bytes and values; the portable set is the plain
// reference the others are tested against, and the one used on processors other than
// x86-64. There the SSE2 set serves every processor and the AVX2 set is chosen once per
// process when the processor has it.
//
// Memory rules shared by all sets. Values (`const double*` in, `double*` out) are
// touched exactly at [0, n). Planes are PlaneScratch planes: a kernel may read and
// write up to PlaneScratch::padding bytes past a plane's n bytes. Token input is read
// at [0, size) plus `readable_after` bytes beyond.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvanel {

struct CodecKernels {
    const char* name;

    // Planes 0..7 of the bits of every value; returns the OR of all those words.
    std::uint64_t (*split_double)(const double* values, std::size_t n, std::uint8_t* const* planes);
    // Planes 0..3 of each value rounded to single precision; false (planes then hold
    // anything) when a finite value overflows to an infinity.
    bool (*split_float)(const double* values, std::size_t n, std::uint8_t* const* planes);
    // Planes 0..3 of the magnitude round(|v| * 10^precision) (nearest, ties to even) and
    // plane 4 of the scale-and-sign byte (precision << 4 | sign, or 0 for magnitude 0),
    // precision 0..9; the OR of all 40-bit words through or_all. False (planes and
    // or_all then hold anything) when a value is not finite or a magnitude exceeds
    // 2^32 - 1.
    bool (*split_fixed)(const double* values, std::size_t n, unsigned precision, std::uint8_t* const* planes,
                        std::uint64_t* or_all);

    // The doubles whose byte k is planes[k][i].
    void (*join_double)(const std::uint8_t* const* planes, std::size_t n, double* out);
    // The singles whose byte k (k < 4) is planes[k][i], widened.
    void (*join_float)(const std::uint8_t* const* planes, std::size_t n, double* out);
    // Magnitude m (bytes planes[0..3][i]) divided by 10^e and negated by sign bit s & 1,
    // s = scale[i] and e = s >> 4; just m when `scale` is null.
    void (*join_fixed)(const std::uint8_t* const* planes, const std::uint8_t* scale, std::size_t n, double* out);

    // Bit i of words[i / 64] (bit i % 64) tells whether plane[i] == plane[i + 1], for
    // i < n - 1; bits n - 1 up to the end of word (n + 63) / 64 are zero, and so is the
    // word after it. n > 0.
    void (*equal_next_bits)(const std::uint8_t* plane, std::size_t n, std::uint64_t* words);

    // Expands the tokens of one plane of `zones` bytes starting at in[pos], where `in`
    // holds `size` bytes and `readable_after` more may be read. Returns the position
    // after the plane's last token, or expand_failed when the tokens are not valid: the
    // exact reference decoder then tells why.
    std::size_t (*expand_plane)(const std::uint8_t* in, std::size_t size, std::size_t readable_after,
                                std::size_t pos, std::uint8_t* plane, std::size_t zones);
};

inline constexpr std::size_t expand_failed = ~std::size_t{0};

// The set this process uses.
const CodecKernels& codec_kernels() noexcept;

// Every set this processor can run, the portable reference first (for tests and
// benchmarks). Null-terminated.
const CodecKernels* const* available_codec_kernels() noexcept;

const CodecKernels& portable_kernels() noexcept;

}  // namespace orvanel
