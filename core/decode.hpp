// Row payloads to values.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/plane.hpp"
#include "core/type_code.hpp"

namespace orvanel {

// Decodes one payload into out.size() values. `out` is written only once every check
// has passed. Errors carry no offset; the caller attaches the payload's offset.
Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload,
                      PlaneScratch& scratch, std::span<double> out);

}  // namespace orvanel
