// Row payload decoding over arbitrary payloads, for every type code.
//
// Input: byte 0 the zone count Z, or 0xFF followed by Z as two bytes (little-endian) for
// zone counts of 255 and more; the rest is the payload. Every one of
// the twelve type codes decodes the same payload; each result must match the plain
// reference decoder bit for bit, error for error, and a failed decode must leave the
// output untouched.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/decode.hpp"
#include "fuzz/reference.hpp"

namespace {

using orvanel::MatrixError;

constexpr double untouched = -1234.5;  // what the output holds before each decode

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t z = data[0], skip = 1;
    if (z == 0xFF) {
        if (size < 3) return 0;
        z = data[1] | std::size_t{data[2]} << 8;
        skip = 3;
    }
    const std::span<const std::uint8_t> payload(data + skip, size - skip);

    static std::unique_ptr<orvanel::PlaneScratch> scratch;
    if (!scratch || scratch->zone_count() != z) scratch = std::make_unique<orvanel::PlaneScratch>(z);

    std::vector<double> out(z), expected;
    std::optional<bool> fixed_ok;
    std::vector<double> fixed_values;
    for (int code = 0; code < 12; ++code) {
        const fuzz::TypeCode tc = fuzz::type_code_from_byte(static_cast<std::uint8_t>(code));
        std::fill(out.begin(), out.end(), untouched);
        orvanel::Status got = orvanel::decode_payload(tc, payload, *scratch, out);
        std::optional<MatrixError> want = fuzz::ref_decode_payload(tc, payload, z, expected);
        FUZZ_CHECK(got.ok() == !want.has_value());
        if (!got.ok()) {
            FUZZ_CHECK(!got.error().offset().has_value());
            FUZZ_CHECK(fuzz::same_error(got.error(), *want));
            for (double v : out) FUZZ_CHECK(fuzz::bits(v) == fuzz::bits(untouched));
        } else {
            FUZZ_CHECK(fuzz::same_bits(out, expected));
        }
        // The precision of a fixed-point table plays no part in decoding.
        if (tc.is_fixed()) {
            if (!fixed_ok) {
                fixed_ok = got.ok();
                fixed_values = out;
            } else {
                FUZZ_CHECK(*fixed_ok == got.ok());
                if (got.ok()) FUZZ_CHECK(fuzz::same_bits(out, fixed_values));
            }
        }
    }
    return 0;
}
