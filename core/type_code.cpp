#include "core/type_code.hpp"

namespace orvanel {

std::optional<TypeCode> TypeCode::from_char(char c) noexcept {
    if (c == 'S') return single();
    if (c == 'D') return double_precision();
    if (c >= '0' && c <= '9') return fixed(static_cast<std::uint8_t>(c - '0'));
    return std::nullopt;
}

std::optional<char> TypeCode::to_char() const noexcept {
    switch (tag) {
    case Tag::single:
        return 'S';
    case Tag::double_:
        return 'D';
    case Tag::fixed:
        if (precision <= max_fixed_precision) return static_cast<char>('0' + precision);
        return std::nullopt;
    }
    return std::nullopt;
}

std::string TypeCode::to_text() const {
    if (auto c = to_char()) return std::string(1, *c);
    return "Fixed(" + std::to_string(precision) + ")";
}

std::string TypeCode::quoted() const {
    if (auto c = to_char()) return std::string{'\'', *c, '\''};
    return "fixed(" + std::to_string(precision) + ")";
}

}  // namespace orvanel
