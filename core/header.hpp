// The five header records of a matrix file: parsing, emitting, and the header value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/schema.hpp"

namespace orvanel {

class ByteSource;
class FileChunks;

// The banner of a file written without one. Its version text is part of the file format
// these files are written in, not the package version: it does not follow releases of
// the package.
inline constexpr char default_banner[] = "MAT PGM=ORVANEL VER=0.4.3";
inline constexpr char default_run_id[] = "ORVANEL";
// Largest header record the reader accepts, length field included.
inline constexpr std::uint32_t max_header_record_length = 1'048'576;

// One table of a header or matrix; `index` is its 1-based position.
struct TableInfo {
    std::string name;
    TypeCode type_code;
    std::uint8_t index = 0;
};

struct MatrixHeader {
    std::string banner;
    std::string run_id;
    std::vector<TableInfo> tables;
    std::uint16_t zone_count = 0;

    // Default banner and run identifier, no tables; fails with invalid_zone_count
    // unless 1 <= zone_count <= 32000.
    static Result<MatrixHeader> make(std::uint32_t zone_count);
    // The header `schema` describes: the zone count range is checked as by make (and
    // nothing else), a given banner and run identifier replace the defaults, and the
    // tables are numbered in order.
    static Result<MatrixHeader> from_schema(Schema schema);

    // Sets each table's index to its 1-based position.
    void number_tables() noexcept;

    std::uint8_t table_count() const noexcept { return static_cast<std::uint8_t>(tables.size()); }
};

// Reads exactly the five header records from `source`, leaving it on the first row
// record. Errors carry the source's byte counter at the moment of failure.
Result<MatrixHeader> read_header(ByteSource& source);
Result<MatrixHeader> read_header(FileChunks& source);

// Appends the five header records to `out`, byte for byte as a file holds them.
// The caller has validated the header.
void emit_header(const MatrixHeader& header, std::vector<std::uint8_t>& out);

}  // namespace orvanel
