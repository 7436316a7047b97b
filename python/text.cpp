#include "python/text.hpp"

namespace orvanel::py {

PyObject* str_from_utf8(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool utf8_of(PyObject* str, std::string_view& out) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace orvanel::py
