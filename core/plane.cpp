#include "core/plane.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/kernels.hpp"

namespace orvanel {

namespace {

std::size_t plane_stride(std::size_t zones) {
    const std::size_t a = PlaneScratch::alignment;
    return (zones + PlaneScratch::padding + a - 1) / a * a;
}

}  // namespace

PlaneScratch::PlaneScratch(std::size_t zone_count)
    : zones_(zone_count),
      stride_(plane_stride(zone_count)),
      storage_(std::make_unique<std::uint8_t[]>(9 * stride_ + alignment)) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
    base_ = storage_.get() + ((alignment - address % alignment) % alignment);
    bits_ = std::make_unique<std::uint64_t[]>(zone_count / 64 + 2);
}

std::uint8_t* PlaneScratch::staging(std::size_t bytes) {
    if (staging_size_ < bytes) {
        staging_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
        staging_size_ = bytes;
    }
    return staging_.get();
}

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

std::size_t encode_plane_into(std::span<const std::uint8_t> plane, std::uint8_t* out) noexcept {
    const std::uint8_t* b = plane.data();
    const std::size_t n = plane.size();
    const std::size_t limit = max_token_count;
    std::uint8_t* o = out;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t run = run_length(b, pos, std::min(limit, n - pos));
        if (run >= 3) {
            o[0] = static_cast<std::uint8_t>(run & 0xFF);
            o[1] = static_cast<std::uint8_t>(0x80 | (run >> 8));
            o[2] = b[pos];
            o += 3;
            pos += run;
            continue;
        }
        // A literal absorbs runs of one or two bytes: it ends where three equal bytes
        // begin (always the start of a run, since the run at pos was measured whole), at
        // the token limit, or at the end of the plane.
        const std::size_t end = std::min({find_triple(b, pos + run, n), pos + limit, n});
        const std::size_t len = end - pos;
        o[0] = static_cast<std::uint8_t>(len & 0xFF);
        o[1] = static_cast<std::uint8_t>(len >> 8);
        std::memcpy(o + 2, b + pos, len);
        o += 2 + len;
        pos = end;
    }
    return static_cast<std::size_t>(o - out);
}

void encode_plane(std::span<const std::uint8_t> plane, std::vector<std::uint8_t>& out) {
    const std::size_t old = out.size();
    out.resize(old + max_coded_plane_size(plane.size()));
    out.resize(old + encode_plane_into(plane, out.data() + old));
}

namespace {

void put_run(std::uint8_t* o, std::size_t count, std::uint8_t value) {
    o[0] = static_cast<std::uint8_t>(count & 0xFF);
    o[1] = static_cast<std::uint8_t>(0x80 | (count >> 8));
    o[2] = value;
}

void put_literal(std::uint8_t* o, const std::uint8_t* bytes, std::size_t count) {
    o[0] = static_cast<std::uint8_t>(count & 0xFF);
    o[1] = static_cast<std::uint8_t>(count >> 8);
    std::memcpy(o + 2, bytes, count);
}

// The fast coder's stores: a run token as one 4-byte store, a literal of up to 16 bytes
// as its header and one whole 16-byte block (the plane's padding covers the read, the
// room after the tokens the write).
std::uint8_t* put_short_run(std::uint8_t* o, std::size_t count, std::uint8_t value) {
    const std::uint32_t token = static_cast<std::uint32_t>(count | 0x8000 | std::size_t{value} << 16);
    std::memcpy(o, &token, 4);
    return o + 3;
}

// Literals for [from, to), at most max_token_count bytes each.
std::uint8_t* put_literals(std::uint8_t* o, const std::uint8_t* b, std::size_t from, std::size_t to) {
    std::size_t count = to - from;
    if (count - 1 < 16) {
        const auto header = static_cast<std::uint16_t>(count);
        std::memcpy(o, &header, 2);
        std::memcpy(o + 2, b + from, 16);
        return o + 2 + count;
    }
    for (; count > 0; count -= std::min<std::size_t>(count, max_token_count)) {
        const std::size_t part = std::min<std::size_t>(count, max_token_count);
        put_literal(o, b + to - count, part);
        o += 2 + part;
    }
    return o;
}

// The first position from `from` where bit e is clear (there is one: e is clear at n - 1).
std::size_t first_clear(const std::uint64_t* e, std::size_t from) {
    std::size_t w = from / 64;
    if (const std::uint64_t ends = ~e[w] >> (from % 64)) return from + static_cast<std::size_t>(std::countr_zero(ends));
    do ++w;
    while (e[w] == ~std::uint64_t{0});
    return 64 * w + static_cast<std::size_t>(std::countr_one(e[w]));
}

}  // namespace

// With e the bitmap of plane[i] == plane[i + 1], three equal bytes start at i where
// e & (e >> 1) has bit i; the longest runs of three or more begin where, moreover, e is
// clear at i - 1. The reference coder's tokens follow from those starts alone: a literal
// up to each start (where the previous run left off), the run up to the first clear bit
// of e from its start, then on to the next start; tokens longer than max_token_count
// are cut at the limit, and a run cut one or two bytes short of its end leaves them to
// the literal after it. Each start is found from the bitmaps, not from the end of the
// token before it, so the work of consecutive tokens overlaps.
std::size_t encode_plane_fast(std::span<const std::uint8_t> plane, std::uint64_t* bits, std::uint8_t* out,
                              const CodecKernels& kernels) noexcept {
    const std::uint8_t* b = plane.data();
    const std::size_t n = plane.size();
    if (n == 0) return 0;
    kernels.equal_next_bits(b, n, bits);
    const std::uint64_t* e = bits;
    const std::size_t words = (n + 63) / 64;

    std::uint8_t* o = out;
    std::size_t pos = 0;             // where the next token starts
    std::uint64_t equal_before = 0;  // e at the last position of the previous word
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t ew = e[w];
        const std::uint64_t triples = ew & ((ew >> 1) | (e[w + 1] << 63));
        std::uint64_t starts = triples & ~((ew << 1) | equal_before);
        equal_before = ew >> 63;
        while (starts) {
            const std::size_t start = 64 * w + static_cast<std::size_t>(std::countr_zero(starts));
            starts &= starts - 1;
            o = put_literals(o, b, pos, start);
            const std::size_t end = first_clear(e, start) + 1;
            if (end - start <= max_token_count) [[likely]] {
                o = put_short_run(o, end - start, b[start]);
                pos = end;
                continue;
            }
            for (pos = start; end - pos >= 3; pos += std::min<std::size_t>(end - pos, max_token_count)) {
                put_run(o, std::min<std::size_t>(end - pos, max_token_count), b[start]);
                o += 3;
            }
        }
    }
    return static_cast<std::size_t>(put_literals(o, b, pos, n) - out);
}

std::size_t encode_uniform_plane(std::uint8_t value, std::size_t n, std::uint8_t* out) noexcept {
    std::uint8_t* o = out;
    while (n >= 3) {
        const std::size_t count = std::min<std::size_t>(n, max_token_count);
        put_run(o, count, value);
        o += 3;
        n -= count;
    }
    if (n > 0) {
        o[0] = static_cast<std::uint8_t>(n);
        o[1] = 0;
        std::memset(o + 2, value, n);
        o += 2 + n;
    }
    return static_cast<std::size_t>(o - out);
}

}  // namespace orvanel
