#include "core/matrix.hpp"

#include "core/memory.hpp"

#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

namespace orvanel {

ValueBlock ValueBlock::zeroed(std::size_t count) {
    ValueBlock block;
    if (count > 0) {
        block.data_.reset(static_cast<double*>(std::calloc(count, sizeof(double))));
        if (!block.data_) throw std::bad_alloc();
        prefer_huge_pages(block.data_.get(), count * sizeof(double));
    }
    block.size_ = count;
    return block;
}

std::optional<std::size_t> value_count(std::uint16_t zone_count, std::size_t table_count) noexcept {
    const std::size_t z = zone_count;
    std::size_t cells;
    std::size_t count;
    if (__builtin_mul_overflow(z, z, &cells) || __builtin_mul_overflow(cells, table_count, &count) ||
        count > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double))
        return std::nullopt;
    return count;
}

Result<Matrix> Matrix::allocate(MatrixHeader header) {
    const auto count = value_count(header.zone_count, header.tables.size());
    if (!count) return MatrixError::invalid_par("matrix dimensions exceed addressable memory on this platform");
    header.number_tables();
    ValueBlock block = ValueBlock::zeroed(*count);
    return Matrix(std::move(header), std::move(block));
}

Result<Matrix> Matrix::create(MatrixHeader header) {
    ORVANEL_TRY(validate_tables(header.tables));
    return allocate(std::move(header));
}

Result<Matrix> Matrix::for_loaded_header(MatrixHeader header) { return allocate(std::move(header)); }

std::optional<std::uint8_t> Matrix::table_index_by_name(std::string_view name) const noexcept {
    for (const TableInfo& table : header_.tables) {
        if (table.name.size() == name.size() && table.name == name) return table.index;
    }
    return std::nullopt;
}

std::optional<double> Matrix::checked_get(std::uint8_t t, std::uint16_t o, std::uint16_t d) const noexcept {
    const std::uint8_t ti = static_cast<std::uint8_t>(t - 1);
    const std::uint16_t oi = static_cast<std::uint16_t>(o - 1);
    const std::uint16_t di = static_cast<std::uint16_t>(d - 1);
    const std::size_t z = zone_count();
    if (ti >= table_count() || oi >= z || di >= z) return std::nullopt;
    return block_.data()[(ti * z + oi) * z + di];
}

bool Matrix::set(std::uint8_t t, std::uint16_t o, std::uint16_t d, double value) noexcept {
    const std::uint8_t ti = static_cast<std::uint8_t>(t - 1);
    const std::uint16_t oi = static_cast<std::uint16_t>(o - 1);
    const std::uint16_t di = static_cast<std::uint16_t>(d - 1);
    const std::size_t z = zone_count();
    if (ti >= table_count() || oi >= z || di >= z) return false;
    block_.data()[(ti * z + oi) * z + di] = value;
    return true;
}

void Matrix::require_table(std::uint8_t t) const {
    if (t < 1 || t > table_count())
        throw std::out_of_range("table index " + std::to_string(t) + " is out of bounds for table count " +
                                std::to_string(table_count()) + " (tables are 1-based)");
}

std::span<const double> Matrix::row(std::uint8_t t, std::uint16_t o) const {
    require_table(t);
    const std::size_t z = zone_count();
    if (o < 1 || o > z) throw std::out_of_range("origin " + std::to_string(o) + " is out of bounds");
    return {block_.data() + ((t - 1) * z + (o - 1)) * z, z};
}

std::span<const double> Matrix::table_values(std::uint8_t t) const {
    require_table(t);
    const std::size_t cells = std::size_t{zone_count()} * zone_count();
    return {block_.data() + (t - 1) * cells, cells};
}

std::span<double> Matrix::table_values_mut(std::uint8_t t) {
    require_table(t);
    const std::size_t cells = std::size_t{zone_count()} * zone_count();
    return {block_.data() + (t - 1) * cells, cells};
}

double Matrix::table_total(std::uint8_t t) const {
    double sum = -0.0;
    for (double v : table_values(t)) sum += v;
    return sum;
}

double Matrix::table_diagonal_total(std::uint8_t t) const {
    const std::span<const double> values = table_values(t);
    const std::size_t step = std::size_t{zone_count()} + 1;
    double sum = -0.0;
    for (std::size_t i = 0; i < values.size(); i += step) sum += values[i];
    return sum;
}

}  // namespace orvanel
