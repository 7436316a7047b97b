#include "plane.hpp"

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
