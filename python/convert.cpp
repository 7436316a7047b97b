#include "python/convert.hpp"

#include <optional>
#include <utility>

#include "python/errors.hpp"
#include "python/once.hpp"
#include "python/text.hpp"

namespace orvanel::py {

namespace {

constexpr char type_code_type_message[] = "type code must be int 0..9 or string '0'..'9', 'S', or 'D'";

// The value of an object with __index__ that fits a C long; nothing (and no exception
// left behind) when there is none.
std::optional<long> index_value(PyObject* object) noexcept {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

// collections.abc.Sequence, imported once.
PyObject* sequence_abc() noexcept {
    static PyObject* slot = nullptr;
    if (slot != nullptr) return slot;
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return publish_once(slot, PyObject_GetAttrString(module.get(), "Sequence"));
}

}  // namespace

bool u16_from_py(PyObject* object, const char* param, std::uint16_t& out) noexcept {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        rename_type_error(param);
        return false;
    }
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        rename_type_error(param);
        return false;
    }
    if (value < 0 || value > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool double_from_py(PyObject* object, const char* param, double& out) noexcept {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        rename_type_error(param);
        return false;
    }
    out = value;
    return true;
}

bool text_from_py(PyObject* object, const char* param, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_not_instance(param, object, "str");
        return false;
    }
    std::string_view text;
    if (!utf8_of(object, text)) {
        rename_type_error(param);
        return false;
    }
    out.assign(text);
    return true;
}

bool select_table(PyObject* table, const Matrix& matrix, std::uint8_t& out) noexcept {
    if (PyUnicode_Check(table)) {
        std::string_view name;
        if (utf8_of(table, name)) {
            if (const std::optional<std::uint8_t> index = matrix.table_index_by_name(name)) {
                out = *index;
                return true;
            }
            PyErr_Format(PyExc_ValueError, "table %U not found in matrix header", table);
            return false;
        }
        PyErr_Clear();  // a str without UTF-8 text is no usable table argument
    } else if (const std::optional<long> value = index_value(table); value && *value >= 0 && *value <= 255) {
        if (*value >= 1 && *value <= matrix.table_count()) {
            out = static_cast<std::uint8_t>(*value);
            return true;
        }
        PyErr_Format(PyExc_ValueError, "table index must be within 1..=%d (got %ld)",
                     static_cast<int>(matrix.table_count()), *value);
        return false;
    }
    PyErr_SetString(PyExc_TypeError, "table must be a table name (str) or 1-based index (int)");
    return false;
}

bool type_code_from_py(PyObject* object, TypeCode& out) noexcept {
    // A bool is an int to Python, but True or False as a type code is a mistake.
    if (Py_IS_TYPE(object, &PyBool_Type)) {
        PyErr_SetString(PyExc_TypeError, type_code_type_message);
        return false;
    }
    if (PyUnicode_Check(object)) {
        std::string_view text;
        if (utf8_of(object, text)) {
            if (text.size() == 1) {
                const char c = text[0];
                if (c == 'S' || c == 'D' || (c >= '0' && c <= '9')) {
                    if (const std::optional<TypeCode> code = TypeCode::from_char(c)) {
                        out = *code;
                        return true;
                    }
                }
            }
            PyErr_Format(PyExc_ValueError, "invalid type code %U; expected '0'..'9', 'S', or 'D'", object);
            return false;
        }
        PyErr_Clear();
    } else if (const std::optional<long> value = index_value(object); value && *value >= 0 && *value <= 255) {
        if (*value <= max_fixed_precision) {
            out = TypeCode::fixed(static_cast<std::uint8_t>(*value));
            return true;
        }
        PyErr_Format(PyExc_ValueError, "invalid fixed-point precision %ld; expected 0..9", *value);
        return false;
    }
    PyErr_SetString(PyExc_TypeError, type_code_type_message);
    return false;
}

bool path_from_py(PyObject* object, const char* param, std::string& out) {
    Ref path = Ref::steal(PyOS_FSPath(object));
    if (!path) {
        rename_type_error(param);
        return false;
    }
    if (!PyUnicode_Check(path.get())) {
        raise_not_instance(param, path.get(), "str");
        return false;
    }
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool bytes_from_py(PyObject* object, const char* param, Ref& out) noexcept {
    if (!PyBytes_Check(object)) {
        raise_not_instance(param, object, "bytes");
        return false;
    }
    out = Ref::borrow(object);
    return true;
}

bool table_names_from_py(PyObject* object, const char* param, std::vector<std::string>& out) {
    if (PyUnicode_Check(object)) {
        // A str is a sequence of one-character strs, which is never what is meant.
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
        return false;
    }
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        PyObject* abc = sequence_abc();
        if (abc == nullptr) return false;
        const int is_sequence = PyObject_IsInstance(object, abc);
        if (is_sequence < 0) {
            rename_type_error(param);
            return false;
        }
        if (is_sequence == 0) {
            raise_not_instance(param, object, "Sequence");
            return false;
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        rename_type_error(param);
        return false;
    }
    std::vector<std::string> names;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string name;
        if (!text_from_py(item.get(), param, name)) return false;
        names.push_back(std::move(name));
    }
    if (PyErr_Occurred()) {
        rename_type_error(param);
        return false;
    }
    out = std::move(names);
    return true;
}

}  // namespace orvanel::py
