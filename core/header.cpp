#include "core/header.hpp"

#include <cstring>

#include "core/file_chunks.hpp"
#include "core/source.hpp"
#include "core/unicode.hpp"

namespace orvanel {

namespace {

constexpr int header_record_count = 5;
constexpr std::uint8_t row_marker[] = {'R', 'O', 'W', 0};

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The content up to, not including, its first NUL byte.
std::string_view record_text(std::string_view content) { return content.substr(0, content.find('\0')); }

// An optional single '+', then one or more ASCII digits and nothing else, at most `max`.
std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool is_par_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

struct Dimensions {
    std::uint16_t zone_count;
    std::uint8_t table_count;
};

Result<Dimensions> parse_par(std::string_view content) {
    const std::string_view text = record_text(content);
    if (!is_valid_utf8(text)) return MatrixError::invalid_par("non-UTF-8 payload");
    std::optional<std::uint32_t> zones, tables;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && is_par_space(text[pos])) ++pos;
        std::size_t end = pos;
        while (end < text.size() && !is_par_space(text[end])) ++end;
        const std::string_view token = text.substr(pos, end - pos);
        pos = end;
        if (token.empty()) continue;
        if (token.starts_with("Zones=")) {
            const std::string_view value = token.substr(6);
            zones = parse_decimal(value, 0xFFFF);
            if (!zones) return MatrixError::invalid_par("invalid Zones value: " + std::string(value));
        } else if (token.starts_with("M=")) {
            const std::string_view value = token.substr(2);
            tables = parse_decimal(value, 0xFF);
            if (!tables) return MatrixError::invalid_par("invalid M value: " + std::string(value));
        }
    }
    if (!zones) return MatrixError::invalid_par("missing Zones= token");
    if (!tables) return MatrixError::invalid_par("missing M= token");
    if (*zones == 0) return MatrixError::invalid_par("Zones must be > 0");
    if (*tables == 0) return MatrixError::invalid_par("M must be > 0");
    return Dimensions{static_cast<std::uint16_t>(*zones), static_cast<std::uint8_t>(*tables)};
}

Result<std::vector<TableInfo>> parse_mvr(std::string_view content, std::uint8_t table_count) {
    // Pieces between NUL bytes; empty pieces are skipped.
    std::size_t pos = 0;
    const auto next_piece = [&]() -> std::optional<std::string_view> {
        while (pos < content.size()) {
            std::size_t end = content.find('\0', pos);
            if (end == std::string_view::npos) end = content.size();
            const std::string_view piece = content.substr(pos, end - pos);
            pos = end + 1;
            if (!piece.empty()) return piece;
        }
        return std::nullopt;
    };

    const auto first = next_piece();
    if (!first) return MatrixError::invalid_mvr("empty MVR payload");
    if (!is_valid_utf8(*first)) return MatrixError::invalid_mvr("non-UTF-8 first token");
    if (!first->starts_with("MVR ")) return MatrixError::invalid_mvr("missing MVR prefix");
    const std::string_view count_text = first->substr(4);
    const auto count = parse_decimal(count_text, 0xFF);
    if (!count) return MatrixError::invalid_mvr("invalid MVR count: " + std::string(count_text));
    if (*count != table_count)
        return MatrixError::table_count_mismatch(table_count, static_cast<std::uint8_t>(*count));

    std::vector<TableInfo> tables;
    tables.reserve(table_count);
    while (const auto piece = next_piece()) {
        if (tables.size() == table_count)
            return MatrixError::invalid_mvr("expected " + std::to_string(table_count) + " table tokens, got more");
        if (!is_valid_utf8(*piece)) return MatrixError::invalid_mvr("non-UTF-8 table token");
        const std::size_t eq = piece->rfind('=');
        if (eq == std::string_view::npos)
            return MatrixError::invalid_mvr("table token missing '=': " + std::string(*piece));
        auto code = parse_type_code(piece->substr(eq + 1));
        if (!code) return code.take_error();
        tables.push_back({std::string(piece->substr(0, eq)), code.value(),
                          static_cast<std::uint8_t>(tables.size() + 1)});
    }
    if (tables.size() < table_count)
        return MatrixError::invalid_mvr("expected " + std::to_string(table_count) + " table tokens, got " +
                                        std::to_string(tables.size()));
    return tables;
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void append_record(std::vector<std::uint8_t>& out, std::string_view content) {
    append_u32(out, static_cast<std::uint32_t>(content.size() + 4));
    out.insert(out.end(), content.begin(), content.end());
}

// Text records end in exactly one NUL: added unless the text already ends in one.
std::string nul_terminated(std::string text) {
    if (text.empty() || text.back() != '\0') text.push_back('\0');
    return text;
}

}  // namespace

Result<MatrixHeader> MatrixHeader::make(std::uint32_t zone_count) {
    ORVANEL_TRY(validate_zone_count(zone_count));
    MatrixHeader header;
    header.banner = default_banner;
    header.run_id = default_run_id;
    header.zone_count = static_cast<std::uint16_t>(zone_count);
    return header;
}

Result<MatrixHeader> MatrixHeader::from_schema(Schema schema) {
    auto made = make(schema.zone_count);
    if (!made) return made;
    MatrixHeader& header = made.value();
    if (schema.banner) header.banner = std::move(*schema.banner);
    if (schema.run_id) header.run_id = std::move(*schema.run_id);
    header.tables.reserve(schema.tables.size());
    for (TableDef& def : schema.tables) header.tables.push_back(TableInfo{std::move(def.name), def.type_code});
    header.number_tables();
    return made;
}

void MatrixHeader::number_tables() noexcept {
    for (std::size_t i = 0; i < tables.size(); ++i) tables[i].index = static_cast<std::uint8_t>(i + 1);
}

namespace {

template <class Source>
Result<MatrixHeader> read_header_from(Source& source) {
    MatrixHeader header;
    Dimensions dims{};
    std::vector<std::uint8_t> content;
    for (int n = 1; n <= header_record_count; ++n) {
        std::uint8_t length_bytes[4];
        ORVANEL_TRY(source.read_exact(length_bytes));
        const std::uint32_t length = static_cast<std::uint32_t>(length_bytes[0]) |
                                     static_cast<std::uint32_t>(length_bytes[1]) << 8 |
                                     static_cast<std::uint32_t>(length_bytes[2]) << 16 |
                                     static_cast<std::uint32_t>(length_bytes[3]) << 24;
        if (length < 4 || length > max_header_record_length)
            return MatrixError::invalid_header_length(static_cast<std::uint8_t>(n), length).at(source.counter());
        content.resize(length - 4);
        ORVANEL_TRY(source.read_exact(content));
        const std::string_view text = as_text(content);

        switch (n) {
        case 1:
            header.banner = utf8_lossy(record_text(text));
            break;
        case 2: {
            std::string run_id = utf8_lossy(record_text(text));
            header.run_id = run_id.starts_with("ID=") ? run_id.substr(3) : std::move(run_id);
            break;
        }
        case 3: {
            auto parsed = parse_par(text);
            if (!parsed) return parsed.take_error().at(source.counter());
            dims = parsed.value();
            header.zone_count = dims.zone_count;
            break;
        }
        case 4: {
            auto tables = parse_mvr(text, dims.table_count);
            if (!tables) return tables.take_error().at(source.counter());
            header.tables = std::move(tables.value());
            break;
        }
        case 5:
            if (content.size() != sizeof row_marker || std::memcmp(content.data(), row_marker, sizeof row_marker) != 0)
                return MatrixError::missing_row_marker().at(source.counter());
            break;
        }
    }
    return header;
}

}  // namespace

Result<MatrixHeader> read_header(ByteSource& source) { return read_header_from(source); }
Result<MatrixHeader> read_header(FileChunks& source) { return read_header_from(source); }

void emit_header(const MatrixHeader& header, std::vector<std::uint8_t>& out) {
    append_record(out, nul_terminated(header.banner));
    append_record(out, nul_terminated("ID=" + header.run_id));
    const std::string count = std::to_string(header.tables.size());
    append_record(out, "PAR Zones=" + std::to_string(header.zone_count) + " M=" + count + '\0');
    std::string mvr = "MVR " + count + '\0';
    for (const TableInfo& table : header.tables) {
        mvr += table.name;
        mvr += '=';
        mvr += table.type_code.to_char().value_or('?');
        mvr += '\0';
    }
    append_record(out, mvr);
    append_record(out, {reinterpret_cast<const char*>(row_marker), sizeof row_marker});
}

}  // namespace orvanel
