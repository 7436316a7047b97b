#include "core/encode.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/payload.hpp"
#include "core/plane.hpp"
#include "core/schema.hpp"
#include "core/transpose.hpp"

namespace orvanel {

namespace {

constexpr double max_magnitude = 4294967295.0;

// 2^52: every double of at least this magnitude is already integral.
constexpr double two_52 = 4503599627370496.0;

std::size_t write_preamble(std::uint8_t* out, std::uint8_t descriptor) {
    out[0] = payload_preamble;
    out[1] = payload_preamble;
    out[2] = descriptor;
    return 3;
}

bool is_zero_row(std::span<const double> row) {
    for (double v : row) {
        if (v != 0.0) return false;
    }
    return true;
}

// Round to nearest, ties to even, without a library call: adding and removing 2^52
// leaves exactly the integral part rounded in the current (nearest-even) mode.
double round_half_even(double x) {
    const double a = std::fabs(x);
    if (!(a < two_52)) return x;
    return std::copysign((a + two_52) - two_52, x);
}

struct PlaneSet {
    std::uint8_t* p[8];
    explicit PlaneSet(PlaneScratch& scratch) {
        for (int k = 0; k < 8; ++k) p[k] = scratch.plane(k).data();
    }
};

// Descriptor bits (bit 7 - k for plane k) of the planes with a non-zero byte, from the
// OR of every value's word.
std::uint8_t nonzero_planes(std::uint64_t or_all, int plane_count) {
    std::uint8_t descriptor = 0;
    for (int k = 0; k < plane_count; ++k) {
        if ((or_all >> (8 * k)) & 0xFF) descriptor |= plane_bit(k);
    }
    return descriptor;
}

std::size_t write_planes(PlaneScratch& scratch, int plane_count, std::uint8_t descriptor, std::uint8_t* out) {
    std::size_t size = write_preamble(out, descriptor);
    for (int k = 0; k < plane_count; ++k) {
        if (descriptor & plane_bit(k)) size += encode_plane_into(scratch.plane(k), out + size);
    }
    return size;
}

// Planes 0..7 of the 64 bits of every value.
std::uint64_t split_doubles(std::span<const double> row, PlaneScratch& scratch) {
    const double* v = row.data();
    std::uint64_t or_all = 0;
    split_planes(row.size(), double_plane_count, PlaneSet(scratch).p, or_all, [v](std::size_t i, std::uint64_t& w) {
        w = std::bit_cast<std::uint64_t>(v[i]);
        return true;
    });
    return or_all;
}

std::size_t encode_raw(std::span<const double> row, PlaneScratch& scratch, std::uint8_t* out) {
    split_doubles(row, scratch);
    return write_planes(scratch, double_plane_count, descriptor_raw_double, out);
}

// Float32 planes 0..3 and the marker plane 4; false when a finite value overflows.
bool split_floats(std::span<const double> row, PlaneScratch& scratch) {
    const double* v = row.data();
    std::uint64_t or_all = 0;
    const bool fits = split_planes(row.size(), float32_value_plane_count, PlaneSet(scratch).p, or_all,
                                   [v](std::size_t i, std::uint64_t& w) {
        const float f = static_cast<float>(v[i]);
        w = std::bit_cast<std::uint32_t>(f);
        return !(std::isinf(f) && std::isfinite(v[i]));
    });
    if (fits) std::memset(scratch.plane(float32_marker_plane).data(), float32_marker, row.size());
    return fits;
}

// Magnitude planes 0..3 and scale-and-sign plane 4; false when a value is not finite or
// its magnitude does not fit 32 bits. Returns the OR of all words through `or_all`.
bool split_fixed(std::span<const double> row, std::uint8_t precision, PlaneScratch& scratch, std::uint64_t& or_all) {
    const double scale = powers_of_ten[precision];
    const std::uint64_t scale_byte = std::uint64_t{precision} << 4;
    const double* v = row.data();
    return split_planes(row.size(), fixed_plane_count, PlaneSet(scratch).p, or_all,
                        [=](std::size_t i, std::uint64_t& w) {
        if (!std::isfinite(v[i])) return false;
        const double r = round_half_even(scale * v[i]);
        const double magnitude = std::fabs(r);
        if (magnitude > max_magnitude) return false;
        const auto m = static_cast<std::uint32_t>(magnitude);
        const std::uint64_t sign_scale = m == 0 ? 0 : (scale_byte | (r < 0 ? 1 : 0));
        w = m | sign_scale << 32;
        return true;
    });
}

}  // namespace

std::size_t encode_payload_into(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                                std::uint8_t* out) noexcept {
    if (is_zero_row(row)) return write_preamble(out, descriptor_zero_row);
    if (type_code.is_double()) {
        const std::uint64_t or_all = split_doubles(row, scratch);
        return write_planes(scratch, double_plane_count, nonzero_planes(or_all, double_plane_count), out);
    }
    if (type_code.is_single()) {
        if (!split_floats(row, scratch)) return encode_raw(row, scratch, out);
        return write_planes(scratch, float32_plane_count, descriptor_float32, out);
    }
    std::uint64_t or_all = 0;
    if (type_code.precision > max_fixed_precision || !split_fixed(row, type_code.precision, scratch, or_all))
        return encode_raw(row, scratch, out);
    return write_planes(scratch, fixed_plane_count, nonzero_planes(or_all, fixed_plane_count), out);
}

void encode_payload(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                    std::vector<std::uint8_t>& out) {
    std::uint8_t* staged = scratch.staging(max_payload_size_for(row.size()));
    const std::size_t size = encode_payload_into(type_code, row, scratch, staged);
    out.insert(out.end(), staged, staged + size);
}

}  // namespace orvanel
