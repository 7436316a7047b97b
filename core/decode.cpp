#include "core/decode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/payload.hpp"
#include "core/plane.hpp"
#include "core/transpose.hpp"

namespace orvanel {

namespace {

// Plane pointers for assembly: a stored plane points into the scratch, an absent one at
// the scratch's all-zero plane.
struct Planes {
    const std::uint8_t* p[8];
};

// Expands the planes marked in `mask` (bit 7 - k for plane k, k < plane_count) one after
// another from `rest`, which they must use up exactly.
Result<Planes> decode_planes(std::span<const std::uint8_t> rest, std::uint8_t mask, int plane_count,
                             PlaneScratch& scratch) {
    Planes planes{};
    std::size_t used = 0;
    for (int k = 0; k < 8; ++k) {
        if (k < plane_count && (mask & plane_bit(k))) {
            auto got = decode_plane(rest.subspan(used), scratch.plane(k));
            if (!got) return got.take_error();
            used += got.value();
            planes.p[k] = scratch.plane(k).data();
        } else {
            planes.p[k] = scratch.zero_plane().data();
        }
    }
    if (used != rest.size()) return MatrixError::trailing_bytes();
    return planes;
}

void assemble_doubles(const Planes& planes, std::span<double> out) {
    double* dst = out.data();
    join_planes(out.size(), planes.p, [dst](std::size_t i, std::uint64_t w) { dst[i] = std::bit_cast<double>(w); });
}

void assemble_floats(const Planes& planes, std::span<double> out) {
    double* dst = out.data();
    join_planes(out.size(), planes.p, [dst](std::size_t i, std::uint64_t w) {
        dst[i] = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(w)));
    });
}

// magnitude / 10^e, negated when bit 0 of the scale-and-sign byte is set. An absent
// plane 4 reads as zero bytes: exponent 0 and positive, so m / 1.0 = m exactly.
void assemble_fixed(const Planes& planes, std::span<double> out) {
    double* dst = out.data();
    join_planes(out.size(), planes.p, [dst](std::size_t i, std::uint64_t w) {
        const auto m = static_cast<std::uint32_t>(w);
        const auto s = static_cast<std::uint8_t>(w >> 32);
        const double v = static_cast<double>(m) / powers_of_ten[s >> 4];
        dst[i] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ (std::uint64_t{s & 1u} << 63));
    });
}

}  // namespace

Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out) {
    (void)readable_after;
    if (payload.size() < 3) return MatrixError::unexpected_eof();
    if (payload[0] != payload_preamble || payload[1] != payload_preamble)
        return MatrixError::invalid_preamble(payload[0], payload[1]);
    const std::uint8_t d = payload[2];
    const std::span<const std::uint8_t> rest = payload.subspan(3);

    if (d == descriptor_zero_row) {
        if (!rest.empty()) return MatrixError::trailing_bytes();
        std::fill(out.begin(), out.end(), 0.0);
        return {};
    }
    if (d == descriptor_raw_double || type_code.is_double()) {
        auto planes = decode_planes(rest, d, double_plane_count, scratch);
        if (!planes) return planes.take_error();
        assemble_doubles(planes.value(), out);
        return {};
    }
    if (type_code.is_single()) {
        if (d != descriptor_float32) return MatrixError::invalid_descriptor(d, type_code);
        auto planes = decode_planes(rest, d, float32_plane_count, scratch);
        if (!planes) return planes.take_error();
        const std::uint8_t* marker = planes.value().p[float32_marker_plane];
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (marker[i] != float32_marker) return MatrixError::invalid_float32_marker(i, marker[i]);
        }
        assemble_floats(planes.value(), out);
        return {};
    }
    if (d & fixed_unused_descriptor_bits) return MatrixError::invalid_descriptor(d, type_code);
    auto planes = decode_planes(rest, d, fixed_plane_count, scratch);
    if (!planes) return planes.take_error();
    assemble_fixed(planes.value(), out);
    return {};
}

}  // namespace orvanel
