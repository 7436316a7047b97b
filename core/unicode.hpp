// The few Unicode facts the core needs to quote names in messages.
#pragma once

#include <string>
#include <string_view>

namespace orvanel {

bool is_printable(char32_t c) noexcept;
bool is_grapheme_extend(char32_t c) noexcept;

// Decodes the next code point of `text` at `pos` (advancing it); an ill-formed sequence
// yields U+FFFD and advances past its maximal ill-formed prefix.
char32_t next_code_point(std::string_view text, std::size_t& pos) noexcept;
void append_utf8(std::string& out, char32_t c);

bool is_valid_utf8(std::string_view text) noexcept;
// `text` with every ill-formed sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

}  // namespace orvanel
