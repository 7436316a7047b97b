// Table value types, table definitions, and the rules a schema must satisfy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/type_code.hpp"

namespace orvanel {

inline constexpr std::uint16_t max_written_zone_count = 32000;
inline constexpr int max_table_count = 255;

// Parses a type code written as text: exactly one byte, 'S', 'D' or a digit. Anything
// else fails with invalid_type_code carrying the whole text.
Result<TypeCode> parse_type_code(std::string_view text);

// One table of a matrix to create.
struct TableDef {
    std::string name;
    TypeCode type_code;
};

// A matrix to create, as a caller describes it: the zone count, the tables in order, and
// a banner and run identifier that replace the defaults when given.
struct Schema {
    std::uint32_t zone_count = 0;
    std::optional<std::string> banner;
    std::optional<std::string> run_id;
    std::vector<TableDef> tables;
};

// The checks every created or written schema passes. The first failing check wins.
Status validate_zone_count(std::uint32_t zone_count);
Status validate_table(std::string_view name, TypeCode type_code);
Status validate_table_count(std::size_t count);

// A name between double quotes with backslash escapes, as used in messages.
std::string quote_name(std::string_view name);

// Works for lists of TableDef and of header table entries alike.
template <class Tables>
Status validate_tables(const Tables& tables) {
    ORVANEL_TRY(validate_table_count(std::size(tables)));
    for (const auto& table : tables) {
        ORVANEL_TRY(validate_table(table.name, table.type_code));
    }
    return {};
}

}  // namespace orvanel
