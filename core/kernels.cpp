// The portable kernels, and the choice of the set a process uses.
#include "core/kernels.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "core/kernels_sets.hpp"
#include "core/payload.hpp"
#include "core/transpose.hpp"

namespace orvanel {

namespace {

std::uint64_t split_double_portable(const double* values, std::size_t n, std::uint8_t* const* planes) {
    std::uint64_t or_all = 0;
    split_planes(n, double_plane_count, planes, or_all, [values](std::size_t i, std::uint64_t& w) {
        w = std::bit_cast<std::uint64_t>(values[i]);
        return true;
    });
    return or_all;
}

bool split_float_portable(const double* values, std::size_t n, std::uint8_t* const* planes) {
    bool fits = true;
    std::uint64_t or_all = 0;
    split_planes(n, float32_value_plane_count, planes, or_all, [values, &fits](std::size_t i, std::uint64_t& w) {
        const float f = static_cast<float>(values[i]);
        w = std::bit_cast<std::uint32_t>(f);
        fits &= !(std::isinf(f) && std::isfinite(values[i]));
        return true;
    });
    return fits;
}

bool split_fixed_portable(const double* values, std::size_t n, unsigned precision, std::uint8_t* const* planes,
                          std::uint64_t* or_all) {
    const double scale = powers_of_ten[precision];
    const std::uint64_t scale_byte = std::uint64_t{precision} << 4;
    bool fits = true;
    split_planes(n, fixed_plane_count, planes, *or_all, [=, &fits](std::size_t i, std::uint64_t& w) {
        const std::uint64_t t = fixed_point_word(values[i] * scale);
        fits &= (t >> 32) == fixed_point_high_word;
        const auto m = static_cast<std::uint32_t>(t);
        const std::uint64_t sign = std::bit_cast<std::uint64_t>(values[i]) >> 63;
        const std::uint64_t s = (scale_byte | sign) & (0 - std::uint64_t{m != 0});
        w = m | s << 32;
        return true;
    });
    return fits;
}

void join_double_portable(const std::uint8_t* const* planes, std::size_t n, double* out) {
    join_planes(n, planes, [out](std::size_t i, std::uint64_t w) { out[i] = std::bit_cast<double>(w); });
}

void join_float_portable(const std::uint8_t* const* planes, std::size_t n, double* out) {
    const std::uint8_t* const p[8] = {planes[0], planes[1], planes[2], planes[3],
                                      planes[0], planes[0], planes[0], planes[0]};
    join_planes(n, p, [out](std::size_t i, std::uint64_t w) {
        out[i] = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(w)));
    });
}

void join_fixed_portable(const std::uint8_t* const* planes, const std::uint8_t* scale, std::size_t n, double* out) {
    const std::uint8_t* const p[8] = {planes[0], planes[1], planes[2], planes[3],
                                      planes[0], planes[0], planes[0], planes[0]};
    if (!scale) {
        join_planes(n, p, [out](std::size_t i, std::uint64_t w) {
            out[i] = static_cast<double>(static_cast<std::uint32_t>(w));
        });
        return;
    }
    join_planes(n, p, [out, scale](std::size_t i, std::uint64_t w) {
        out[i] = static_cast<double>(static_cast<std::uint32_t>(w)) / fixed_point_divisors.of[scale[i]];
    });
}

// Eight positions at a time: the bytes of x ^ (x shifted by one byte) that are zero,
// flagged exactly in their top bits, then gathered into one byte by a multiplication
// that moves flag j to bit 56 + j without carries.
void equal_next_bits_portable(const std::uint8_t* plane, std::size_t n, std::uint64_t* words) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t gather = 0x0102040810204080ull;
    const std::size_t count = (n + 63) / 64;
    for (std::size_t w = 0; w < count; ++w) {
        std::uint64_t bits = 0;
        for (int q = 0; q < 8; ++q) {
            std::uint64_t a, b;
            std::memcpy(&a, plane + 64 * w + 8 * q, 8);
            std::memcpy(&b, plane + 64 * w + 8 * q + 1, 8);
            const std::uint64_t x = a ^ b;
            const std::uint64_t zero = ~(((x & low7) + low7) | x | low7);
            bits |= ((zero >> 7) * gather >> 56) << (8 * q);
        }
        words[w] = bits;
    }
    words[count - 1] &= (std::uint64_t{1} << ((n - 1) % 64)) - 1;  // n - 1 has no next byte
    words[count] = 0;
}

// The exact expansion: nothing is read past `size`.
std::size_t expand_plane_portable(const std::uint8_t* in, std::size_t size, std::size_t, std::size_t pos,
                                  std::uint8_t* plane, std::size_t zones) {
    std::size_t filled = 0;
    while (filled < zones) {
        if (pos + 2 > size) return expand_failed;
        const std::size_t count = in[pos] | static_cast<std::size_t>(in[pos + 1] & 0x7F) << 8;
        if (count == 0 || filled + count > zones) return expand_failed;
        if (in[pos + 1] & 0x80) {
            if (pos + 2 >= size) return expand_failed;
            std::memset(plane + filled, in[pos + 2], count);
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

constexpr CodecKernels portable_set = {
    "portable",
    split_double_portable,
    split_float_portable,
    split_fixed_portable,
    join_double_portable,
    join_float_portable,
    join_fixed_portable,
    equal_next_bits_portable,
    expand_plane_portable,
};

#if ORVANEL_X86_KERNELS
bool has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

const CodecKernels* const* make_available() noexcept {
    static const CodecKernels* sets[4] = {};
    std::size_t count = 0;
    sets[count++] = &portable_set;
#if ORVANEL_X86_KERNELS
    sets[count++] = &sse2_kernel_set();
    if (const CodecKernels* avx2 = avx2_kernel_set(); avx2 && has_avx2()) sets[count++] = avx2;
#endif
    return sets;
}

}  // namespace

const CodecKernels& portable_kernels() noexcept { return portable_set; }

const CodecKernels* const* available_codec_kernels() noexcept {
    static const CodecKernels* const* sets = make_available();
    return sets;
}

// The last available set is the fastest.
const CodecKernels& codec_kernels() noexcept {
    static const CodecKernels* const chosen = [] {
        const CodecKernels* const* sets = available_codec_kernels();
        std::size_t last = 0;
        while (sets[last + 1]) ++last;
        return sets[last];
    }();
    return *chosen;
}

}  // namespace orvanel
