// Row payload decoding over arbitrary payloads, for every type code and every kernel
// set the processor can run.
//
// Input: byte 0 the zone count Z, or 0xFF followed by Z as two bytes (little-endian) for
// zone counts of 255 and more; the rest is the payload. Double, single and a fixed-point
// type (precision Z mod 10: decoding never looks at it) decode the same payload twice
// per kernel set: where the payload ends the input (nothing after it may be read) and
// from a copy followed by decode_overread bytes that may be read. Each result must match
// the plain reference decoder bit for bit, error for error, and a failed decode must
// leave the output untouched.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/decode.hpp"
#include "core/kernels.hpp"
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
    // The same payload with bytes after it that may be read (and must not matter).
    std::vector<std::uint8_t> padded(payload.begin(), payload.end());
    padded.resize(payload.size() + orvanel::decode_overread, 0x80);
    const std::span<const std::uint8_t> followed(padded.data(), payload.size());

    static std::unique_ptr<orvanel::PlaneScratch> scratch;
    if (!scratch || scratch->zone_count() != z) scratch = std::make_unique<orvanel::PlaneScratch>(z);

    std::vector<double> out(z), expected;
    for (const fuzz::TypeCode tc : {fuzz::TypeCode::double_precision(), fuzz::TypeCode::single(),
                                    fuzz::TypeCode::fixed(static_cast<std::uint8_t>(z % 10))}) {
        std::optional<MatrixError> want = fuzz::ref_decode_payload(tc, payload, z, expected);
        for (const orvanel::CodecKernels* const* k = orvanel::available_codec_kernels(); *k; ++k) {
            for (const bool room_after : {false, true}) {
                std::fill(out.begin(), out.end(), untouched);
                orvanel::Status got =
                    room_after ? orvanel::decode_payload(tc, followed, orvanel::decode_overread, *scratch, out, **k)
                               : orvanel::decode_payload(tc, payload, 0, *scratch, out, **k);
                FUZZ_CHECK(got.ok() == !want.has_value());
                if (!got.ok()) {
                    FUZZ_CHECK(!got.error().offset().has_value());
                    FUZZ_CHECK(fuzz::same_error(got.error(), *want));
                    for (double v : out) FUZZ_CHECK(fuzz::bits(v) == fuzz::bits(untouched));
                } else {
                    FUZZ_CHECK(fuzz::same_bits(out, expected));
                }
            }
        }
    }
    return 0;
}
