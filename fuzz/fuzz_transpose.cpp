// The plane-transposition kernels against their one-byte-at-a-time references: the
// blocked templates of core/transpose.hpp, and the conversions of every kernel set the
// processor can run (its vector kernels against the plain per-value rules).
//
// Input: byte 0 gives the number of planes to split into (1..8) and whether, and where,
// the word source gives up part way (byte 1); byte 1 also gives the fixed-point
// precision (mod 10); the rest are 64-bit words, whose count also gives the plane length
// n. Each plane is its own allocation of exactly n bytes (plus the padding the kernel
// sets may use), so that a kernel touching a byte past it is caught by the address
// sanitizer.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kernels.hpp"
#include "core/plane.hpp"
#include "core/transpose.hpp"
#include "fuzz/reference.hpp"

namespace {

using fuzz::Planes;

// Fixed-point values from words: a signed 32-bit integer over 10^e for e from the fifth
// byte, moved one ulp up by its bit 7 (rounding ties and magnitudes at the limit), or
// the bits of the whole word when the sixth byte is 0xFF (infinities, NaNs, huge values).
double fixed_value(std::uint64_t w) {
    if ((w >> 40 & 0xFF) == 0xFF) return std::bit_cast<double>(w);
    const std::uint8_t e = static_cast<std::uint8_t>(w >> 32);
    double v = static_cast<double>(static_cast<std::int32_t>(w)) / fuzz::pow10[e % 10];
    if (e & 0x80) v = std::nextafter(v, INFINITY);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int plane_count = data[0] % 8 + 1;
    const bool gives_up = (data[0] & 0x80) != 0;
    std::vector<std::uint64_t> words((size - 2) / 8);
    if (!words.empty()) std::memcpy(words.data(), data + 2, words.size() * 8);
    const std::size_t n = words.size();
    const std::size_t stop_at = n ? data[1] % n : 0;  // the word the source refuses, if it gives up

    // Splitting: same planes, same OR of all words, same verdict.
    std::vector<std::size_t> asked_blocked, asked_scalar;
    const auto source = [&](std::vector<std::size_t>& asked) {
        return [&, gives_up, stop_at](std::size_t i, std::uint64_t& w) {
            FUZZ_CHECK(i < n);
            asked.push_back(i);
            if (gives_up && i == stop_at) return false;
            w = words[i];
            return true;
        };
    };
    Planes blocked(n, 0xA5), scalar(n, 0x5A);
    std::uint64_t or_blocked = 0x1111, or_scalar = 0x1111;
    const bool ok_blocked = orvanel::split_planes(n, plane_count, blocked.p, or_blocked, source(asked_blocked));
    const bool ok_scalar =
        fuzz::split_planes_scalar(n, plane_count, scalar.p, or_scalar, source(asked_scalar));
    FUZZ_CHECK(ok_blocked == ok_scalar);
    FUZZ_CHECK(ok_blocked == !(gives_up && n > 0));
    // Every word up to the one refused is asked for exactly once, in order.
    const std::size_t asked = ok_blocked ? n : stop_at + 1;
    FUZZ_CHECK(asked_blocked.size() == asked && asked_scalar.size() == asked);
    for (std::size_t i = 0; i < asked; ++i) FUZZ_CHECK(asked_blocked[i] == i && asked_scalar[i] == i);
    if (ok_blocked) {
        FUZZ_CHECK(or_blocked == or_scalar);
        std::uint64_t expected_or = 0;
        for (std::uint64_t w : words) expected_or |= w;
        FUZZ_CHECK(or_blocked == expected_or);
        for (int k = 0; k < 8; ++k) {
            const bool written = k < plane_count;
            for (std::size_t i = 0; i < n; ++i) {
                FUZZ_CHECK(blocked.p[k][i] == scalar.p[k][i] || !written);
                if (written) FUZZ_CHECK(blocked.p[k][i] == static_cast<std::uint8_t>(words[i] >> (8 * k)));
                // Planes beyond the count are not touched.
                if (!written) FUZZ_CHECK(blocked.p[k][i] == 0xA5 && scalar.p[k][i] == 0x5A);
            }
        }
    } else {
        FUZZ_CHECK(or_blocked == 0x1111 && or_scalar == 0x1111);
    }

    // Joining: planes filled from the words, then joined back into the same words, every
    // index once and in order.
    Planes source_planes(n, 0);
    for (int k = 0; k < 8; ++k) {
        for (std::size_t i = 0; i < n; ++i) source_planes.p[k][i] = static_cast<std::uint8_t>(words[i] >> (8 * k));
    }
    std::vector<std::uint64_t> joined_blocked, joined_scalar;
    std::size_t next_blocked = 0, next_scalar = 0;
    orvanel::join_planes(n, source_planes.p, [&](std::size_t i, std::uint64_t w) {
        FUZZ_CHECK(i == next_blocked++);
        joined_blocked.push_back(w);
    });
    fuzz::join_planes_scalar(n, source_planes.p, [&](std::size_t i, std::uint64_t w) {
        FUZZ_CHECK(i == next_scalar++);
        joined_scalar.push_back(w);
    });
    FUZZ_CHECK(joined_blocked == joined_scalar);
    FUZZ_CHECK(joined_blocked == words);

    // Every kernel set the processor can run, against the value-by-value rules.
    std::vector<double> doubles(n), fixed(n);
    for (std::size_t i = 0; i < n; ++i) {
        doubles[i] = std::bit_cast<double>(words[i]);
        fixed[i] = fixed_value(words[i]);
    }
    for (const orvanel::CodecKernels* const* set = orvanel::available_codec_kernels(); *set; ++set)
        FUZZ_CHECK(fuzz::kernel_difference(**set, doubles, fixed, data[1] % 10u) == nullptr);
    return 0;
}
