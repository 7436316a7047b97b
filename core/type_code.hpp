// The value type of a table. Kept apart from schema.hpp so that errors can carry one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvanel {

// Fixed point takes 0..9 decimals.
inline constexpr std::uint8_t max_fixed_precision = 9;

// The value type of one table: fixed-point with a decimal precision, single or double.
// Any precision byte can be held; a precision above 9 is invalid and rejected by the
// schema rules and every parser.
struct TypeCode {
    enum class Tag : std::uint8_t { fixed = 0, single = 1, double_ = 2 };
    Tag tag = Tag::double_;
    std::uint8_t precision = 0;

    static constexpr TypeCode fixed(std::uint8_t p) noexcept { return {Tag::fixed, p}; }
    static constexpr TypeCode single() noexcept { return {Tag::single, 0}; }
    static constexpr TypeCode double_precision() noexcept { return {Tag::double_, 0}; }

    bool is_fixed() const noexcept { return tag == Tag::fixed; }
    bool is_single() const noexcept { return tag == Tag::single; }
    bool is_double() const noexcept { return tag == Tag::double_; }

    // 'S', 'D' or a digit; nothing for any other character.
    static std::optional<TypeCode> from_char(char c) noexcept;
    // '0'..'9', 'S' or 'D'; nothing for a fixed-point precision above 9.
    std::optional<char> to_char() const noexcept;
    // The character as a string; "Fixed({p})" for a precision above 9.
    std::string to_text() const;
    // The form used inside error messages: the character in single quotes, or
    // "fixed({p})" for a precision above 9.
    std::string quoted() const;

    friend bool operator==(TypeCode, TypeCode) = default;
};

}  // namespace orvanel
