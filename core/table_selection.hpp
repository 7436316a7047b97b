// Choosing tables of a file by name, for the loaders that decode only some of them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/header.hpp"

namespace orvanel {

// Table number in the file -> 1-based position in a result, 0 for a table left out.
using TablePositions = std::array<std::uint8_t, 256>;

// The distinct 1-based numbers of the named tables, in order of first mention; at least
// one name must be given, and every name must be a table of the file.
Result<std::vector<std::uint8_t>> resolve_table_names(const MatrixHeader& header, std::span<const std::string> names);

}  // namespace orvanel
