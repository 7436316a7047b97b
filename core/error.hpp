// The one error value of the core, and the success-or-error results built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/type_code.hpp"

namespace orvanel {

// Closed list of failure kinds; the numbering is the stable order of the enumeration.
// The tables indexed by kind (core/error.cpp) must have a row for each, in this order,
// or they do not compile.
enum class ErrorKind : std::uint8_t {
    io,
    invalid_header_length,
    invalid_par,
    invalid_mvr,
    invalid_type_code,
    missing_row_marker,
    table_count_mismatch,
    invalid_row_index,
    row_order_violation,
    invalid_preamble,
    invalid_descriptor,
    plane_size,
    zero_run_count,
    invalid_float32_marker,
    invalid_chunk_size,
    trailing_bytes,
    table_not_found,
    table_index_out_of_range,
    unexpected_eof,
    invalid_zone_count,
    invalid_table_count,
    zone_count_mismatch,
    shape_mismatch,
    invalid_table_name,
    payload_too_large,
    writer_finished,
    writer_position_mismatch,
    incomplete_matrix,
    // Not produced by reading: a header the writer refuses because the reader would.
    header_record_too_large,
    // Not a kind: the number of kinds above.
    count
};

inline constexpr std::size_t error_kind_count = static_cast<std::size_t>(ErrorKind::count);

enum class ErrorCategory : std::uint8_t { io, parse, validation, writer };

// snake_case name of a kind, as Python sees it in `exc.kind`.
std::string_view error_name(ErrorKind kind) noexcept;
ErrorCategory error_category(ErrorKind kind) noexcept;

// A failure of the core. One owning pointer to a heap record, so that a result type
// carrying it costs one pointer beside its success value. A default-constructed
// MatrixError holds nothing and stands for "no error" inside Status.
class MatrixError {
public:
    MatrixError() noexcept = default;
    MatrixError(MatrixError&&) noexcept = default;
    MatrixError& operator=(MatrixError&&) noexcept = default;
    MatrixError(const MatrixError&) = delete;
    MatrixError& operator=(const MatrixError&) = delete;
    ~MatrixError() = default;

    // One constructor per kind, taking that kind's fields. None sets an offset.
    static MatrixError io_os(int os_code);                 // "<strerror> (os error N)"
    static MatrixError io_text(std::string description);   // failure without an error number
    static MatrixError invalid_header_length(std::uint8_t record, std::uint32_t length);
    static MatrixError invalid_par(std::string detail);
    static MatrixError invalid_mvr(std::string detail);
    static MatrixError invalid_type_code(std::string got);
    static MatrixError missing_row_marker();
    static MatrixError table_count_mismatch(std::uint8_t par_count, std::uint8_t mvr_count);
    static MatrixError invalid_row_index(std::uint16_t row, std::uint8_t table,
                                         std::uint16_t zone_count, std::uint8_t table_count);
    static MatrixError row_order_violation(std::uint16_t expected_row, std::uint8_t expected_table,
                                           std::uint16_t got_row, std::uint8_t got_table);
    static MatrixError invalid_preamble(std::uint8_t first, std::uint8_t second);
    static MatrixError invalid_descriptor(std::uint8_t descriptor, TypeCode type_code);
    static MatrixError plane_size(std::uint16_t expected, std::uint64_t got);
    static MatrixError zero_run_count();
    static MatrixError invalid_float32_marker(std::uint64_t index, std::uint8_t got);
    static MatrixError invalid_chunk_size(std::uint16_t got);
    static MatrixError trailing_bytes();
    static MatrixError table_not_found(std::string name);
    static MatrixError table_index_out_of_range(std::uint8_t index, std::uint8_t table_count);
    static MatrixError unexpected_eof();
    static MatrixError invalid_zone_count();
    static MatrixError invalid_table_count(std::string detail);
    static MatrixError zone_count_mismatch(std::uint16_t expected, std::uint64_t got);
    static MatrixError shape_mismatch(const char* context, std::uint64_t expected, std::uint64_t got);
    static MatrixError invalid_table_name(std::string detail);
    static MatrixError payload_too_large(std::uint64_t got);
    static MatrixError writer_finished();
    static MatrixError writer_position_mismatch(std::uint16_t expected_origin, std::uint8_t expected_table,
                                                std::uint16_t got_origin, std::uint8_t got_table);
    static MatrixError incomplete_matrix(std::uint32_t expected, std::uint32_t wrote);
    static MatrixError header_record_too_large(std::uint8_t record, const char* what, std::uint64_t length);

    // The same error with its offset set (replacing any earlier offset).
    MatrixError at(std::uint64_t offset) &&;

    explicit operator bool() const noexcept { return record_ != nullptr; }
    ErrorKind kind() const noexcept;
    std::optional<std::uint64_t> offset() const noexcept;
    // Operating-system error number of an io error, 0 when there is none.
    int os_code() const noexcept;
    // "at byte offset {offset}: " when an offset is present, then the kind's message.
    std::string message() const;

    struct Record;
    struct RecordDeleter {
        void operator()(Record* record) const noexcept;
    };
    using RecordPtr = std::unique_ptr<Record, RecordDeleter>;

private:
    explicit MatrixError(RecordPtr record) noexcept;
    RecordPtr record_;
};

// Success, or a MatrixError.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(MatrixError error) noexcept : error_(std::move(error)) {}  // NOLINT: implicit on purpose
    bool ok() const noexcept { return !error_; }
    explicit operator bool() const noexcept { return ok(); }
    MatrixError& error() noexcept { return error_; }
    MatrixError take_error() noexcept { return std::move(error_); }

private:
    MatrixError error_;
};

// A value, or a MatrixError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}           // NOLINT
    Result(MatrixError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    MatrixError& error() { return std::get<1>(state_); }
    MatrixError take_error() { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, MatrixError> state_;
};

// Propagate a failed Status/Result from the enclosing function.
#define ORVANEL_TRY(expr)                              \
    do {                                               \
        if (auto orvanel_try_status_ = (expr); !orvanel_try_status_) \
            return orvanel_try_status_.take_error();   \
    } while (0)

}  // namespace orvanel
