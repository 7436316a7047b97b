// Byte planes: the scratch planes a row is split into or assembled from, and the run and
// literal token coding of one plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace orvanel {

// A token codes at most this many bytes: its count has 15 bits.
inline constexpr std::uint16_t max_token_count = 32'767;

// 8 byte planes of Z bytes each, reused for every row of one reader or writer, and a
// ninth plane that stays all zero and stands in for planes a payload leaves out.
class PlaneScratch {
public:
    explicit PlaneScratch(std::size_t zone_count);
    std::span<std::uint8_t> plane(int k) noexcept { return {data_.get() + k * zones_, zones_}; }
    std::span<const std::uint8_t> zero_plane() const noexcept { return {data_.get() + 8 * zones_, zones_}; }
    std::size_t zone_count() const noexcept { return zones_; }

private:
    std::size_t zones_;
    std::unique_ptr<std::uint8_t[]> data_;
};

// Expands the tokens at the start of `in` into exactly out.size() bytes. Returns the
// number of input bytes used. Errors carry no offset.
Result<std::size_t> decode_plane(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// Appends `plane` to `out` as run and literal tokens.
void encode_plane(std::span<const std::uint8_t> plane, std::vector<std::uint8_t>& out);

}  // namespace orvanel
