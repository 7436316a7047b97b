// A whole matrix in memory: header facts and one table-major block of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/header.hpp"
#include "core/memory.hpp"

namespace orvanel {

// T·Z·Z doubles from one zero-filled allocation (calloc: untouched pages cost nothing).
class ValueBlock {
public:
    ValueBlock() noexcept = default;
    // Throws std::bad_alloc when the memory cannot be had.
    static ValueBlock zeroed(std::size_t count);

    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<double[], FreeDeleter> data_;
    std::size_t size_ = 0;
};

// Number of doubles of T tables of Z×Z, or nothing when the block cannot be addressed.
std::optional<std::size_t> value_count(std::uint16_t zone_count, std::size_t table_count) noexcept;

class Matrix {
public:
    // All-zero matrix from a schema header: the tables are validated, then the block is
    // allocated (std::bad_alloc when memory is short).
    static Result<Matrix> create(MatrixHeader header);
    // All-zero matrix for a header read from a file: names are taken as read.
    static Result<Matrix> for_loaded_header(MatrixHeader header);

    const MatrixHeader& header() const noexcept { return header_; }
    std::uint16_t zone_count() const noexcept { return header_.zone_count; }
    std::uint8_t table_count() const noexcept { return header_.table_count(); }
    const std::string& banner() const noexcept { return header_.banner; }
    const std::string& run_id() const noexcept { return header_.run_id; }
    std::span<const TableInfo> tables() const noexcept { return header_.tables; }

    // 1-based index of the first table named `name`, byte for byte.
    std::optional<std::uint8_t> table_index_by_name(std::string_view name) const noexcept;

    // Cell (t, o, d), or nothing when any number is out of range.
    std::optional<double> checked_get(std::uint8_t t, std::uint16_t o, std::uint16_t d) const noexcept;
    // Stores the value; false and nothing changed when any number is out of range.
    bool set(std::uint8_t t, std::uint16_t o, std::uint16_t d, double value) noexcept;

    // Views; t (and o) must be in range.
    std::span<const double> row(std::uint8_t t, std::uint16_t o) const;
    std::span<const double> table_values(std::uint8_t t) const;
    std::span<double> table_values_mut(std::uint8_t t);
    std::span<const double> values() const noexcept { return {block_.data(), block_.size()}; }
    std::span<double> values_mut() noexcept { return {block_.data(), block_.size()}; }

    // Sequential sums in storage order, starting from -0.0.
    double table_total(std::uint8_t t) const;
    double table_diagonal_total(std::uint8_t t) const;

private:
    Matrix(MatrixHeader header, ValueBlock block) noexcept
        : header_(std::move(header)), block_(std::move(block)) {}
    static Result<Matrix> allocate(MatrixHeader header);
    void require_table(std::uint8_t t) const;

    MatrixHeader header_;
    ValueBlock block_;
};

}  // namespace orvanel
