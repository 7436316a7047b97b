#include "core/reader.hpp"

#include <algorithm>
#include <array>

#include "core/decode.hpp"
#include "core/payload.hpp"
#include "core/table_selection.hpp"

namespace orvanel {

MatrixReader::MatrixReader(ByteSource source, MatrixHeader header)
    : source_(std::move(source)),
      header_(std::move(header)),
      zone_count_(header_.zone_count),
      table_count_(header_.table_count()),
      framing_(header_),
      scratch_(header_.zone_count) {
    type_codes_.reserve(header_.tables.size());
    for (const TableInfo& table : header_.tables) type_codes_.push_back(table.type_code);
}

Result<MatrixReader> MatrixReader::start(Result<ByteSource> source) {
    if (!source) return source.take_error();
    auto header = read_header(source.value());
    if (!header) return header.take_error();
    return MatrixReader(std::move(source.value()), std::move(header.value()));
}

Result<MatrixReader> MatrixReader::open(std::string_view path) { return start(ByteSource::open_file(path)); }

Result<MatrixReader> MatrixReader::from_bytes(std::span<const std::uint8_t> data) {
    return start(ByteSource::from_memory(data));
}

Result<std::optional<RowRecordHead>> MatrixReader::next_record() {
    return framing_.next(source_, payload_buffer_);
}

Status MatrixReader::decode_into(const RowRecordHead& head, std::span<double> out) {
    if (is_zero_row_payload(head.payload)) {
        std::fill(out.begin(), out.end(), 0.0);
        return {};
    }
    Status s = decode_payload(type_codes_[head.table - 1], head.payload, scratch_, out);
    if (!s) return s.take_error().at(head.record_start + record_header_size);
    return {};
}

void MatrixReader::advance() noexcept { framing_.advance(); }

bool MatrixReader::input_could_hold_rows() {
    return source_.can_supply(std::uint64_t{framing_.records_left()} * record_header_size);
}

Status MatrixReader::walk(const std::uint8_t* selection, double* block) {
    const std::size_t z = zone_count_;
    std::vector<double> discard;
    if (!block) discard.resize(z);
    for (;;) {
        auto next = next_record();
        if (!next) return next.take_error();
        if (!next.value()) return {};
        const RowRecordHead& head = *next.value();
        // The block starts zero-filled and every row arrives once, so a zero row needs no
        // work at all: its pages are never touched.
        const std::uint8_t position = selection[head.table];
        if (position && !is_zero_row_payload(head.payload)) {
            std::span<double> out = block ? std::span<double>(block + ((position - 1) * z + (head.row - 1)) * z, z)
                                          : std::span<double>(discard);
            ORVANEL_TRY(decode_into(head, out));
        }
        advance();
    }
}

Result<Matrix> MatrixReader::load(MatrixReader reader, MatrixHeader result_header, const std::uint8_t* selection) {
    if (!reader.input_could_hold_rows()) {
        // The input is too short to hold the rows the header promises, so the load must
        // fail: find the failure without allocating a value block the data cannot fill.
        ORVANEL_TRY(reader.walk(selection, nullptr));
        return MatrixError::io_text("file changed while it was being read").at(reader.source_.counter());
    }
    auto matrix = Matrix::for_loaded_header(std::move(result_header));
    if (!matrix) return matrix.take_error();
    ORVANEL_TRY(reader.walk(selection, matrix.value().values_mut().data()));
    return matrix;
}

Result<Matrix> MatrixReader::load_all(MatrixReader reader) {
    TablePositions selection{};
    for (int t = 1; t <= reader.table_count_; ++t) selection[t] = static_cast<std::uint8_t>(t);
    MatrixHeader header = reader.header_;
    return load(std::move(reader), std::move(header), selection.data());
}

Result<Matrix> MatrixReader::load_selected(MatrixReader reader, std::span<const std::string> names) {
    auto indices = resolve_table_names(reader.header_, names);
    if (!indices) return indices.take_error();
    std::array<bool, 256> chosen{};
    for (std::uint8_t index : indices.value()) chosen[index] = true;

    // The selected tables in file order, numbered 1..k.
    MatrixHeader header;
    header.banner = reader.header_.banner;
    header.run_id = reader.header_.run_id;
    header.zone_count = reader.header_.zone_count;
    TablePositions selection{};
    for (const TableInfo& table : reader.header_.tables) {
        if (!chosen[table.index]) continue;
        const auto position = static_cast<std::uint8_t>(header.tables.size() + 1);
        selection[table.index] = position;
        header.tables.push_back({table.name, table.type_code, position});
    }
    return load(std::move(reader), std::move(header), selection.data());
}

}  // namespace orvanel
