// Text between Python str objects and the UTF-8 the core works with.
#pragma once

#include <string_view>

#include "python/pyapi.hpp"

namespace orvanel::py {

// A new str from UTF-8 text; invalid sequences become U+FFFD, so only memory can fail.
PyObject* str_from_utf8(std::string_view text) noexcept;

// The UTF-8 text of a str, cached inside the str object and valid while it lives. False
// with an exception set when the str cannot be encoded (a lone surrogate).
bool utf8_of(PyObject* str, std::string_view& out) noexcept;

}  // namespace orvanel::py
