// Row record framing and the run/literal token coding of one byte plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace orvanel {

inline constexpr std::size_t record_header_size = 5;
inline constexpr std::size_t max_payload_size = 65'533;
inline constexpr std::uint16_t max_token_count = 32'767;

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

// Expands the tokens at the start of `in` into exactly out.size() bytes. Returns the
// number of input bytes used. Errors carry no offset.
Result<std::size_t> decode_plane(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// Appends `plane` to `out` as run and literal tokens.
void encode_plane(std::span<const std::uint8_t> plane, std::vector<std::uint8_t>& out);

}  // namespace orvanel
