// Row payloads to values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/plane.hpp"
#include "core/type_code.hpp"

namespace orvanel {

// Bytes after a payload that the decoder reads when they may be read: its fastest token
// expansion loads this many bytes at a time. A caller that owns the buffer a payload
// lies in can leave this much room after the buffer's data and pass it as
// `readable_after`.
inline constexpr std::size_t decode_overread = 32;

// Decodes one payload into out.size() values; `scratch` was made for out.size() zones.
// `readable_after` is how many bytes after payload.end() may be read (0 when none may;
// the bytes themselves play no part in the result). The same values and the same error
// for any `readable_after`. `out` is written only once every check has passed. Errors
// carry no offset; the caller attaches the payload's offset.
Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out);

struct CodecKernels;

// The same with a given kernel set instead of the one the process uses (tests and
// benchmarks compare the sets).
Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out, const CodecKernels& kernels);

// The same with nothing readable after the payload.
inline Status decode_payload(TypeCode type_code, std::span<const std::uint8_t> payload, PlaneScratch& scratch,
                             std::span<double> out) {
    return decode_payload(type_code, payload, 0, scratch, out);
}

}  // namespace orvanel
