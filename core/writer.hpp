// Writing a matrix as a stream of row records, to a file or to memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/framing.hpp"
#include "core/header.hpp"
#include "core/matrix.hpp"
#include "core/plane.hpp"
#include "core/sink.hpp"

namespace orvanel {

// Everything a header must pass before any byte of it is written: zone count, tables,
// and header records the reader will accept.
Status validate_for_writing(const MatrixHeader& header);

class MatrixWriter {
public:
    // Checks the header, then emits it straight to the sink.
    static Result<MatrixWriter> create(ByteSink sink, const MatrixHeader& header);

    MatrixWriter(MatrixWriter&&) noexcept = default;
    MatrixWriter& operator=(MatrixWriter&&) = delete;
    // A writer dropped before `finish` still hands its buffered rows to the sink,
    // ignoring any failure in doing so.
    ~MatrixWriter();

    // Writes the row at the current (origin, table) position; the writer assigns it.
    Status write_row(std::span<const double> values);
    // Checks that every row was written, flushes, and gives the sink back.
    Result<ByteSink> finish() &&;

private:
    friend Status write_matrix_file(const Matrix& matrix, std::string_view path);
    friend Result<GrowableBuffer> write_matrix_bytes(const Matrix& matrix);

    MatrixWriter(ByteSink sink, const MatrixHeader& header);
    // Emits a header the caller has checked, then makes the writer.
    static Result<MatrixWriter> start(ByteSink sink, const MatrixHeader& header);
    // Writes every row of a matrix whose header the caller has checked.
    static Result<ByteSink> write_rows(const Matrix& matrix, ByteSink sink);
    Status emit(std::span<const std::uint8_t> record);
    Status flush_buffer();

    std::optional<ByteSink> sink_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t buffered_ = 0;
    std::vector<TypeCode> type_codes_;
    std::uint16_t zone_count_;
    std::uint8_t table_count_;
    std::uint32_t expected_rows_;
    std::uint32_t rows_written_ = 0;
    RecordPosition next_;
    std::vector<std::uint8_t> record_;
    PlaneScratch scratch_;
};

// Writes the whole matrix to `path`; on failure the previous file at the path is intact.
Status write_matrix_file(const Matrix& matrix, std::string_view path);
// The whole matrix as the bytes of a file.
Result<GrowableBuffer> write_matrix_bytes(const Matrix& matrix);

}  // namespace orvanel
