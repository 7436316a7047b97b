#include "core/schema.hpp"

#include <cstdio>

#include "core/unicode.hpp"

namespace orvanel {

Result<TypeCode> parse_type_code(std::string_view text) {
    if (text.size() == 1) {
        if (auto code = TypeCode::from_char(text[0])) return *code;
    }
    return MatrixError::invalid_type_code(std::string(text));
}

Status validate_zone_count(std::uint32_t zone_count) {
    if (zone_count < 1 || zone_count > max_written_zone_count) return MatrixError::invalid_zone_count();
    return {};
}

Status validate_table_count(std::size_t count) {
    if (count == 0) return MatrixError::invalid_table_count("at least one table is required");
    if (count > static_cast<std::size_t>(max_table_count))
        return MatrixError::invalid_table_count("at most 255 tables allowed, got " + std::to_string(count));
    return {};
}

Status validate_table(std::string_view name, TypeCode type_code) {
    if (name.empty()) return MatrixError::invalid_table_name("table name must not be empty");
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return MatrixError::invalid_table_name("table name " + quote_name(name) + " contains non-ASCII characters");
    }
    // The table catalogue separates names with NUL bytes: such a name would not read back.
    if (name.find('\0') != std::string_view::npos)
        return MatrixError::invalid_table_name("table name " + quote_name(name) + " contains a NUL byte");
    if (type_code.is_fixed() && type_code.precision > max_fixed_precision)
        return MatrixError::invalid_type_code(std::to_string(type_code.precision));
    return {};
}

std::string quote_name(std::string_view name) {
    std::string out = "\"";
    for (std::size_t pos = 0; pos < name.size();) {
        const char32_t c = next_code_point(name, pos);
        switch (c) {
        case U'\\': out += "\\\\"; continue;
        case U'"': out += "\\\""; continue;
        case U'\t': out += "\\t"; continue;
        case U'\r': out += "\\r"; continue;
        case U'\n': out += "\\n"; continue;
        case U'\0': out += "\\0"; continue;
        default: break;
        }
        if (!is_grapheme_extend(c) && is_printable(c)) {
            append_utf8(out, c);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        }
    }
    out += '"';
    return out;
}

}  // namespace orvanel
