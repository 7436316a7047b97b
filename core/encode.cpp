#include "encode.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "plane.hpp"
#include "schema.hpp"

namespace orvanel {

namespace {

constexpr double powers_of_ten[10] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
constexpr double max_magnitude = 4294967295.0;

void append_preamble(std::vector<std::uint8_t>& out, std::uint8_t descriptor) {
    out.push_back(payload_preamble);
    out.push_back(payload_preamble);
    out.push_back(descriptor);
}

bool is_zero_row(std::span<const double> row) {
    for (double v : row) {
        if (v != 0.0) return false;
    }
    return true;
}

bool has_nonzero(std::span<const std::uint8_t> plane) {
    for (std::uint8_t b : plane) {
        if (b) return true;
    }
    return false;
}

// Planes 0..7 of the 64 bits of every value.
void split_doubles(std::span<const double> row, PlaneScratch& scratch) {
    std::uint8_t* planes[8];
    for (int k = 0; k < 8; ++k) planes[k] = scratch.plane(k).data();
    for (std::size_t i = 0; i < row.size(); ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(row[i]);
        for (int k = 0; k < 8; ++k) planes[k][i] = static_cast<std::uint8_t>(bits >> (8 * k));
    }
}

// Appends the descriptor naming the planes of `plane_count` that hold a non-zero byte,
// then those planes; every plane when `all` is set.
void append_planes(PlaneScratch& scratch, int plane_count, std::uint8_t fixed_descriptor,
                   std::vector<std::uint8_t>& out) {
    std::uint8_t descriptor = fixed_descriptor;
    if (!descriptor) {
        for (int k = 0; k < plane_count; ++k) {
            if (has_nonzero(scratch.plane(k))) descriptor |= static_cast<std::uint8_t>(0x80 >> k);
        }
    }
    append_preamble(out, descriptor);
    for (int k = 0; k < plane_count; ++k) {
        if (descriptor & (0x80 >> k)) encode_plane(scratch.plane(k), out);
    }
}

void encode_raw(std::span<const double> row, PlaneScratch& scratch, std::vector<std::uint8_t>& out) {
    split_doubles(row, scratch);
    append_planes(scratch, 8, 0xFF, out);
}

// Float32 planes 0..3 and the marker plane 4; false when a finite value overflows.
bool split_floats(std::span<const double> row, PlaneScratch& scratch) {
    std::uint8_t* planes[4];
    for (int k = 0; k < 4; ++k) planes[k] = scratch.plane(k).data();
    for (std::size_t i = 0; i < row.size(); ++i) {
        const double v = row[i];
        const float f = static_cast<float>(v);
        if (std::isinf(f) && std::isfinite(v)) return false;
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
        for (int k = 0; k < 4; ++k) planes[k][i] = static_cast<std::uint8_t>(bits >> (8 * k));
    }
    std::memset(scratch.plane(4).data(), 0xFF, row.size());
    return true;
}

// Magnitude planes 0..3 and scale-and-sign plane 4; false when a value is not finite
// or its magnitude does not fit 32 bits.
bool split_fixed(std::span<const double> row, std::uint8_t precision, PlaneScratch& scratch) {
    const double scale = powers_of_ten[precision];
    const std::uint8_t scale_byte = static_cast<std::uint8_t>(precision << 4);
    std::uint8_t* planes[5];
    for (int k = 0; k < 5; ++k) planes[k] = scratch.plane(k).data();
    for (std::size_t i = 0; i < row.size(); ++i) {
        const double v = row[i];
        if (!std::isfinite(v)) return false;
        const double r = __builtin_roundeven(scale * v);
        const double magnitude = std::fabs(r);
        if (magnitude > max_magnitude) return false;
        const auto m = static_cast<std::uint32_t>(magnitude);
        for (int k = 0; k < 4; ++k) planes[k][i] = static_cast<std::uint8_t>(m >> (8 * k));
        planes[4][i] = m == 0 ? 0 : static_cast<std::uint8_t>(scale_byte | (r < 0 ? 1 : 0));
    }
    return true;
}

}  // namespace

void encode_payload(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                    std::vector<std::uint8_t>& out) {
    if (is_zero_row(row)) {
        append_preamble(out, 0x00);
        return;
    }
    if (type_code.is_double()) {
        split_doubles(row, scratch);
        append_planes(scratch, 8, 0, out);
        return;
    }
    if (type_code.is_single()) {
        if (!split_floats(row, scratch)) return encode_raw(row, scratch, out);
        append_preamble(out, 0xF8);
        for (int k = 0; k < 5; ++k) encode_plane(scratch.plane(k), out);
        return;
    }
    if (type_code.precision > max_fixed_precision || !split_fixed(row, type_code.precision, scratch))
        return encode_raw(row, scratch, out);
    append_planes(scratch, 5, 0, out);
}

}  // namespace orvanel
