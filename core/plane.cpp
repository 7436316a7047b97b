#include "plane.hpp"

#include <algorithm>
#include <cstring>

namespace orvanel {

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

}  // namespace orvanel

namespace orvanel {

namespace {

// Length of the run of bytes equal to plane[pos], counting at most `limit`.
std::size_t run_length(const std::uint8_t* plane, std::size_t pos, std::size_t limit) {
    const std::uint8_t value = plane[pos];
    std::size_t len = 1;
    while (len < limit && plane[pos + len] == value) ++len;
    return len;
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
        // A literal: absorb runs of one or two bytes until a run of three begins or the
        // literal is full.
        std::size_t end = pos + run;
        while (end < n) {
            const std::size_t next = run_length(b, end, std::min<std::size_t>(3, n - end));
            if (next >= 3) break;
            const std::size_t room = limit - (end - pos);
            end += std::min(room, next);
            if (room <= next) break;
        }
        const std::size_t len = end - pos;
        out.push_back(static_cast<std::uint8_t>(len & 0xFF));
        out.push_back(static_cast<std::uint8_t>(len >> 8));
        out.insert(out.end(), b + pos, b + end);
        pos = end;
    }
}

}  // namespace orvanel
