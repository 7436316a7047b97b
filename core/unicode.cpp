#include "core/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace orvanel {
namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "core/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&ranges)[N], char32_t c) noexcept {
    auto it = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                               [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(ranges) && c <= std::prev(it)->last;
}

}  // namespace

bool is_printable(char32_t c) noexcept {
    if (c < 0x80) return c >= 0x20 && c < 0x7F;
    return !in_ranges(non_printable_ranges, c);
}

bool is_grapheme_extend(char32_t c) noexcept { return c >= 0x300 && in_ranges(grapheme_extend_ranges, c); }

char32_t next_code_point(std::string_view text, std::size_t& pos) noexcept {
    // Invalid input becomes one U+FFFD per maximal ill-formed subsequence, the usual
    // replacement practice.
    constexpr char32_t replacement = 0xFFFD;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t b0 = byte(pos++);
    if (b0 < 0x80) return b0;
    int len;
    char32_t c;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, c = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, c = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return replacement;
    }
    for (int i = 1; i < len; ++i) {
        if (pos >= text.size()) return replacement;
        const std::uint8_t b = byte(pos);
        if (i == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) return replacement;
        c = (c << 6) | (b & 0x3F);
        ++pos;
    }
    return c;
}

bool is_valid_utf8(std::string_view text) noexcept {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (next_code_point(text, pos) == 0xFFFD) {
            // U+FFFD itself is valid when spelled EF BF BD.
            if (pos - start != 3 || text.substr(start, 3) != "\xEF\xBF\xBD") return false;
        }
    }
    return true;
}

std::string utf8_lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) append_utf8(out, next_code_point(text, pos));
    return out;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace orvanel
