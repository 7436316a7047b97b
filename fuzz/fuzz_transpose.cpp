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

// Every kernel set: splitting doubles, singles and fixed point, and joining planes, each
// against the value-by-value rules.
void check_kernel_sets(const std::vector<std::uint64_t>& words, unsigned precision) {
    const std::size_t n = words.size();
    const std::size_t pad = orvanel::PlaneScratch::padding;
    std::vector<double> doubles(n), fixed(n);
    for (std::size_t i = 0; i < n; ++i) {
        doubles[i] = std::bit_cast<double>(words[i]);
        fixed[i] = fixed_value(words[i]);
    }
    Planes source(n, 0, pad);
    for (int k = 0; k < 8; ++k) {
        for (std::size_t i = 0; i < n; ++i) source.p[k][i] = static_cast<std::uint8_t>(words[i] >> (8 * k));
    }
    for (const orvanel::CodecKernels* const* set = orvanel::available_codec_kernels(); *set; ++set) {
        const orvanel::CodecKernels& k = **set;
        Planes planes(n, 0xA5, pad);
        std::uint64_t expected_or = 0;
        for (std::uint64_t w : words) expected_or |= w;
        FUZZ_CHECK(k.split_double(doubles.data(), n, planes.p) == expected_or);
        for (std::size_t i = 0; i < n; ++i) {
            for (int b = 0; b < 8; ++b) FUZZ_CHECK(planes.p[b][i] == static_cast<std::uint8_t>(words[i] >> (8 * b)));
        }

        bool fits = true;
        for (double v : doubles) fits &= !(std::isfinite(v) && std::fabs(v) >= fuzz::float_overflow);
        FUZZ_CHECK(k.split_float(doubles.data(), n, planes.p) == fits);
        for (std::size_t i = 0; i < n && fits; ++i) {
            const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(doubles[i]));
            for (int b = 0; b < 4; ++b) FUZZ_CHECK(planes.p[b][i] == static_cast<std::uint8_t>(bits >> (8 * b)));
        }

        const fuzz::Expected want = fuzz::expected_encoding(fuzz::TypeCode::fixed(static_cast<std::uint8_t>(precision)), fixed);
        const bool fixed_fits = want.payload.size() < 3 || want.payload[2] != 0xFF;
        std::uint64_t or_all = 0;
        FUZZ_CHECK(k.split_fixed(fixed.data(), n, precision, planes.p, &or_all) == fixed_fits);
        if (fixed_fits) {
            // The words the planes hold read back as the reference's values.
            std::vector<double> back(n);
            k.join_fixed(planes.p, planes.p[4], n, back.data());
            FUZZ_CHECK(fuzz::same_bits(back, want.read_back));
            std::uint64_t from_planes = 0;
            for (std::size_t i = 0; i < n; ++i) {
                for (int b = 0; b < 5; ++b) from_planes |= std::uint64_t{planes.p[b][i]} << (8 * b);
            }
            FUZZ_CHECK(or_all == from_planes);
        }

        std::vector<double> joined(n + 1, -1.0);
        k.join_double(source.p, n, joined.data());
        for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(fuzz::bits(joined[i]) == words[i]);
        k.join_float(source.p, n, joined.data());
        for (std::size_t i = 0; i < n; ++i) {
            const double f = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(words[i])));
            FUZZ_CHECK(fuzz::bits(joined[i]) == fuzz::bits(f));
        }
        for (const bool scaled : {true, false}) {
            k.join_fixed(source.p, scaled ? source.p[4] : nullptr, n, joined.data());
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t s = scaled ? source.p[4][i] : 0;
                double v = static_cast<double>(static_cast<std::uint32_t>(words[i])) / fuzz::pow10[s >> 4];
                if (s & 1) v = -v;
                FUZZ_CHECK(fuzz::bits(joined[i]) == fuzz::bits(v));
            }
        }
        FUZZ_CHECK(fuzz::bits(joined[n]) == fuzz::bits(-1.0));
    }
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

    check_kernel_sets(words, data[1] % 10u);
    return 0;
}
