// Row record framing: the five bytes in front of each row payload, and the order in
// which records follow one another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvanel {

// Row (2 bytes, little-endian), table (1 byte), chunk size (2 bytes, little-endian).
// The chunk size is the payload's size plus 2, so it is never below 2 and a payload
// holds at most 65533 bytes.
inline constexpr std::size_t record_header_size = 5;
inline constexpr std::size_t chunk_size_offset = 3;
inline constexpr std::uint16_t min_chunk_size = 2;
inline constexpr std::size_t max_payload_size = 0xFFFF - min_chunk_size;

struct RecordHeader {
    std::uint16_t row = 0;
    std::uint8_t table = 0;
    std::uint16_t chunk_size = 0;
};

RecordHeader parse_record_header(std::span<const std::uint8_t, record_header_size> bytes) noexcept;
// Writes the header of a record whose payload has `payload_size` bytes (at most
// max_payload_size).
void fill_record_header(std::span<std::uint8_t, record_header_size> bytes, std::uint16_t row, std::uint8_t table,
                        std::size_t payload_size) noexcept;

// The framing of one row record as read; `payload` stays valid until the next record.
struct RowRecordHead {
    std::uint16_t row = 0;
    std::uint8_t table = 0;
    std::uint64_t record_start = 0;
    std::span<const std::uint8_t> payload;
};

// The (row, table) the next record must carry, advanced table first. The row stops at
// 65535 instead of wrapping.
struct RecordPosition {
    std::uint16_t row = 1;
    std::uint8_t table = 1;

    void advance(std::uint8_t table_count) noexcept {
        if (table < table_count) {
            ++table;
        } else {
            table = 1;
            if (row < 0xFFFF) ++row;
        }
    }
};

}  // namespace orvanel
