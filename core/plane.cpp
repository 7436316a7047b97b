#include "core/plane.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace orvanel {

PlaneScratch::PlaneScratch(std::size_t zone_count)
    : zones_(zone_count), data_(std::make_unique<std::uint8_t[]>(9 * zone_count)) {}

Result<std::size_t> decode_plane(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    const std::size_t n = in.size();
    const std::size_t zones = out.size();
    std::size_t pos = 0;
    std::size_t filled = 0;
    while (filled < zones) {
        if (pos + 2 > n) return MatrixError::unexpected_eof();
        const std::size_t count = in[pos] | static_cast<std::size_t>(in[pos + 1] & 0x7F) << 8;
        if (count == 0) return MatrixError::zero_run_count();
        if (filled + count > zones)
            return MatrixError::plane_size(static_cast<std::uint16_t>(zones), filled + count);
        if (in[pos + 1] & 0x80) {
            if (pos + 2 >= n) return MatrixError::unexpected_eof();
            std::memset(out.data() + filled, in[pos + 2], count);
            pos += 3;
        } else {
            if (pos + 2 + count > n) return MatrixError::unexpected_eof();
            std::memcpy(out.data() + filled, in.data() + pos + 2, count);
            pos += 2 + count;
        }
        filled += count;
    }
    return pos;
}

namespace {

constexpr std::uint64_t ones = 0x0101010101010101ull;
constexpr std::uint64_t highs = 0x8080808080808080ull;

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Flags (0x80) the zero bytes of v; the lowest flag is always exact.
std::uint64_t zero_bytes(std::uint64_t v) { return (v - ones) & ~v & highs; }

// Length of the run of bytes equal to plane[pos], counting at most `limit`.
std::size_t run_length(const std::uint8_t* plane, std::size_t pos, std::size_t limit) {
    const std::uint8_t value = plane[pos];
    const std::uint64_t pattern = value * ones;
    std::size_t len = 1;
    while (len + 8 <= limit) {
        const std::uint64_t diff = load64(plane + pos + len) ^ pattern;
        if (diff) return len + static_cast<std::size_t>(std::countr_zero(diff) / 8);
        len += 8;
    }
    while (len < limit && plane[pos + len] == value) ++len;
    return len;
}

// First position i in [from, n - 2) that starts three equal bytes, or n when none does.
std::size_t find_triple(const std::uint8_t* plane, std::size_t from, std::size_t n) {
    std::size_t i = from;
    while (i + 10 <= n) {
        const std::uint64_t a = load64(plane + i), b = load64(plane + i + 1), c = load64(plane + i + 2);
        const std::uint64_t flags = zero_bytes((a ^ b) | (b ^ c));
        if (flags) return i + static_cast<std::size_t>(std::countr_zero(flags) / 8);
        i += 8;
    }
    for (; i + 2 < n; ++i) {
        if (plane[i] == plane[i + 1] && plane[i + 1] == plane[i + 2]) return i;
    }
    return n;
}

}  // namespace

void encode_plane(std::span<const std::uint8_t> plane, std::vector<std::uint8_t>& out) {
    const std::uint8_t* b = plane.data();
    const std::size_t n = plane.size();
    const std::size_t limit = max_token_count;
    // Room for the plane as pure literals; an unlucky plane codes to up to 1.5 times its
    // size, which the vector absorbs by growing.
    out.reserve(out.size() + n + 2 * ((n + limit - 1) / limit));
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t run = run_length(b, pos, std::min(limit, n - pos));
        if (run >= 3) {
            out.push_back(static_cast<std::uint8_t>(run & 0xFF));
            out.push_back(static_cast<std::uint8_t>(0x80 | (run >> 8)));
            out.push_back(b[pos]);
            pos += run;
            continue;
        }
        // A literal absorbs runs of one or two bytes: it ends where three equal bytes
        // begin (always the start of a run, since the run at pos was measured whole), at
        // the token limit, or at the end of the plane.
        const std::size_t end = std::min({find_triple(b, pos + run, n), pos + limit, n});
        const std::size_t len = end - pos;
        out.push_back(static_cast<std::uint8_t>(len & 0xFF));
        out.push_back(static_cast<std::uint8_t>(len >> 8));
        out.insert(out.end(), b + pos, b + end);
        pos = end;
    }
}

}  // namespace orvanel
