#include "core/writer.hpp"

#include <cstring>

#include "core/encode.hpp"
#include "core/file_replace.hpp"

namespace orvanel {

namespace {

constexpr const char* buffered_write_failed = "failed to write the buffered data";
constexpr const char* direct_write_failed = "failed to write whole buffer";

// Length of a text header record: the text, one closing NUL unless it ends in one, and
// the length field.
std::uint64_t text_record_length(std::string_view text) {
    return 4 + text.size() + (text.empty() || text.back() != '\0' ? 1 : 0);
}

Status check_record_length(std::uint8_t record, const char* what, std::uint64_t length) {
    if (length > max_header_record_length) return MatrixError::header_record_too_large(record, what, length);
    return {};
}

}  // namespace

Status validate_for_writing(const MatrixHeader& header) {
    ORVANEL_TRY(validate_zone_count(header.zone_count));
    ORVANEL_TRY(validate_tables(header.tables));
    ORVANEL_TRY(check_record_length(1, "banner", text_record_length(header.banner)));
    ORVANEL_TRY(check_record_length(2, "run identifier", 3 + text_record_length(header.run_id)));
    std::uint64_t mvr = 4 + 4 + std::to_string(header.tables.size()).size() + 1;
    for (const TableInfo& table : header.tables) mvr += table.name.size() + 3;
    return check_record_length(4, "table catalogue", mvr);
}

MatrixWriter::MatrixWriter(ByteSink sink, const MatrixHeader& header)
    : sink_(std::move(sink)),
      zone_count_(header.zone_count),
      table_count_(header.table_count()),
      expected_rows_(std::uint32_t{header.zone_count} * header.table_count()),
      scratch_(header.zone_count) {
    if (!sink_->is_memory()) buffer_ = std::make_unique<std::uint8_t[]>(write_buffer_size);
    type_codes_.reserve(header.tables.size());
    for (const TableInfo& table : header.tables) type_codes_.push_back(table.type_code);
    record_.reserve(8 * std::size_t{zone_count_} + record_header_size);
}

Result<MatrixWriter> MatrixWriter::create(ByteSink sink, const MatrixHeader& header) {
    ORVANEL_TRY(validate_for_writing(header));
    return start(std::move(sink), header);
}

Result<MatrixWriter> MatrixWriter::start(ByteSink sink, const MatrixHeader& header) {
    std::vector<std::uint8_t> bytes;
    emit_header(header, bytes);
    ORVANEL_TRY(sink.write_all(bytes, direct_write_failed));
    return MatrixWriter(std::move(sink), header);
}

MatrixWriter::~MatrixWriter() {
    if (sink_ && buffered_ > 0) (void)flush_buffer();
}

Status MatrixWriter::flush_buffer() {
    const std::size_t n = std::exchange(buffered_, 0);
    return sink_->write_all({buffer_.get(), n}, buffered_write_failed);
}

// Rows reach a file in 64 KiB blocks; a record at least that long bypasses the buffer.
// Memory needs no buffering: records are appended as they come.
Status MatrixWriter::emit(std::span<const std::uint8_t> record) {
    if (!buffer_) return sink_->write_all(record, direct_write_failed);
    const std::size_t n = record.size();
    const std::size_t free = write_buffer_size - buffered_;
    if (n > free) {
        ORVANEL_TRY(flush_buffer());
    }
    if (n >= write_buffer_size) return sink_->write_all(record, direct_write_failed);
    std::memcpy(buffer_.get() + buffered_, record.data(), n);
    buffered_ += n;
    return {};
}

Status MatrixWriter::write_row(std::span<const double> values) {
    if (rows_written_ >= expected_rows_) return MatrixError::writer_finished();
    if (values.size() != zone_count_) return MatrixError::zone_count_mismatch(zone_count_, values.size());
    record_.assign(record_header_size, 0);
    encode_payload(type_codes_[next_.table - 1], values, scratch_, record_);
    const std::size_t payload_size = record_.size() - record_header_size;
    if (payload_size > max_payload_size) return MatrixError::payload_too_large(payload_size);
    fill_record_header(std::span(record_).first<record_header_size>(), next_.row, next_.table, payload_size);
    ORVANEL_TRY(emit(record_));
    ++rows_written_;
    next_.advance(table_count_);
    return {};
}

Result<ByteSink> MatrixWriter::finish() && {
    if (rows_written_ != expected_rows_) return MatrixError::incomplete_matrix(expected_rows_, rows_written_);
    if (buffer_ && buffered_ > 0) {
        ORVANEL_TRY(flush_buffer());
    }
    ByteSink sink = std::move(*sink_);
    sink_.reset();
    return sink;
}

// Origin-major, table-minor, although the value block is table-major.
Result<ByteSink> MatrixWriter::write_rows(const Matrix& matrix, ByteSink sink) {
    auto writer = start(std::move(sink), matrix.header());
    if (!writer) return writer.take_error();
    const std::size_t z = matrix.zone_count();
    const double* values = matrix.values().data();
    for (std::size_t o = 0; o < z; ++o) {
        for (std::size_t t = 0; t < matrix.table_count(); ++t) {
            ORVANEL_TRY(writer.value().write_row({values + (t * z + o) * z, z}));
        }
    }
    return std::move(writer.value()).finish();
}

// Both check the header before anything is written, or a file is touched.
Status write_matrix_file(const Matrix& matrix, std::string_view path) {
    ORVANEL_TRY(validate_for_writing(matrix.header()));
    auto replacement = FileReplacement::begin(path);
    if (!replacement) return replacement.take_error();
    auto sink = MatrixWriter::write_rows(matrix, ByteSink::file(std::move(replacement.value().handle())));
    if (!sink) return sink.take_error();
    replacement.value().handle() = std::move(sink.value().handle());
    return replacement.value().commit();
}

Result<GrowableBuffer> write_matrix_bytes(const Matrix& matrix) {
    ORVANEL_TRY(validate_for_writing(matrix.header()));
    auto sink = MatrixWriter::write_rows(matrix, ByteSink::memory());
    if (!sink) return sink.take_error();
    GrowableBuffer bytes = std::move(sink.value().buffer());
    bytes.shrink_to_fit();
    return bytes;
}

}  // namespace orvanel
