// The vector kernels for x86-64, written once for 16-byte (SSE2) and 32-byte (AVX2)
// registers. core/kernels_sse2.cpp includes this with the baseline instruction set and
// core/kernels_avx2.cpp with -mavx2; everything here has internal linkage and calls no
// library function that could be compiled out of line, so that the AVX2 compilation
// never lends code to the rest of the program.
//
// Byte transposition: R registers of 16 bytes hold R * 16 bytes, indexed by (register,
// position). One interleaving round makes register 2i + h from the low (h = 0) or high
// (h = 1) halves of registers i and i + R/2, alternating their bytes; in index bits that
// rotates (register, position) left by one bit. Eight registers holding sixteen 8-byte
// words, index (value, byte), become eight planes, index (byte, value), after four
// rounds; the planes become the words again after three. Four registers of 4-byte words
// take four and two rounds. In 32-byte registers each 16-byte lane does the same with
// its own sixteen values: loads and stores place the lanes.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/kernels.hpp"
#include "core/payload.hpp"

namespace orvanel {
namespace {

using std::size_t;
using std::uint64_t;
using std::uint8_t;

// ---- element-wise operations on both register widths ----------------------------------

inline __m128i lo8(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
inline __m128i hi8(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
inline __m128i vor(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
inline __m128i vxor(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }
inline __m128i vand(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
inline __m128i vandnot(__m128i a, __m128i b) { return _mm_andnot_si128(a, b); }
inline __m128i veq32(__m128i a, __m128i b) { return _mm_cmpeq_epi32(a, b); }
inline __m128i vsrl32(__m128i a, int n) { return _mm_srli_epi32(a, n); }
inline __m128i vpack32(__m128i a, __m128i b) { return _mm_packs_epi32(a, b); }
inline __m128i vpack16(__m128i a, __m128i b) { return _mm_packus_epi16(a, b); }
inline bool vnonzero(__m128i a) { return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) != 0xFFFF; }
inline uint64_t vor64(__m128i a) { return static_cast<uint64_t>(_mm_cvtsi128_si64(vor(a, _mm_unpackhi_epi64(a, a)))); }
inline std::uint32_t vor32(__m128i a) {
    const __m128i b = vor(a, _mm_shuffle_epi32(a, 0x4E));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(vor(b, _mm_shuffle_epi32(b, 0xB1))));
}

#ifdef __AVX2__
inline __m256i lo8(__m256i a, __m256i b) { return _mm256_unpacklo_epi8(a, b); }
inline __m256i hi8(__m256i a, __m256i b) { return _mm256_unpackhi_epi8(a, b); }
inline __m256i vor(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
inline __m256i vxor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
inline __m256i vand(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
inline __m256i vandnot(__m256i a, __m256i b) { return _mm256_andnot_si256(a, b); }
inline __m256i veq32(__m256i a, __m256i b) { return _mm256_cmpeq_epi32(a, b); }
inline __m256i vsrl32(__m256i a, int n) { return _mm256_srli_epi32(a, n); }
inline __m256i vpack32(__m256i a, __m256i b) { return _mm256_packs_epi32(a, b); }
inline __m256i vpack16(__m256i a, __m256i b) { return _mm256_packus_epi16(a, b); }
inline __m128i fold(__m256i a) { return vor(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)); }
inline bool vnonzero(__m256i a) { return !_mm256_testz_si256(a, a); }
inline uint64_t vor64(__m256i a) { return vor64(fold(a)); }
inline std::uint32_t vor32(__m256i a) { return vor32(fold(a)); }
#endif

template <int R, class I>
inline void interleave_round(I (&x)[R]) {
    I y[R];
    for (int i = 0; i < R / 2; ++i) {
        y[2 * i] = lo8(x[i], x[i + R / 2]);
        y[2 * i + 1] = hi8(x[i], x[i + R / 2]);
    }
    for (int i = 0; i < R; ++i) x[i] = y[i];
}

template <int Rounds, int R, class I>
inline void interleave(I (&x)[R]) {
    for (int r = 0; r < Rounds; ++r) interleave_round(x);
}

// ---- register width: loads and stores that place the values ---------------------------

struct Sse2 {
    using I = __m128i;
    using D = __m128d;
    static constexpr size_t block = 16;  // values per block

    static I load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void store(void* p, I v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    static I zero() { return _mm_setzero_si128(); }
    static I set32(std::uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }

    // x[r]: the words of values 2r, 2r + 1.
    static void load_doubles(const double* v, I (&x)[8]) {
        for (int r = 0; r < 8; ++r) x[r] = load(v + 2 * r);
    }
    // x[j] after joining: the words of values 2j, 2j + 1.
    static void store_doubles(double* out, const I (&x)[8]) {
        for (int j = 0; j < 8; ++j) store(out + 2 * j, x[j]);
    }
    // x[r]: the single-precision bits of values 4r..4r+3.
    static void load_floats(const double* v, I (&x)[4]) {
        for (int r = 0; r < 4; ++r) {
            const __m128 a = _mm_cvtpd_ps(_mm_loadu_pd(v + 4 * r));
            const __m128 b = _mm_cvtpd_ps(_mm_loadu_pd(v + 4 * r + 2));
            x[r] = _mm_castps_si128(_mm_movelh_ps(a, b));
        }
    }
    static void store_floats(double* out, const I (&x)[4]) {
        for (int j = 0; j < 4; ++j) {
            const __m128 f = _mm_castsi128_ps(x[j]);
            _mm_storeu_pd(out + 4 * j, _mm_cvtps_pd(f));
            _mm_storeu_pd(out + 4 * j + 2, _mm_cvtps_pd(_mm_movehl_ps(f, f)));
        }
    }
    // For values 4r..4r+3: low and high words of |v * scale| + 2^52, and the high words
    // of the values themselves.
    static void load_fixed(const double* v, double scale, I (&low)[4], I (&high)[4], I (&value_high)[4]) {
        const D s = _mm_set1_pd(scale);
        const D magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
        const D bias = _mm_set1_pd(two_pow_52);
        for (int r = 0; r < 4; ++r) {
            const D a = _mm_loadu_pd(v + 4 * r), b = _mm_loadu_pd(v + 4 * r + 2);
            const __m128 ta = _mm_castpd_ps(_mm_add_pd(_mm_and_pd(_mm_mul_pd(a, s), magnitude), bias));
            const __m128 tb = _mm_castpd_ps(_mm_add_pd(_mm_and_pd(_mm_mul_pd(b, s), magnitude), bias));
            low[r] = _mm_castps_si128(_mm_shuffle_ps(ta, tb, _MM_SHUFFLE(2, 0, 2, 0)));
            high[r] = _mm_castps_si128(_mm_shuffle_ps(ta, tb, _MM_SHUFFLE(3, 1, 3, 1)));
            value_high[r] = _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        }
    }
    // x[j] after joining: magnitudes of values 4j..4j+3.
    static void store_fixed(double* out, const I (&x)[4], const uint8_t* scale) {
        const I high = set32(fixed_point_high_word);
        const D bias = _mm_set1_pd(two_pow_52);
        for (int j = 0; j < 4; ++j) {
            D lo = _mm_sub_pd(_mm_castsi128_pd(_mm_unpacklo_epi32(x[j], high)), bias);
            D hi = _mm_sub_pd(_mm_castsi128_pd(_mm_unpackhi_epi32(x[j], high)), bias);
            if (scale) {
                const uint8_t* s = scale + 4 * j;
                const double* d = fixed_point_divisors.of;
                lo = _mm_div_pd(lo, _mm_set_pd(d[s[1]], d[s[0]]));
                hi = _mm_div_pd(hi, _mm_set_pd(d[s[3]], d[s[2]]));
            }
            _mm_storeu_pd(out + 4 * j, lo);
            _mm_storeu_pd(out + 4 * j + 2, hi);
        }
    }

    // 64 bits: plane[i] == plane[i + 1] for the 64 positions from p.
    static uint64_t equal_next64(const uint8_t* p) {
        uint64_t bits = 0;
        for (int q = 0; q < 4; ++q) {
            const I eq = _mm_cmpeq_epi8(load(p + 16 * q), load(p + 16 * q + 1));
            bits |= static_cast<uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(eq))) << (16 * q);
        }
        return bits;
    }

    static void splat32(uint8_t* dst, uint8_t value) {
        const I v = _mm_set1_epi8(static_cast<char>(value));
        store(dst, v);
        store(dst + 16, v);
    }
    static void copy32(uint8_t* dst, const uint8_t* src) {
        store(dst, load(src));
        store(dst + 16, load(src + 16));
    }
    // Stores `value` over [dst, dst + count) in 32-byte steps, so up to 31 bytes more.
    static void fill(uint8_t* dst, size_t count, uint8_t value) {
        const I splat = _mm_set1_epi8(static_cast<char>(value));
        for (size_t i = 0; i < count; i += 32) {
            store(dst + i, splat);
            store(dst + i + 16, splat);
        }
    }
};

#ifdef __AVX2__
struct Avx2 {
    using I = __m256i;
    using D = __m256d;
    static constexpr size_t block = 32;

    static I load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static void store(void* p, I v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    static I zero() { return _mm256_setzero_si256(); }
    static I set32(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static I halves(const void* lo, const void* hi) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(lo))),
                                       _mm_loadu_si128(static_cast<const __m128i*>(hi)), 1);
    }
    static D halves_pd(const double* lo, const double* hi) {
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(lo)), _mm_loadu_pd(hi), 1);
    }

    // Lane 0 works on values 0..15 of the block, lane 1 on values 16..31.
    static void load_doubles(const double* v, I (&x)[8]) {
        for (int r = 0; r < 8; ++r) x[r] = halves(v + 2 * r, v + 16 + 2 * r);
    }
    static void store_doubles(double* out, const I (&x)[8]) {
        for (int j = 0; j < 8; j += 2) {
            store(out + 2 * j, _mm256_permute2x128_si256(x[j], x[j + 1], 0x20));
            store(out + 16 + 2 * j, _mm256_permute2x128_si256(x[j], x[j + 1], 0x31));
        }
    }
    static void load_floats(const double* v, I (&x)[4]) {
        for (int r = 0; r < 4; ++r) {
            const __m128 a = _mm256_cvtpd_ps(_mm256_loadu_pd(v + 4 * r));
            const __m128 b = _mm256_cvtpd_ps(_mm256_loadu_pd(v + 16 + 4 * r));
            x[r] = _mm256_castps_si256(_mm256_set_m128(b, a));
        }
    }
    static void store_floats(double* out, const I (&x)[4]) {
        for (int j = 0; j < 4; ++j) {
            _mm256_storeu_pd(out + 4 * j, _mm256_cvtps_pd(_mm_castsi128_ps(_mm256_castsi256_si128(x[j]))));
            _mm256_storeu_pd(out + 16 + 4 * j, _mm256_cvtps_pd(_mm_castsi128_ps(_mm256_extracti128_si256(x[j], 1))));
        }
    }
    static void load_fixed(const double* v, double scale, I (&low)[4], I (&high)[4], I (&value_high)[4]) {
        const D s = _mm256_set1_pd(scale);
        const D magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
        const D bias = _mm256_set1_pd(two_pow_52);
        for (int r = 0; r < 4; ++r) {
            const D a = halves_pd(v + 4 * r, v + 16 + 4 * r), b = halves_pd(v + 4 * r + 2, v + 16 + 4 * r + 2);
            const __m256 ta = _mm256_castpd_ps(_mm256_add_pd(_mm256_and_pd(_mm256_mul_pd(a, s), magnitude), bias));
            const __m256 tb = _mm256_castpd_ps(_mm256_add_pd(_mm256_and_pd(_mm256_mul_pd(b, s), magnitude), bias));
            low[r] = _mm256_castps_si256(_mm256_shuffle_ps(ta, tb, _MM_SHUFFLE(2, 0, 2, 0)));
            high[r] = _mm256_castps_si256(_mm256_shuffle_ps(ta, tb, _MM_SHUFFLE(3, 1, 3, 1)));
            value_high[r] =
                _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castpd_ps(a), _mm256_castpd_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        }
    }
    static void store_fixed(double* out, const I (&x)[4], const uint8_t* scale) {
        const I high = _mm256_set1_epi64x(static_cast<long long>(uint64_t{fixed_point_high_word} << 32));
        const D bias = _mm256_set1_pd(two_pow_52);
        const double* d = fixed_point_divisors.of;
        for (int j = 0; j < 4; ++j) {
            for (int lane = 0; lane < 2; ++lane) {
                const __m128i m = lane ? _mm256_extracti128_si256(x[j], 1) : _mm256_castsi256_si128(x[j]);
                const size_t at = 16 * static_cast<size_t>(lane) + 4 * static_cast<size_t>(j);
                D v = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_cvtepu32_epi64(m), high)), bias);
                if (scale) {
                    const uint8_t* s = scale + at;
                    v = _mm256_div_pd(v, _mm256_set_pd(d[s[3]], d[s[2]], d[s[1]], d[s[0]]));
                }
                _mm256_storeu_pd(out + at, v);
            }
        }
    }

    static uint64_t equal_next64(const uint8_t* p) {
        const auto mask = [](__m256i eq) { return static_cast<uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(eq))); };
        return mask(_mm256_cmpeq_epi8(load(p), load(p + 1))) | mask(_mm256_cmpeq_epi8(load(p + 32), load(p + 33))) << 32;
    }

    static void splat32(uint8_t* dst, uint8_t value) { store(dst, _mm256_set1_epi8(static_cast<char>(value))); }
    static void copy32(uint8_t* dst, const uint8_t* src) { store(dst, load(src)); }
    static void fill(uint8_t* dst, size_t count, uint8_t value) {
        const I splat = _mm256_set1_epi8(static_cast<char>(value));
        for (size_t i = 0; i < count; i += 32) store(dst + i, splat);
    }
};
#endif

// ---- kernels -----------------------------------------------------------------------------

// Runs `block(values, at)` over [0, n) in blocks of V::block values; the last, partial
// block reads a zero-padded copy of the remaining values. Zeros split to zero bytes, fit
// every encoding and change no OR, so they need no masking.
template <class V, class Block>
inline void over_value_blocks(const double* values, size_t n, Block&& block) {
    size_t i = 0;
    for (; i + V::block <= n; i += V::block) block(values + i, i);
    if (i < n) {
        double rest[V::block] = {};
        std::memcpy(rest, values + i, (n - i) * sizeof(double));
        block(static_cast<const double*>(rest), i);
    }
}

// Runs `block(out, at)` over [0, n) in blocks; the last, partial block writes to a local
// block whose first values are then copied out. Planes are read whole blocks at a time
// (within their padding).
template <class V, class Block>
inline void over_output_blocks(double* out, size_t n, Block&& block) {
    size_t i = 0;
    for (; i + V::block <= n; i += V::block) block(out + i, i);
    if (i < n) {
        double rest[V::block];
        block(static_cast<double*>(rest), i);
        std::memcpy(out + i, rest, (n - i) * sizeof(double));
    }
}

template <class V>
uint64_t split_double(const double* values, size_t n, uint8_t* const* planes) {
    using I = typename V::I;
    I acc = V::zero();
    over_value_blocks<V>(values, n, [&](const double* v, size_t at) {
        I x[8];
        V::load_doubles(v, x);
        for (int r = 0; r < 8; ++r) acc = vor(acc, x[r]);
        interleave<4>(x);
        for (int k = 0; k < 8; ++k) V::store(planes[k] + at, x[k]);
    });
    return vor64(acc);
}

// Without a branch per value: infinities are only counted in the loop; a row with one
// is checked again value by value, which only such rows pay for.
template <class V>
bool split_float(const double* values, size_t n, uint8_t* const* planes) {
    using I = typename V::I;
    const I magnitude = V::set32(0x7FFFFFFF), infinity = V::set32(0x7F800000);
    I infinities = V::zero();
    over_value_blocks<V>(values, n, [&](const double* v, size_t at) {
        I x[4];
        V::load_floats(v, x);
        for (int r = 0; r < 4; ++r) infinities = vor(infinities, veq32(vand(x[r], magnitude), infinity));
        interleave<4>(x);
        for (int k = 0; k < 4; ++k) V::store(planes[k] + at, x[k]);
    });
    if (!vnonzero(infinities)) return true;
    for (size_t i = 0; i < n; ++i) {
        const double a = __builtin_fabs(values[i]);
        const float f = static_cast<float>(values[i]);
        if (__builtin_isinf(f) && a <= 1.7976931348623157e308) return false;
    }
    return true;
}

template <class V>
bool split_fixed(const double* values, size_t n, unsigned precision, uint8_t* const* planes, uint64_t* or_all) {
    using I = typename V::I;
    const double scale = powers_of_ten[precision];
    const I scale_byte = V::set32(precision << 4), high_word = V::set32(fixed_point_high_word), zero = V::zero();
    I bad = zero, magnitudes = zero, scales = zero;
    over_value_blocks<V>(values, n, [&](const double* v, size_t at) {
        I m[4], high[4], value_high[4], s[4];
        V::load_fixed(v, scale, m, high, value_high);
        for (int r = 0; r < 4; ++r) {
            bad = vor(bad, vxor(high[r], high_word));
            s[r] = vandnot(veq32(m[r], zero), vor(vsrl32(value_high[r], 31), scale_byte));
            magnitudes = vor(magnitudes, m[r]);
            scales = vor(scales, s[r]);
        }
        V::store(planes[4] + at, vpack16(vpack32(s[0], s[1]), vpack32(s[2], s[3])));
        interleave<4>(m);
        for (int k = 0; k < 4; ++k) V::store(planes[k] + at, m[k]);
    });
    *or_all = vor32(magnitudes) | uint64_t{vor32(scales)} << 32;
    return !vnonzero(bad);
}

template <class V>
void join_double(const uint8_t* const* planes, size_t n, double* out) {
    using I = typename V::I;
    over_output_blocks<V>(out, n, [&](double* o, size_t at) {
        I x[8];
        for (int k = 0; k < 8; ++k) x[k] = V::load(planes[k] + at);
        interleave<3>(x);
        V::store_doubles(o, x);
    });
}

template <class V>
void join_float(const uint8_t* const* planes, size_t n, double* out) {
    using I = typename V::I;
    over_output_blocks<V>(out, n, [&](double* o, size_t at) {
        I x[4];
        for (int k = 0; k < 4; ++k) x[k] = V::load(planes[k] + at);
        interleave<2>(x);
        V::store_floats(o, x);
    });
}

template <class V>
void join_fixed(const uint8_t* const* planes, const uint8_t* scale, size_t n, double* out) {
    using I = typename V::I;
    over_output_blocks<V>(out, n, [&](double* o, size_t at) {
        I x[4];
        for (int k = 0; k < 4; ++k) x[k] = V::load(planes[k] + at);
        interleave<2>(x);
        V::store_fixed(o, x, scale ? scale + at : nullptr);
    });
}

template <class V>
void equal_next_bits(const uint8_t* plane, size_t n, uint64_t* words) {
    const size_t count = (n + 63) / 64;
    for (size_t w = 0; w < count; ++w) words[w] = V::equal_next64(plane + 64 * w);
    // Position n - 1 has no next byte; past it lies padding.
    const unsigned keep = static_cast<unsigned>((n - 1) % 64);
    words[count - 1] &= (uint64_t{1} << keep) - 1;
    words[count] = 0;
}

// Tokens are taken 32 bytes at a time while a header and 32 bytes after it can be read:
// a run stores its byte 32 times, a literal its next 32 input bytes, whatever its count
// (the plane's padding takes the excess; the next token overwrites it). Longer tokens
// finish with a loop. The last tokens before the end of what may be read are taken
// exactly. A run's next token is known before its count is: the branch on the kind of
// token, where the kinds alternate as they mostly do, lets the processor read ahead.
template <class V>
size_t expand_plane(const uint8_t* in, size_t size, size_t readable_after, size_t pos, uint8_t* plane, size_t zones) {
    size_t filled = 0;
    if (size + readable_after >= 34) {
        const size_t last_fast = size + readable_after - 34;  // a header at most here has 32 bytes after it
        while (filled < zones && pos <= last_fast) {
            std::uint16_t header;
            std::memcpy(&header, in + pos, 2);
            const size_t count = header & 0x7FFFu;
            // A count of 0 wraps around: both faults in one comparison.
            if (count - 1 >= zones - filled) return expand_failed;
            if (header & 0x8000u) {
                if (pos + 3 > size) return expand_failed;
                V::splat32(plane + filled, in[pos + 2]);
                if (count > 32) [[unlikely]] V::fill(plane + filled + 32, count - 32, in[pos + 2]);
                pos += 3;
            } else {
                if (pos + 2 + count > size) return expand_failed;
                V::copy32(plane + filled, in + pos + 2);
                if (count > 32) [[unlikely]] std::memcpy(plane + filled + 32, in + pos + 34, count - 32);
                pos += 2 + count;
            }
            filled += count;
        }
    }
    while (filled < zones) {
        if (pos + 2 > size) return expand_failed;
        const size_t count = in[pos] | size_t{in[pos + 1] & 0x7Fu} << 8;
        if (count == 0 || filled + count > zones) return expand_failed;
        if (in[pos + 1] & 0x80) {
            if (pos + 2 >= size) return expand_failed;
            V::fill(plane + filled, count, in[pos + 2]);
            pos += 3;
        } else {
            if (pos + 2 + count > size) return expand_failed;
            std::memcpy(plane + filled, in + pos + 2, count);
            pos += 2 + count;
        }
        filled += count;
    }
    return pos;
}

template <class V>
constexpr CodecKernels kernel_set(const char* name) {
    return {name,
            split_double<V>,
            split_float<V>,
            split_fixed<V>,
            join_double<V>,
            join_float<V>,
            join_fixed<V>,
            equal_next_bits<V>,
            expand_plane<V>};
}

}  // namespace
}  // namespace orvanel
