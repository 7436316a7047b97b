#include "core/table_selection.hpp"

#include <algorithm>

namespace orvanel {

Result<std::vector<std::uint8_t>> resolve_table_names(const MatrixHeader& header, std::span<const std::string> names) {
    if (names.empty()) return MatrixError::invalid_table_count("at least one table name must be provided");
    std::vector<std::uint8_t> indices;
    for (const std::string& name : names) {
        const auto found = std::find_if(header.tables.begin(), header.tables.end(),
                                        [&](const TableInfo& table) { return table.name == name; });
        if (found == header.tables.end()) return MatrixError::table_not_found(name);
        if (std::find(indices.begin(), indices.end(), found->index) == indices.end()) indices.push_back(found->index);
    }
    return indices;
}

}  // namespace orvanel
