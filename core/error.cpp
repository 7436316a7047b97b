#include "core/error.hpp"

#include <iterator>
#include <system_error>

namespace orvanel {

struct MatrixError::Record {
    ErrorKind kind;
    std::optional<std::uint64_t> offset;
    // Integer fields in the order of the kind's field list.
    std::uint64_t f[4] = {0, 0, 0, 0};
    std::string text;          // detail, name, got text, or io description
    TypeCode type_code{};      // invalid_descriptor
    const char* context = "";  // shape_mismatch, header_record_too_large
    int os_code = 0;           // io with an error number
};

namespace {

struct KindInfo {
    ErrorKind kind;
    std::string_view name;
    ErrorCategory category;
};

constexpr KindInfo kind_info[] = {
    {ErrorKind::io, "io", ErrorCategory::io},
    {ErrorKind::invalid_header_length, "invalid_header_length", ErrorCategory::parse},
    {ErrorKind::invalid_par, "invalid_par", ErrorCategory::parse},
    {ErrorKind::invalid_mvr, "invalid_mvr", ErrorCategory::parse},
    {ErrorKind::invalid_type_code, "invalid_type_code", ErrorCategory::validation},
    {ErrorKind::missing_row_marker, "missing_row_marker", ErrorCategory::parse},
    {ErrorKind::table_count_mismatch, "table_count_mismatch", ErrorCategory::parse},
    {ErrorKind::invalid_row_index, "invalid_row_index", ErrorCategory::parse},
    {ErrorKind::row_order_violation, "row_order_violation", ErrorCategory::parse},
    {ErrorKind::invalid_preamble, "invalid_preamble", ErrorCategory::parse},
    {ErrorKind::invalid_descriptor, "invalid_descriptor", ErrorCategory::parse},
    {ErrorKind::plane_size, "plane_size", ErrorCategory::parse},
    {ErrorKind::zero_run_count, "zero_run_count", ErrorCategory::parse},
    {ErrorKind::invalid_float32_marker, "invalid_float32_marker", ErrorCategory::parse},
    {ErrorKind::invalid_chunk_size, "invalid_chunk_size", ErrorCategory::parse},
    {ErrorKind::trailing_bytes, "trailing_bytes", ErrorCategory::parse},
    {ErrorKind::table_not_found, "table_not_found", ErrorCategory::validation},
    {ErrorKind::table_index_out_of_range, "table_index_out_of_range", ErrorCategory::validation},
    {ErrorKind::unexpected_eof, "unexpected_eof", ErrorCategory::parse},
    {ErrorKind::invalid_zone_count, "invalid_zone_count", ErrorCategory::validation},
    {ErrorKind::invalid_table_count, "invalid_table_count", ErrorCategory::validation},
    {ErrorKind::zone_count_mismatch, "zone_count_mismatch", ErrorCategory::validation},
    {ErrorKind::shape_mismatch, "shape_mismatch", ErrorCategory::validation},
    {ErrorKind::invalid_table_name, "invalid_table_name", ErrorCategory::validation},
    {ErrorKind::payload_too_large, "payload_too_large", ErrorCategory::writer},
    {ErrorKind::writer_finished, "writer_finished", ErrorCategory::writer},
    {ErrorKind::writer_position_mismatch, "writer_position_mismatch", ErrorCategory::writer},
    {ErrorKind::incomplete_matrix, "incomplete_matrix", ErrorCategory::writer},
    {ErrorKind::header_record_too_large, "header_record_too_large", ErrorCategory::validation},
};

// One row per kind, in the order of the enumeration, so that error_name and
// error_category can index the table by kind.
static_assert(std::size(kind_info) == error_kind_count, "one row per error kind");
constexpr bool rows_in_kind_order() {
    for (std::size_t i = 0; i < std::size(kind_info); ++i) {
        if (kind_info[i].kind != static_cast<ErrorKind>(i)) return false;
    }
    return true;
}
static_assert(rows_in_kind_order(), "rows in the order of the enumeration");

std::string hex2(std::uint64_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[(byte >> 4) & 0xF], digits[byte & 0xF]};
}

std::string dec(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string_view error_name(ErrorKind kind) noexcept { return kind_info[static_cast<std::size_t>(kind)].name; }

ErrorCategory error_category(ErrorKind kind) noexcept {
    return kind_info[static_cast<std::size_t>(kind)].category;
}

MatrixError::MatrixError(RecordPtr record) noexcept : record_(std::move(record)) {}
void MatrixError::RecordDeleter::operator()(Record* record) const noexcept {
    std::default_delete<Record>()(record);
}

namespace {

MatrixError::RecordPtr make(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0,
                                          std::uint64_t c = 0, std::uint64_t d = 0) {
    MatrixError::RecordPtr r(new MatrixError::Record{});
    r->kind = kind;
    r->f[0] = a;
    r->f[1] = b;
    r->f[2] = c;
    r->f[3] = d;
    return r;
}

MatrixError::RecordPtr make_text(ErrorKind kind, std::string text) {
    auto r = make(kind);
    r->text = std::move(text);
    return r;
}

}  // namespace

// The operating system's text for the error number, as strerror gives it, e.g. "No
// such file or directory (os error 2)".
MatrixError MatrixError::io_os(int os_code) {
    auto r = make_text(ErrorKind::io, std::system_category().message(os_code) + " (os error " +
                                          dec(static_cast<std::uint64_t>(os_code)) + ")");
    r->os_code = os_code;
    return MatrixError(std::move(r));
}
MatrixError MatrixError::io_text(std::string description) {
    return MatrixError(make_text(ErrorKind::io, std::move(description)));
}
MatrixError MatrixError::invalid_header_length(std::uint8_t record, std::uint32_t length) {
    return MatrixError(make(ErrorKind::invalid_header_length, record, length));
}
MatrixError MatrixError::invalid_par(std::string detail) {
    return MatrixError(make_text(ErrorKind::invalid_par, std::move(detail)));
}
MatrixError MatrixError::invalid_mvr(std::string detail) {
    return MatrixError(make_text(ErrorKind::invalid_mvr, std::move(detail)));
}
MatrixError MatrixError::invalid_type_code(std::string got) {
    return MatrixError(make_text(ErrorKind::invalid_type_code, std::move(got)));
}
MatrixError MatrixError::missing_row_marker() { return MatrixError(make(ErrorKind::missing_row_marker)); }
MatrixError MatrixError::table_count_mismatch(std::uint8_t par_count, std::uint8_t mvr_count) {
    return MatrixError(make(ErrorKind::table_count_mismatch, par_count, mvr_count));
}
MatrixError MatrixError::invalid_row_index(std::uint16_t row, std::uint8_t table, std::uint16_t zone_count,
                                           std::uint8_t table_count) {
    return MatrixError(make(ErrorKind::invalid_row_index, row, table, zone_count, table_count));
}
MatrixError MatrixError::row_order_violation(std::uint16_t expected_row, std::uint8_t expected_table,
                                             std::uint16_t got_row, std::uint8_t got_table) {
    return MatrixError(make(ErrorKind::row_order_violation, expected_row, expected_table, got_row, got_table));
}
MatrixError MatrixError::invalid_preamble(std::uint8_t first, std::uint8_t second) {
    return MatrixError(make(ErrorKind::invalid_preamble, first, second));
}
MatrixError MatrixError::invalid_descriptor(std::uint8_t descriptor, TypeCode type_code) {
    auto r = make(ErrorKind::invalid_descriptor, descriptor);
    r->type_code = type_code;
    return MatrixError(std::move(r));
}
MatrixError MatrixError::plane_size(std::uint16_t expected, std::uint64_t got) {
    return MatrixError(make(ErrorKind::plane_size, expected, got));
}
MatrixError MatrixError::zero_run_count() { return MatrixError(make(ErrorKind::zero_run_count)); }
MatrixError MatrixError::invalid_float32_marker(std::uint64_t index, std::uint8_t got) {
    return MatrixError(make(ErrorKind::invalid_float32_marker, index, got));
}
MatrixError MatrixError::invalid_chunk_size(std::uint16_t got) {
    return MatrixError(make(ErrorKind::invalid_chunk_size, got));
}
MatrixError MatrixError::trailing_bytes() { return MatrixError(make(ErrorKind::trailing_bytes)); }
MatrixError MatrixError::table_not_found(std::string name) {
    return MatrixError(make_text(ErrorKind::table_not_found, std::move(name)));
}
MatrixError MatrixError::table_index_out_of_range(std::uint8_t index, std::uint8_t table_count) {
    return MatrixError(make(ErrorKind::table_index_out_of_range, index, table_count));
}
MatrixError MatrixError::unexpected_eof() { return MatrixError(make(ErrorKind::unexpected_eof)); }
MatrixError MatrixError::invalid_zone_count() { return MatrixError(make(ErrorKind::invalid_zone_count)); }
MatrixError MatrixError::invalid_table_count(std::string detail) {
    return MatrixError(make_text(ErrorKind::invalid_table_count, std::move(detail)));
}
MatrixError MatrixError::zone_count_mismatch(std::uint16_t expected, std::uint64_t got) {
    return MatrixError(make(ErrorKind::zone_count_mismatch, expected, got));
}
MatrixError MatrixError::shape_mismatch(const char* context, std::uint64_t expected, std::uint64_t got) {
    auto r = make(ErrorKind::shape_mismatch, expected, got);
    r->context = context;
    return MatrixError(std::move(r));
}
MatrixError MatrixError::invalid_table_name(std::string detail) {
    return MatrixError(make_text(ErrorKind::invalid_table_name, std::move(detail)));
}
MatrixError MatrixError::payload_too_large(std::uint64_t got) {
    return MatrixError(make(ErrorKind::payload_too_large, got));
}
MatrixError MatrixError::writer_finished() { return MatrixError(make(ErrorKind::writer_finished)); }
MatrixError MatrixError::writer_position_mismatch(std::uint16_t expected_origin, std::uint8_t expected_table,
                                                  std::uint16_t got_origin, std::uint8_t got_table) {
    return MatrixError(
        make(ErrorKind::writer_position_mismatch, expected_origin, expected_table, got_origin, got_table));
}
MatrixError MatrixError::incomplete_matrix(std::uint32_t expected, std::uint32_t wrote) {
    return MatrixError(make(ErrorKind::incomplete_matrix, expected, wrote));
}

MatrixError MatrixError::header_record_too_large(std::uint8_t record, const char* what, std::uint64_t length) {
    auto r = make(ErrorKind::header_record_too_large, record, length);
    r->context = what;
    return MatrixError(std::move(r));
}

MatrixError MatrixError::at(std::uint64_t offset) && {
    if (record_) record_->offset = offset;
    return std::move(*this);
}

ErrorKind MatrixError::kind() const noexcept { return record_->kind; }
std::optional<std::uint64_t> MatrixError::offset() const noexcept { return record_->offset; }
int MatrixError::os_code() const noexcept { return record_->os_code; }

std::string MatrixError::message() const {
    const Record& r = *record_;
    const auto* f = r.f;
    std::string out;
    if (r.offset) out = "at byte offset " + dec(*r.offset) + ": ";
    switch (r.kind) {
    case ErrorKind::io:
        return out + "I/O error: " + r.text;
    case ErrorKind::invalid_header_length:
        return out + "invalid header record length: record " + dec(f[0]) + " has " + dec(f[1]) +
               " bytes (minimum 4)";
    case ErrorKind::invalid_par:
        return out + "invalid parameter record (PAR): " + r.text;
    case ErrorKind::invalid_mvr:
        return out + "invalid table catalogue record (MVR): " + r.text;
    case ErrorKind::invalid_type_code:
        return out + "invalid type code: expected one of '0'..'9', 'S', 'D'; got \"" + r.text + "\"";
    case ErrorKind::missing_row_marker:
        return out + "missing ROW data-start marker in header";
    case ErrorKind::table_count_mismatch:
        return out + "table count mismatch between PAR and MVR: PAR=" + dec(f[0]) + ", MVR=" + dec(f[1]);
    case ErrorKind::invalid_row_index:
        return out + "row index out of range: row " + dec(f[0]) + ", table " + dec(f[1]) + " (expected row 1..=" +
               dec(f[2]) + ", table 1..=" + dec(f[3]) + ")";
    case ErrorKind::row_order_violation:
        return out + "row order violation: expected row " + dec(f[0]) + ", table " + dec(f[1]) + "; got row " +
               dec(f[2]) + ", table " + dec(f[3]);
    case ErrorKind::invalid_preamble:
        return out + "invalid row preamble: expected 0x80 0x80, got 0x" + hex2(f[0]) + " 0x" + hex2(f[1]);
    case ErrorKind::invalid_descriptor:
        return out + "invalid descriptor byte for type code " + r.type_code.quoted() + ": got 0x" + hex2(f[0]);
    case ErrorKind::plane_size:
        return out + "compressed row size mismatch: expected " + dec(f[0]) + " bytes after decode, got " + dec(f[1]);
    case ErrorKind::zero_run_count:
        return out + "invalid compressed row data: run with zero count";
    case ErrorKind::invalid_float32_marker:
        return out + "invalid float32 marker byte: index " + dec(f[0]) + ", expected 0xFF, got 0x" + hex2(f[1]);
    case ErrorKind::invalid_chunk_size:
        return out + "invalid row record chunk size: expected at least 2, got " + dec(f[0]);
    case ErrorKind::trailing_bytes:
        return out + "trailing bytes after the final expected row record";
    case ErrorKind::table_not_found:
        return out + "table not found in header: \"" + r.text + "\"";
    case ErrorKind::table_index_out_of_range:
        return out + "table index out of range: expected 1..=" + dec(f[1]) + ", got " + dec(f[0]);
    case ErrorKind::unexpected_eof:
        return out + "unexpected end of file";
    case ErrorKind::invalid_zone_count:
        return out + "invalid zone count: expected 1..=32000";
    case ErrorKind::invalid_table_count:
        return out + "invalid table configuration: " + r.text;
    case ErrorKind::zone_count_mismatch:
        return out + "zone count mismatch: expected " + dec(f[0]) + " values, got " + dec(f[1]);
    case ErrorKind::shape_mismatch:
        return out + "shape mismatch in " + r.context + ": expected " + dec(f[0]) + " values, got " + dec(f[1]);
    case ErrorKind::invalid_table_name:
        return out + "invalid table name: " + r.text;
    case ErrorKind::payload_too_large:
        return out + "encoded row payload too large: maximum 65533 bytes, got " + dec(f[0]);
    case ErrorKind::writer_finished:
        return out + "writer is complete: no further rows are accepted";
    case ErrorKind::writer_position_mismatch:
        return out + "writer position mismatch: expected origin " + dec(f[0]) + ", table " + dec(f[1]) +
               "; got origin " + dec(f[2]) + ", table " + dec(f[3]);
    case ErrorKind::incomplete_matrix:
        return out + "incomplete matrix: expected " + dec(f[0]) + " rows, wrote " + dec(f[1]);
    case ErrorKind::header_record_too_large:
        return out + "header record " + dec(f[0]) + " (" + r.context + ") too large: " + dec(f[1]) +
               " bytes (maximum 1048576)";
    case ErrorKind::count:
        break;
    }
    return out;
}

}  // namespace orvanel
