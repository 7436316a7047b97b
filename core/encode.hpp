// Row values to payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/plane.hpp"
#include "core/type_code.hpp"

namespace orvanel {

// Bytes the encoder may store past the end of a payload it writes (whole-vector stores);
// they are part of the room max_payload_size_for asks for.
inline constexpr std::size_t encode_overwrite = 64;

// The room encode_payload_into needs for a row of `zones` values: no payload of such a
// row is longer (preamble and descriptor, then at most 8 coded planes), and the encoder
// stores nothing beyond it. Reserve it once per row length.
constexpr std::size_t max_payload_size_for(std::size_t zones) noexcept {
    return 3 + 8 * max_coded_plane_size(zones) + encode_overwrite;
}

// Writes exactly one payload for `row` at `out` in the encoding its table type calls
// for, falling back to raw doubles for values the type cannot hold, and returns its size.
// `out` has room for max_payload_size_for(row.size()) bytes; bytes past the returned
// size may have been overwritten. `scratch` was made for row.size() zones. Cannot fail
// and allocates nothing; the caller checks the size limit of a record.
std::size_t encode_payload_into(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                                std::uint8_t* out) noexcept;

struct CodecKernels;

// The same with a given kernel set instead of the one the process uses (tests and
// benchmarks compare the sets).
std::size_t encode_payload_into(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                                std::uint8_t* out, const CodecKernels& kernels) noexcept;

// The same payload, appended to `out`.
void encode_payload(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                    std::vector<std::uint8_t>& out);

}  // namespace orvanel
