// Row payloads to values.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "error.hpp"
#include "type_code.hpp"

namespace orvanel {

// 8 byte planes of Z bytes each, reused for every row of one reader or writer, and a
// ninth plane that stays all zero and stands in for planes a payload leaves out.
class PlaneScratch {
public:
    explicit PlaneScratch(std::size_t zone_count);
    std::span<std::uint8_t> plane(int k) noexcept { return {data_.get() + k * zones_, zones_}; }
    std::span<const std::uint8_t> zero_plane() const noexcept { return {data_.get() + 8 * zones_, zones_}; }
    std::uint8_t* data() noexcept { return data_.get(); }
    std::size_t zone_count() const noexcept { return zones_; }

private:
    std::size_t zones_;
    std::unique_ptr<std::uint8_t[]> data_;
};

// Decodes one payload into out.size() values. `out` is written only once every check
// has passed. Errors carry no offset; the caller attaches the payload's offset.
Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload,
                      PlaneScratch& scratch, std::span<double> out);

}  // namespace orvanel
