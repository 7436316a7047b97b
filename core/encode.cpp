#include "core/encode.hpp"

#include <bit>
#include <cstring>

#include "core/kernels.hpp"
#include "core/payload.hpp"
#include "core/plane.hpp"
#include "core/schema.hpp"

namespace orvanel {

static_assert(encode_overwrite >= token_overwrite);

namespace {

std::size_t write_preamble(std::uint8_t* out, std::uint8_t descriptor) {
    out[0] = payload_preamble;
    out[1] = payload_preamble;
    out[2] = descriptor;
    return 3;
}

// Every value is zero (either sign): the bits other than the sign are all clear. Stops
// at the first block with a non-zero value, which for most rows is the first.
bool is_zero_row(std::span<const double> row) {
    constexpr std::uint64_t unsigned_bits = 0x7FFFFFFFFFFFFFFF;
    const double* v = row.data();
    const std::size_t n = row.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t any = 0;
        for (std::size_t j = 0; j < 8; ++j) any |= std::bit_cast<std::uint64_t>(v[i + j]);
        if (any & unsigned_bits) return false;
    }
    std::uint64_t any = 0;
    for (; i < n; ++i) any |= std::bit_cast<std::uint64_t>(v[i]);
    return (any & unsigned_bits) == 0;
}

struct PlaneSet {
    std::uint8_t* p[8];
    explicit PlaneSet(PlaneScratch& scratch) {
        for (int k = 0; k < 8; ++k) p[k] = scratch.plane_data(k);
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

std::size_t write_planes(PlaneScratch& scratch, int plane_count, std::uint8_t descriptor, std::uint8_t* out,
                         const CodecKernels& kernels) {
    std::size_t size = write_preamble(out, descriptor);
    for (int k = 0; k < plane_count; ++k) {
        if (descriptor & plane_bit(k)) size += encode_plane_fast(scratch.plane(k), scratch.bits(), out + size, kernels);
    }
    return size;
}

std::size_t encode_raw(std::span<const double> row, PlaneScratch& scratch, std::uint8_t* out,
                       const CodecKernels& kernels) {
    kernels.split_double(row.data(), row.size(), PlaneSet(scratch).p);
    return write_planes(scratch, double_plane_count, descriptor_raw_double, out, kernels);
}

}  // namespace

std::size_t encode_payload_into(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                                std::uint8_t* out) noexcept {
    return encode_payload_into(type_code, row, scratch, out, codec_kernels());
}

std::size_t encode_payload_into(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                                std::uint8_t* out, const CodecKernels& kernels) noexcept {
    if (is_zero_row(row)) return write_preamble(out, descriptor_zero_row);
    const double* v = row.data();
    const std::size_t n = row.size();
    if (type_code.is_double()) {
        const std::uint64_t or_all = kernels.split_double(v, n, PlaneSet(scratch).p);
        return write_planes(scratch, double_plane_count, nonzero_planes(or_all, double_plane_count), out, kernels);
    }
    if (type_code.is_single()) {
        if (!kernels.split_float(v, n, PlaneSet(scratch).p)) return encode_raw(row, scratch, out, kernels);
        // Every byte of the marker plane is the marker: its tokens need no scan.
        std::size_t size = write_planes(scratch, float32_value_plane_count, descriptor_float32, out, kernels);
        return size + encode_uniform_plane(float32_marker, n, out + size);
    }
    std::uint64_t or_all = 0;
    if (type_code.precision > max_fixed_precision ||
        !kernels.split_fixed(v, n, type_code.precision, PlaneSet(scratch).p, &or_all))
        return encode_raw(row, scratch, out, kernels);
    return write_planes(scratch, fixed_plane_count, nonzero_planes(or_all, fixed_plane_count), out, kernels);
}

void encode_payload(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                    std::vector<std::uint8_t>& out) {
    std::uint8_t* staged = scratch.staging(max_payload_size_for(row.size()));
    const std::size_t size = encode_payload_into(type_code, row, scratch, staged);
    out.insert(out.end(), staged, staged + size);
}

}  // namespace orvanel
