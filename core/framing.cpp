#include "core/framing.hpp"

namespace orvanel {

RecordHeader parse_record_header(std::span<const std::uint8_t, record_header_size> bytes) noexcept {
    return {static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8), bytes[2],
            static_cast<std::uint16_t>(bytes[3] | bytes[4] << 8)};
}

void fill_record_header(std::span<std::uint8_t, record_header_size> bytes, std::uint16_t row, std::uint8_t table,
                        std::size_t payload_size) noexcept {
    const auto chunk = static_cast<std::uint16_t>(payload_size + min_chunk_size);
    bytes[0] = static_cast<std::uint8_t>(row);
    bytes[1] = static_cast<std::uint8_t>(row >> 8);
    bytes[2] = table;
    bytes[3] = static_cast<std::uint8_t>(chunk);
    bytes[4] = static_cast<std::uint8_t>(chunk >> 8);
}

}  // namespace orvanel
