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

void equal_next_bits_portable(const std::uint8_t* plane, std::size_t n, std::uint64_t* words) {
    const std::size_t count = (n + 63) / 64;
    std::memset(words, 0, (count + 1) * sizeof(std::uint64_t));
    for (std::size_t i = 0; i + 1 < n; ++i) {
        words[i / 64] |= std::uint64_t{plane[i] == plane[i + 1]} << (i % 64);
    }
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
