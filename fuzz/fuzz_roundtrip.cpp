// Encoding arbitrary rows and reading them back.
//
// Input: byte 0 picks the type code, byte 1 how the rest becomes values:
//   0: 8 bytes per value, the bits of a double;
//   1: 4 bytes per value, the bits of a float widened to a double;
//   2: 5 bytes per value, a signed 32-bit integer divided by 10^(e mod 10) for the fifth
//      byte e, moved one ulp up when e has bit 7 set (decimal values and rounding ties).
// The payload must be exactly the one the encoding rules give (from every kernel set,
// written into exactly the room max_payload_size_for asks for), decode to exactly the
// values they give, frame into a record that a writer emits byte for byte as framed
// here, and read back through the reader from a file whose first row it is.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/decode.hpp"
#include "core/encode.hpp"
#include "core/kernels.hpp"
#include "core/reader.hpp"
#include "core/writer.hpp"
#include "fuzz/reference.hpp"

namespace {

using orvanel::MatrixError;

constexpr std::size_t max_zones = 32000;
constexpr std::size_t whole_file_zones = 512;  // above this only the first record is read

std::vector<double> values_from(std::uint8_t mode, const std::uint8_t* p, std::size_t n) {
    std::vector<double> row;
    switch (mode % 3) {
    case 0:
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            row.push_back(std::bit_cast<double>(w));
        }
        break;
    case 1:
        for (; n >= 4; p += 4, n -= 4) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            row.push_back(static_cast<double>(std::bit_cast<float>(w)));
        }
        break;
    default:
        for (; n >= 5; p += 5, n -= 5) {
            std::int32_t i;
            std::memcpy(&i, p, 4);
            double v = static_cast<double>(i) / fuzz::pow10[p[4] % 10];
            if (p[4] & 0x80) v = std::nextafter(v, INFINITY);
            row.push_back(v);
        }
        break;
    }
    return row;
}

orvanel::PlaneScratch& scratch_for(std::unique_ptr<orvanel::PlaneScratch>& slot, std::size_t z) {
    if (!slot || slot->zone_count() != z) slot = std::make_unique<orvanel::PlaneScratch>(z);
    return *slot;
}

void append_record(std::vector<std::uint8_t>& out, std::uint16_t row, std::span<const std::uint8_t> payload) {
    const std::size_t chunk = payload.size() + 2;
    out.insert(out.end(), {static_cast<std::uint8_t>(row), static_cast<std::uint8_t>(row >> 8), 1,
                           static_cast<std::uint8_t>(chunk), static_cast<std::uint8_t>(chunk >> 8)});
    out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const fuzz::TypeCode tc = fuzz::type_code_from_byte(data[0]);
    const std::vector<double> row = values_from(data[1], data + 2, size - 2);
    const std::size_t z = row.size();
    if (z == 0 || z > max_zones) return 0;

    const fuzz::Expected want = fuzz::expected_encoding(tc, row);

    // The payload, appended after bytes that must stay as they are.
    static std::unique_ptr<orvanel::PlaneScratch> encode_scratch, decode_scratch;
    std::vector<std::uint8_t> out = {1, 2, 3, 4, 5};
    orvanel::encode_payload(tc, row, scratch_for(encode_scratch, z), out);
    FUZZ_CHECK(out.size() >= 5 && std::memcmp(out.data(), "\x01\x02\x03\x04\x05", 5) == 0);
    const std::span<const std::uint8_t> payload(out.data() + 5, out.size() - 5);
    FUZZ_CHECK(payload.size() == want.payload.size() && std::equal(payload.begin(), payload.end(), want.payload.begin()));
    const std::size_t room = orvanel::max_payload_size_for(z);
    FUZZ_CHECK(payload.size() + orvanel::encode_overwrite <= room);
    const auto into = std::make_unique<std::uint8_t[]>(room);
    for (const orvanel::CodecKernels* const* k = orvanel::available_codec_kernels(); *k; ++k) {
        const std::size_t size = orvanel::encode_payload_into(tc, row, scratch_for(encode_scratch, z), into.get(), **k);
        FUZZ_CHECK(size == payload.size() && std::equal(payload.begin(), payload.end(), into.get()));
    }

    std::vector<double> decoded(z);
    FUZZ_CHECK(orvanel::decode_payload(tc, payload, scratch_for(decode_scratch, z), decoded).ok());
    FUZZ_CHECK(fuzz::same_bits(decoded, want.read_back));

    // The writer refuses exactly the payloads above the record limit.
    auto header = orvanel::MatrixHeader::make(static_cast<std::uint32_t>(z));
    FUZZ_CHECK(header.ok());
    header.value().tables.push_back({"t", tc, 1});
    auto writer = orvanel::MatrixWriter::create(orvanel::ByteSink::memory(), header.value());
    FUZZ_CHECK(writer.ok());
    orvanel::Status first = writer.value().write_row(row);
    if (payload.size() > orvanel::max_payload_size) {
        FUZZ_CHECK(!first.ok());
        FUZZ_CHECK(fuzz::same_error(first.error(), MatrixError::payload_too_large(payload.size())));
        return 0;
    }
    FUZZ_CHECK(first.ok());

    // A file whose first record holds the row and whose other rows are zero rows.
    std::vector<std::uint8_t> file;
    orvanel::emit_header(header.value(), file);
    const std::size_t first_record = file.size();
    append_record(file, 1, payload);
    static constexpr std::uint8_t zero_row[] = {0x80, 0x80, 0x00};
    for (std::size_t o = 2; o <= z; ++o) append_record(file, static_cast<std::uint16_t>(o), zero_row);

    auto reader = orvanel::MatrixReader::from_bytes(file);
    FUZZ_CHECK(reader.ok());
    if (z > whole_file_zones) {
        auto head = reader.value().next_record();
        FUZZ_CHECK(head.ok() && head.value().has_value());
        FUZZ_CHECK(head.value()->row == 1 && head.value()->table == 1 && head.value()->record_start == first_record);
        const std::span<const std::uint8_t> read = head.value()->payload;
        FUZZ_CHECK(read.size() == payload.size() && std::equal(read.begin(), read.end(), payload.begin()));
        return 0;
    }

    for (std::size_t o = 2; o <= z; ++o) FUZZ_CHECK(writer.value().write_row(std::vector<double>(z, 0.0)).ok());
    auto sink = std::move(writer.value()).finish();
    FUZZ_CHECK(sink.ok());
    const auto written = sink.value().buffer().bytes();
    FUZZ_CHECK(written.size() == file.size() && std::equal(written.begin(), written.end(), file.begin()));

    auto matrix = orvanel::MatrixReader::load_all(std::move(reader.value()));
    FUZZ_CHECK(matrix.ok());
    FUZZ_CHECK(fuzz::same_bits(matrix.value().row(1, 1), want.read_back));
    for (std::size_t o = 2; o <= z; ++o) {
        for (double v : matrix.value().row(1, static_cast<std::uint16_t>(o))) FUZZ_CHECK(fuzz::bits(v) == 0);
    }
    return 0;
}
