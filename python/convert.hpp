// Conversions between Python objects and the values the core works with. Every
// function that takes a parameter name reports its failures as that parameter's:
// a TypeError reads "argument '{param}': {reason}", other exceptions pass unchanged.
// All return false (or null) with a Python exception set on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/matrix.hpp"
#include "core/schema.hpp"
#include "python/pyapi.hpp"
#include "python/ref.hpp"

namespace orvanel::py {

// A zone number or zone count: any object with __index__, value 0..65535; outside that
// range OverflowError "out of range integral type conversion attempted".
bool u16_from_py(PyObject* object, const char* param, std::uint16_t& out) noexcept;

// Anything the interpreter converts to a double (__float__ or __index__).
bool double_from_py(PyObject* object, const char* param, double& out) noexcept;

// A str (or a str subclass), as UTF-8 text.
bool text_from_py(PyObject* object, const char* param, std::string& out);

// The table selector: a table name (first table with exactly that name) or a 1-based
// table number, giving the number of an existing table of `matrix`.
bool select_table(PyObject* table, const Matrix& matrix, std::uint8_t& out) noexcept;

// A type code: an int 0..9 (not a bool), or one of the strings '0'..'9', 'S', 'D'.
// Errors are raised as they are, not attributed to a parameter.
bool type_code_from_py(PyObject* object, TypeCode& out) noexcept;

// A file-system path: through os.fspath, which must give a str, then encoded with the
// file-system encoding; `out` holds the bytes of the encoded path.
bool path_from_py(PyObject* object, const char* param, std::string& out);

// A bytes object (or a bytes subclass); `out` keeps it alive.
bool bytes_from_py(PyObject* object, const char* param, Ref& out) noexcept;

// A sequence of str other than a str itself; order and repetitions are kept.
bool table_names_from_py(PyObject* object, const char* param, std::vector<std::string>& out);

}  // namespace orvanel::py
