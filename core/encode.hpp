// Row values to payloads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/plane.hpp"
#include "core/type_code.hpp"

namespace orvanel {

// Appends exactly one payload for `row` in the encoding its table type calls for,
// falling back to raw doubles for values the type cannot hold. Cannot fail; the caller
// checks the size limit.
void encode_payload(TypeCode type_code, std::span<const double> row, PlaneScratch& scratch,
                    std::vector<std::uint8_t>& out);

}  // namespace orvanel
