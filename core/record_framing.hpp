// The rules a stream of row records follows after the header: each record's chunk size,
// row and table in range, records in (row, table) order, and nothing after the last.
// One implementation for every reader, whatever its byte source.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/framing.hpp"
#include "core/header.hpp"

namespace orvanel {

class RecordFraming {
public:
    explicit RecordFraming(const MatrixHeader& header) noexcept
        : zone_count_(header.zone_count),
          table_count_(header.table_count()),
          expected_total_(std::uint32_t{header.zone_count} * header.table_count()) {}

    // The next row record, nothing at the confirmed end of the stream, or an error. The
    // payload view stays valid until the next read of `source` (or longer, as the source
    // promises).
    template <class Source>
    Result<std::optional<RowRecordHead>> next(Source& source, std::vector<std::uint8_t>& spill);

    // Counts the record `next` returned as read.
    void advance() noexcept {
        ++records_read_;
        expected_.advance(table_count_);
    }

    // Records read so far: the number of the next record, counted from 0.
    std::uint32_t records_read() const noexcept { return records_read_; }
    std::uint32_t records_left() const noexcept { return expected_total_ - records_read_; }

private:
    std::uint16_t zone_count_;
    std::uint8_t table_count_;
    std::uint32_t expected_total_;
    std::uint32_t records_read_ = 0;
    RecordPosition expected_;
    bool finished_ = false;
};

template <class Source>
Result<std::optional<RowRecordHead>> RecordFraming::next(Source& source, std::vector<std::uint8_t>& spill) {
    using Next = std::optional<RowRecordHead>;
    if (finished_) return Next{};
    if (records_read_ >= expected_total_) {
        auto more = source.has_more();
        if (!more) return more.take_error();
        if (more.value()) return MatrixError::trailing_bytes().at(source.counter());
        finished_ = true;
        return Next{};
    }

    RowRecordHead head;
    head.record_start = source.counter();
    std::uint8_t bytes[record_header_size];
    ORVANEL_TRY(source.read_exact(bytes));
    const RecordHeader fields = parse_record_header(bytes);
    head.row = fields.row;
    head.table = fields.table;
    if (fields.chunk_size < min_chunk_size)
        return MatrixError::invalid_chunk_size(fields.chunk_size).at(head.record_start + chunk_size_offset);

    auto payload = source.read_view(fields.chunk_size - min_chunk_size, spill);
    if (!payload) return payload.take_error();
    head.payload = payload.value();

    if (head.table == 0 || head.table > table_count_ || head.row == 0 || head.row > zone_count_)
        return MatrixError::invalid_row_index(head.row, head.table, zone_count_, table_count_).at(head.record_start);
    if (head.row != expected_.row || head.table != expected_.table)
        return MatrixError::row_order_violation(expected_.row, expected_.table, head.row, head.table)
            .at(head.record_start);
    return Next{head};
}

}  // namespace orvanel
