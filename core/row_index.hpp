// Random access by origin. One pass over the row records' five-byte headers (a file is
// read at the headers only, its payloads skipped; bytes in memory are indexed where they
// are) finds where every record starts; with that, any range of origins of any tables
// is decoded without touching the rest of the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/header.hpp"
#include "core/parallel.hpp"
#include "core/parallel_reader.hpp"
#include "core/table_selection.hpp"

namespace orvanel {

class RecordIndex {
public:
    // Frames every row record from `records_start` on, as a load does, decoding nothing.
    // A fault in the framing fails the pass with the error a load of the tables `chosen`
    // marks reports: the first payload fault of those tables before it, if there is one
    // (the payloads before the fault are then decoded to find out), else the framing
    // fault, with its offset. `input` must be available (a regular file or memory).
    static Result<RecordIndex> build(const RandomAccessInput& input, const MatrixHeader& file_header,
                                     std::uint64_t records_start, const TablePositions& chosen,
                                     const ParallelSettings& settings);

    // Decodes origins first..first + count - 1 (1-based, in range) of the tables
    // `positions` maps into `out`: (out_tables, count, Z) doubles, table-major,
    // zero-filled by the caller (zero rows are not written). The error is the first
    // payload fault in file order among the rows decoded, at its offset, as a load
    // reports it.
    Status read(const RandomAccessInput& input, double* out, std::size_t out_tables, std::uint32_t first,
                std::uint32_t count, const TablePositions& positions, const ParallelSettings& settings) const;

    // The memory the index holds: 8 bytes per record.
    std::size_t memory_bytes() const noexcept { return starts_.capacity() * sizeof(std::uint64_t); }

private:
    RecordIndex(const MatrixHeader& header);
    // Decodes the payloads of records [first_record, end_record) of the tables
    // `positions` maps, each into row (position, origin - first_row) of `out` (rows of
    // each table), or into a scratch row when `out` is null.
    Status decode(const RandomAccessInput& input, std::uint64_t first_record, std::uint64_t end_record,
                  const TablePositions& positions, double* out, std::uint32_t first_row, std::uint32_t rows,
                  const ParallelSettings& settings) const;

    std::vector<std::uint64_t> starts_;  // where each record starts, then where the last ends
    std::vector<TypeCode> type_codes_;   // by table number - 1
    std::uint16_t zones_;
    std::uint8_t tables_;
};

}  // namespace orvanel
