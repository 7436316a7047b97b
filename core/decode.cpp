#include "core/decode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/kernels.hpp"
#include "core/payload.hpp"
#include "core/plane.hpp"

namespace orvanel {

namespace {

// Plane pointers for assembly: a stored plane points into the scratch, an absent one at
// the scratch's all-zero plane.
struct Planes {
    const std::uint8_t* p[8];
};

// ---- the exact decoder: the reference, and the source of every error ----------------

// Expands the planes marked in `mask` (bit 7 - k for plane k, k < plane_count) one after
// another from `rest`, which they must use up exactly.
Result<Planes> decode_planes_exact(std::span<const std::uint8_t> rest, std::uint8_t mask, int plane_count,
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

// The index of the first byte of the marker plane that is not the marker, or n.
std::size_t first_non_marker(const std::uint8_t* marker, std::size_t n) {
    constexpr std::uint64_t all_markers = 0x0101010101010101ull * float32_marker;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, marker + i, 8);
        if (w != all_markers) break;
    }
    while (i < n && marker[i] == float32_marker) ++i;
    return i;
}

Status decode_exact(TypeCode type_code, std::span<const std::uint8_t> payload, PlaneScratch& scratch,
                    std::span<double> out) {
    if (payload.size() < 3) return MatrixError::unexpected_eof();
    if (payload[0] != payload_preamble || payload[1] != payload_preamble)
        return MatrixError::invalid_preamble(payload[0], payload[1]);
    const std::uint8_t d = payload[2];
    const std::span<const std::uint8_t> rest = payload.subspan(3);
    const CodecKernels& reference = portable_kernels();

    if (d == descriptor_zero_row) {
        if (!rest.empty()) return MatrixError::trailing_bytes();
        std::fill(out.begin(), out.end(), 0.0);
        return {};
    }
    if (d == descriptor_raw_double || type_code.is_double()) {
        auto planes = decode_planes_exact(rest, d, double_plane_count, scratch);
        if (!planes) return planes.take_error();
        reference.join_double(planes.value().p, out.size(), out.data());
        return {};
    }
    if (type_code.is_single()) {
        if (d != descriptor_float32) return MatrixError::invalid_descriptor(d, type_code);
        auto planes = decode_planes_exact(rest, d, float32_plane_count, scratch);
        if (!planes) return planes.take_error();
        const std::uint8_t* marker = planes.value().p[float32_marker_plane];
        if (const std::size_t i = first_non_marker(marker, out.size()); i < out.size())
            return MatrixError::invalid_float32_marker(i, marker[i]);
        reference.join_float(planes.value().p, out.size(), out.data());
        return {};
    }
    if (d & fixed_unused_descriptor_bits) return MatrixError::invalid_descriptor(d, type_code);
    auto planes = decode_planes_exact(rest, d, fixed_plane_count, scratch);
    if (!planes) return planes.take_error();
    const std::uint8_t* scale = d & plane_bit(4) ? planes.value().p[4] : nullptr;
    reference.join_fixed(planes.value().p, scale, out.size(), out.data());
    return {};
}

// ---- the fast decoder ------------------------------------------------------------------

// Expands the marked planes with the fast kernel. False when the tokens are not valid or
// do not use up `rest` exactly: the exact decoder then finds the error.
bool expand_planes(std::span<const std::uint8_t> rest, std::size_t readable_after, std::uint8_t mask,
                   int plane_count, PlaneScratch& scratch, const CodecKernels& kernels, Planes& planes) {
    const std::size_t zones = scratch.zone_count();
    std::size_t pos = 0;
    for (int k = 0; k < 8; ++k) {
        if (k < plane_count && (mask & plane_bit(k))) {
            pos = kernels.expand_plane(rest.data(), rest.size(), readable_after, pos, scratch.plane_data(k), zones);
            if (pos == expand_failed) return false;
            planes.p[k] = scratch.plane_data(k);
        } else {
            planes.p[k] = scratch.zero_plane().data();
        }
    }
    return pos == rest.size();
}

}  // namespace

Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out) {
    return decode_payload(type_code, payload, readable_after, scratch, out, codec_kernels());
}

// Checks in the same order as the exact decoder; any failure of the fast path is
// decoded again exactly, which gives the error.
Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out, const CodecKernels& kernels) {
    if (payload.size() < 3 || payload[0] != payload_preamble || payload[1] != payload_preamble)
        return decode_exact(type_code, payload, scratch, out);
    const std::uint8_t d = payload[2];
    const std::span<const std::uint8_t> rest = payload.subspan(3);
    const std::size_t n = out.size();
    readable_after = std::min(readable_after, decode_overread);  // all the kernels can use
    Planes planes;

    if (d == descriptor_zero_row) {
        if (!rest.empty()) return MatrixError::trailing_bytes();
        std::fill(out.begin(), out.end(), 0.0);
        return {};
    }
    if (d == descriptor_raw_double || type_code.is_double()) {
        if (!expand_planes(rest, readable_after, d, double_plane_count, scratch, kernels, planes))
            return decode_exact(type_code, payload, scratch, out);
        kernels.join_double(planes.p, n, out.data());
        return {};
    }
    if (type_code.is_single()) {
        if (d != descriptor_float32 ||
            !expand_planes(rest, readable_after, d, float32_plane_count, scratch, kernels, planes) ||
            first_non_marker(planes.p[float32_marker_plane], n) < n)
            return decode_exact(type_code, payload, scratch, out);
        kernels.join_float(planes.p, n, out.data());
        return {};
    }
    if ((d & fixed_unused_descriptor_bits) ||
        !expand_planes(rest, readable_after, d, fixed_plane_count, scratch, kernels, planes))
        return decode_exact(type_code, payload, scratch, out);
    kernels.join_fixed(planes.p, d & plane_bit(4) ? planes.p[4] : nullptr, n, out.data());
    return {};
}

}  // namespace orvanel
