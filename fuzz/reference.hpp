// Plain, slow restatements of the payload rules, written apart from the core so the fuzz
// targets can compare the core against them: decoding a payload, choosing and coding a
// payload for a row, and what each written value reads back as.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/plane.hpp"
#include "core/type_code.hpp"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

using orvanel::MatrixError;
using orvanel::TypeCode;

// The twelve type codes a table can have: Fixed(0)..Fixed(9), S, D.
inline TypeCode type_code_from_byte(std::uint8_t b) {
    const int k = b % 12;
    if (k < 10) return TypeCode::fixed(static_cast<std::uint8_t>(k));
    return k == 10 ? TypeCode::single() : TypeCode::double_precision();
}

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

inline bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The same error: kind and rendered text (which carries every field and the offset).
inline bool same_error(const MatrixError& a, const MatrixError& b) {
    return a.kind() == b.kind() && a.message() == b.message();
}

inline constexpr double pow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// ---- decoding -------------------------------------------------------------------------

// Expands the tokens of one plane starting at in[pos]; advances pos.
inline std::optional<MatrixError> ref_decode_plane(std::span<const std::uint8_t> in, std::size_t& pos,
                                                   std::vector<std::uint8_t>& plane) {
    const std::size_t z = plane.size();
    std::size_t filled = 0;
    while (filled < z) {
        if (pos + 2 > in.size()) return MatrixError::unexpected_eof();
        const std::size_t count = in[pos] + 256 * (in[pos + 1] & 0x7F);
        const bool is_run = (in[pos + 1] & 0x80) != 0;
        if (count == 0) return MatrixError::zero_run_count();
        if (filled + count > z) return MatrixError::plane_size(static_cast<std::uint16_t>(z), filled + count);
        if (is_run) {
            if (pos + 2 >= in.size()) return MatrixError::unexpected_eof();
            for (std::size_t i = 0; i < count; ++i) plane[filled + i] = in[pos + 2];
            pos += 3;
        } else {
            if (pos + 2 + count > in.size()) return MatrixError::unexpected_eof();
            for (std::size_t i = 0; i < count; ++i) plane[filled + i] = in[pos + 2 + i];
            pos += 2 + count;
        }
        filled += count;
    }
    return std::nullopt;
}

// Little-endian word of zone i from planes 0..n-1.
inline std::uint64_t word_at(const std::vector<std::vector<std::uint8_t>>& planes, std::size_t i, int n) {
    std::uint64_t w = 0;
    for (int k = 0; k < n; ++k) w |= std::uint64_t{planes[k][i]} << (8 * k);
    return w;
}

// Z values, or the error the payload must fail with (without offset).
inline std::optional<MatrixError> ref_decode_payload(TypeCode tc, std::span<const std::uint8_t> payload,
                                                     std::size_t z, std::vector<double>& out) {
    if (payload.size() < 3) return MatrixError::unexpected_eof();
    if (payload[0] != 0x80 || payload[1] != 0x80) return MatrixError::invalid_preamble(payload[0], payload[1]);
    const std::uint8_t d = payload[2];
    const std::span<const std::uint8_t> rest = payload.subspan(3);
    out.assign(z, 0.0);
    if (d == 0x00) {
        if (!rest.empty()) return MatrixError::trailing_bytes();
        return std::nullopt;
    }
    std::vector<std::vector<std::uint8_t>> planes(8, std::vector<std::uint8_t>(z, 0));
    std::size_t pos = 0;
    const auto decode_masked = [&](int plane_count) -> std::optional<MatrixError> {
        for (int k = 0; k < plane_count; ++k) {
            if (d & (0x80 >> k)) {
                if (auto e = ref_decode_plane(rest, pos, planes[k])) return e;
            }
        }
        if (pos != rest.size()) return MatrixError::trailing_bytes();
        return std::nullopt;
    };
    if (d == 0xFF || tc.is_double()) {
        if (auto e = decode_masked(8)) return e;
        for (std::size_t i = 0; i < z; ++i) out[i] = std::bit_cast<double>(word_at(planes, i, 8));
        return std::nullopt;
    }
    if (tc.is_single()) {
        if (d != 0xF8) return MatrixError::invalid_descriptor(d, tc);
        if (auto e = decode_masked(5)) return e;
        for (std::size_t i = 0; i < z; ++i) {
            if (planes[4][i] != 0xFF) return MatrixError::invalid_float32_marker(i, planes[4][i]);
        }
        for (std::size_t i = 0; i < z; ++i)
            out[i] = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(word_at(planes, i, 4))));
        return std::nullopt;
    }
    if ((d & 0x07) != 0) return MatrixError::invalid_descriptor(d, tc);
    if (auto e = decode_masked(5)) return e;
    for (std::size_t i = 0; i < z; ++i) {
        const auto m = static_cast<std::uint32_t>(word_at(planes, i, 4));
        const std::uint8_t s = planes[4][i];
        double v = static_cast<double>(m) / pow10[s >> 4];
        if (s & 1) v = -v;
        out[i] = v;
    }
    return std::nullopt;
}

// ---- encoding -------------------------------------------------------------------------

inline void ref_encode_plane(const std::vector<std::uint8_t>& b, std::vector<std::uint8_t>& out) {
    constexpr std::size_t c = 32767;
    const std::size_t n = b.size();
    std::size_t pos = 0;
    while (pos < n) {
        std::size_t r = 1;
        while (r < c && pos + r < n && b[pos + r] == b[pos]) ++r;
        if (r >= 3) {
            out.push_back(static_cast<std::uint8_t>(r & 0xFF));
            out.push_back(static_cast<std::uint8_t>(0x80 | (r >> 8)));
            out.push_back(b[pos]);
            pos += r;
            continue;
        }
        std::size_t e = pos + r;
        while (e < n) {
            std::size_t l = 1;
            while (e + l < n && b[e + l] == b[e]) ++l;
            if (l >= 3) break;
            const std::size_t room = c - (e - pos);
            e += std::min(room, l);
            if (room <= l) break;
        }
        const std::size_t len = e - pos;
        out.push_back(static_cast<std::uint8_t>(len & 0xFF));
        out.push_back(static_cast<std::uint8_t>(len >> 8));
        out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(e));
        pos = e;
    }
}

// The payload a row must be written as, and the values it must read back as.
struct Expected {
    std::vector<std::uint8_t> payload;
    std::vector<double> read_back;
};

inline void append_planes(std::vector<std::uint8_t>& out, std::uint8_t descriptor, const std::vector<std::uint64_t>& words,
                          int plane_count) {
    out.insert(out.end(), {0x80, 0x80, descriptor});
    for (int k = 0; k < plane_count; ++k) {
        if (!(descriptor & (0x80 >> k))) continue;
        std::vector<std::uint8_t> plane(words.size());
        for (std::size_t i = 0; i < words.size(); ++i) plane[i] = static_cast<std::uint8_t>(words[i] >> (8 * k));
        ref_encode_plane(plane, out);
    }
}

inline std::uint8_t nonzero_plane_mask(const std::vector<std::uint64_t>& words, int plane_count) {
    std::uint8_t mask = 0;
    for (int k = 0; k < plane_count; ++k) {
        for (std::uint64_t w : words) {
            if ((w >> (8 * k)) & 0xFF) {
                mask |= static_cast<std::uint8_t>(0x80 >> k);
                break;
            }
        }
    }
    return mask;
}

inline Expected raw_doubles(std::span<const double> row) {
    Expected e;
    std::vector<std::uint64_t> words;
    for (double v : row) words.push_back(bits(v));
    append_planes(e.payload, 0xFF, words, 8);
    e.read_back.assign(row.begin(), row.end());
    return e;
}

// Smallest magnitude that rounds to infinity in single precision (ties to even: the
// midpoint above the largest float rounds up, its significand being odd).
inline constexpr double float_overflow = 0x1.ffffffp+127;

// Whether a single-precision table holds `v` without the row falling back to raw doubles.
inline bool fits_single(double v) { return !(std::isfinite(v) && std::fabs(v) >= float_overflow); }

// The word of `v` in a Fixed(p) table (the magnitude, the scale-and-sign byte above it);
// nothing when the row must fall back to raw doubles.
inline std::optional<std::uint64_t> fixed_word(double v, int p) {
    if (!std::isfinite(v)) return std::nullopt;
    const double r = std::nearbyint(pow10[p] * v);  // default rounding: nearest, ties to even
    if (std::fabs(r) > 4294967295.0) return std::nullopt;
    const auto m = static_cast<std::uint32_t>(std::fabs(r));
    return m | (m == 0 ? 0 : static_cast<std::uint64_t>(p * 16 + (r < 0 ? 1 : 0))) << 32;
}

inline Expected expected_encoding(TypeCode tc, std::span<const double> row) {
    bool all_zero = true;
    for (double v : row) all_zero = all_zero && v == 0.0;
    if (all_zero) return {{0x80, 0x80, 0x00}, std::vector<double>(row.size(), 0.0)};

    if (tc.is_double()) {
        Expected e;
        std::vector<std::uint64_t> words;
        for (double v : row) words.push_back(bits(v));
        append_planes(e.payload, nonzero_plane_mask(words, 8), words, 8);
        e.read_back.assign(row.begin(), row.end());
        return e;
    }
    if (tc.is_single()) {
        Expected e;
        std::vector<std::uint64_t> words;
        for (double v : row) {
            if (!fits_single(v)) return raw_doubles(row);
            const float f = static_cast<float>(v);
            words.push_back(std::bit_cast<std::uint32_t>(f) | (std::uint64_t{0xFF} << 32));
            e.read_back.push_back(static_cast<double>(f));
        }
        append_planes(e.payload, 0xF8, words, 5);
        return e;
    }
    const int p = tc.precision;
    Expected e;
    std::vector<std::uint64_t> words;
    for (double v : row) {
        const std::optional<std::uint64_t> w = fixed_word(v, p);
        if (!w) return raw_doubles(row);
        words.push_back(*w);
        const double magnitude = static_cast<double>(static_cast<std::uint32_t>(*w)) / pow10[p];
        e.read_back.push_back(static_cast<std::uint32_t>(*w) == 0 ? 0.0 : (*w >> 32 & 1) ? -magnitude : magnitude);
    }
    const std::uint8_t mask = nonzero_plane_mask(words, 5);
    if (mask == 0) {
        e.payload = {0x80, 0x80, 0x00};
    } else {
        append_planes(e.payload, mask, words, 5);
    }
    return e;
}

// ---- plane transposition --------------------------------------------------------------

// Eight planes, each its own block of exactly n + padding bytes, so that the address
// sanitizer catches a kernel touching a byte beyond what it may.
struct Planes {
    std::vector<std::unique_ptr<std::uint8_t[]>> storage;
    std::uint8_t* p[8];
    Planes(std::size_t n, std::uint8_t fill, std::size_t padding = 0) {
        for (int k = 0; k < 8; ++k) {
            storage.push_back(std::make_unique<std::uint8_t[]>(n + padding));
            std::memset(storage.back().get(), fill, n + padding);
            p[k] = storage.back().get();
        }
    }
};

// The plane splitting and joining of core/transpose.hpp, one byte at a time.
template <class Word>
inline bool split_planes_scalar(std::size_t n, int plane_count, std::uint8_t* const* planes, std::uint64_t& or_all,
                                Word&& word) {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t w;
        if (!word(i, w)) return false;
        acc |= w;
        for (int k = 0; k < plane_count; ++k) planes[k][i] = static_cast<std::uint8_t>(w >> (8 * k));
    }
    or_all = acc;
    return true;
}

template <class Sink>
inline void join_planes_scalar(std::size_t n, const std::uint8_t* const* planes, Sink&& sink) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) w |= std::uint64_t{planes[k][i]} << (8 * k);
        sink(i, w);
    }
}

// One kernel set against the value-by-value rules: `doubles` split into eight planes and
// into single precision, `fixed` (as many values) split into Fixed(precision) words and read back as the
// encoding rules say, and the planes of `doubles` joined as doubles, singles and fixed
// point (with and without scale bytes). Each plane is a block of its own with only the
// padding a kernel may touch. Returns what differs, or nothing.
inline const char* kernel_difference(const orvanel::CodecKernels& k, const std::vector<double>& doubles,
                                     const std::vector<double>& fixed, unsigned precision) {
    const std::size_t n = doubles.size(), pad = orvanel::PlaneScratch::padding;
    const auto byte = [](std::uint64_t w, int b) { return static_cast<std::uint8_t>(w >> (8 * b)); };
    Planes planes(n, 0xA5, pad), source(n, 0, pad);
    std::uint64_t expected_or = 0;
    bool fits = true;
    for (std::size_t i = 0; i < n; ++i) {
        expected_or |= bits(doubles[i]);
        fits &= fits_single(doubles[i]);
        for (int b = 0; b < 8; ++b) source.p[b][i] = byte(bits(doubles[i]), b);
    }
    if (k.split_double(doubles.data(), n, planes.p) != expected_or) return "split_double: the OR of the words";
    for (std::size_t i = 0; i < n; ++i) {
        for (int b = 0; b < 8; ++b)
            if (planes.p[b][i] != source.p[b][i]) return "split_double: a plane";
    }
    if (k.split_float(doubles.data(), n, planes.p) != fits) return "split_float: whether the row fits";
    for (std::size_t i = 0; i < n && fits; ++i) {
        for (int b = 0; b < 4; ++b)
            if (planes.p[b][i] != byte(std::bit_cast<std::uint32_t>(static_cast<float>(doubles[i])), b))
                return "split_float: a plane";
    }

    std::vector<std::uint64_t> words;
    for (double v : fixed) {
        if (const auto w = fixed_word(v, static_cast<int>(precision))) words.push_back(*w);
    }
    const bool fixed_fits = words.size() == n;
    std::uint64_t or_all = 0, fixed_or = 0;
    if (k.split_fixed(fixed.data(), n, precision, planes.p, &or_all) != fixed_fits)
        return "split_fixed: whether the row fits";
    if (fixed_fits) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            fixed_or |= words[i];
            for (int b = 0; b < 5; ++b)
                if (planes.p[b][i] != byte(words[i], b)) return "split_fixed: a plane";
        }
        if (or_all != fixed_or) return "split_fixed: the OR of the words";
        std::vector<double> back(n);
        k.join_fixed(planes.p, planes.p[4], back.size(), back.data());
        if (!same_bits(back, expected_encoding(TypeCode::fixed(static_cast<std::uint8_t>(precision)), fixed).read_back))
            return "split_fixed: the values read back";
    }

    std::vector<double> joined(n + 1, -1.0);
    k.join_double(source.p, n, joined.data());
    for (std::size_t i = 0; i < n; ++i)
        if (bits(joined[i]) != bits(doubles[i])) return "join_double";
    k.join_float(source.p, n, joined.data());
    for (std::size_t i = 0; i < n; ++i) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits(doubles[i])));
        if (bits(joined[i]) != bits(static_cast<double>(f))) return "join_float";
    }
    for (const bool scaled : {true, false}) {
        k.join_fixed(source.p, scaled ? source.p[4] : nullptr, n, joined.data());
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t s = scaled ? source.p[4][i] : 0;
            const double v = static_cast<double>(static_cast<std::uint32_t>(bits(doubles[i]))) / pow10[s >> 4];
            if (bits(joined[i]) != bits(s & 1 ? -v : v)) return "join_fixed";
        }
    }
    return bits(joined[n]) == bits(-1.0) ? nullptr : "a join wrote past the values";
}

}  // namespace fuzz
