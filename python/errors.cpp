#include "python/errors.hpp"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "python/once.hpp"
#include "python/ref.hpp"
#include "python/text.hpp"

namespace orvanel::py {

namespace {

// Indexed by ExceptionClass.
constexpr const char* class_names[] = {
    "orvanel.OrvanelError",
    "orvanel.OrvanelIoError",
    "orvanel.OrvanelParseError",
    "orvanel.OrvanelValidationError",
    "orvanel.OrvanelWriterError",
};

PyObject* class_slots[std::size(class_names)] = {};

ExceptionClass class_for(ErrorCategory category) noexcept {
    switch (category) {
        case ErrorCategory::io: return ExceptionClass::io;
        case ErrorCategory::parse: return ExceptionClass::parse;
        case ErrorCategory::validation: return ExceptionClass::validation;
        case ErrorCategory::writer: return ExceptionClass::writer;
    }
    return ExceptionClass::parse;
}

// Takes the interpreter lock if the calling thread does not hold it, for the scope.
class EnsureGil {
public:
    EnsureGil() noexcept : state_(PyGILState_Ensure()) {}
    ~EnsureGil() { PyGILState_Release(state_); }
    EnsureGil(const EnsureGil&) = delete;
    EnsureGil& operator=(const EnsureGil&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace

PyObject* exception_class(ExceptionClass which) noexcept {
    const auto index = static_cast<std::size_t>(which);
    if (PyObject* existing = class_slots[index]) return existing;

    PyObject* base = PyExc_Exception;
    if (which != ExceptionClass::base) {
        base = exception_class(ExceptionClass::base);
        if (base == nullptr) return nullptr;
    }
    PyObject* made =
        PyErr_NewExceptionWithDoc(class_names[index], nullptr, base, nullptr);
    if (made == nullptr) {
        raise_internal_error("Failed to initialize new exception type.");
        return nullptr;
    }
    return publish_once(class_slots[index], made);
}

bool adopt_exception_classes(PyObject* module) noexcept {
    for (std::size_t index = 0; index < std::size(class_names); ++index) {
        const std::string_view full = class_names[index];
        const std::string name(full.substr(full.rfind('.') + 1));
        Ref cls = Ref::steal(PyObject_GetAttrString(module, name.c_str()));
        if (!cls) return false;
        if (!PyType_Check(cls.get()) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()),
                              reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
            raise_not_instance(nullptr, cls.get(), "type");
            return false;
        }
        publish_once(class_slots[index], cls.release());
    }
    return true;
}

PyObject* to_py_err(MatrixError&& error) noexcept {
    EnsureGil gil;
    MatrixError owned = std::move(error);  // dropped when this function returns

    Ref message;
    try {
        message = Ref::steal(str_from_utf8(owned.message()));
    } catch (const std::bad_alloc&) {
    }
    if (!message) {
        PyErr_Clear();
        return PyErr_NoMemory();
    }

    PyObject* cls = exception_class(class_for(error_category(owned.kind())));
    if (cls == nullptr) return nullptr;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
    if (!exc) return nullptr;

    const std::string_view name = error_name(owned.kind());
    Ref kind = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!kind) {
        PyErr_Clear();
        return PyErr_NoMemory();
    }
    if (PyObject_SetAttrString(exc.get(), "kind", kind.get()) < 0) PyErr_Clear();

    Ref offset;
    if (const std::optional<std::uint64_t> at = owned.offset()) {
        offset = Ref::steal(PyLong_FromUnsignedLongLong(*at));
        if (!offset) {
            PyErr_Clear();
            return PyErr_NoMemory();
        }
    } else {
        offset = Ref::borrow(Py_None);
    }
    if (PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0) PyErr_Clear();
    return exc.release();
}

PyObject* raise_matrix_error(MatrixError&& error) noexcept {
    Ref exc = Ref::steal(to_py_err(std::move(error)));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

PyObject* raise_not_instance(const char* param, PyObject* object, const char* target) noexcept {
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return nullptr;
    if (param == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), target);
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", param,
                     type_name.get(), target);
    }
    return nullptr;
}

void rename_type_error(const char* param) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // Only TypeError itself is renamed; other classes, TypeError subclasses included,
    // keep their own class and text.
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : PyUnicode_FromString(""));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

void raise_internal_error(const char* text) noexcept {
    Ref message = Ref::steal(str_from_utf8(text));
    if (!message) return;
    PyErr_SetObject(PyExc_SystemError, message.get());
}

}  // namespace orvanel::py
