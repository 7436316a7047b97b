// Python exceptions of the module: the exception classes, the conversion of a core
// MatrixError, the common argument errors, and the boundary that keeps C++ exceptions
// out of the interpreter.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "core/error.hpp"
#include "python/pyapi.hpp"

namespace orvanel::py {

enum class ExceptionClass { base, io, parse, validation, writer };

// The class, borrowed from a process-wide slot and created on first use; null with
// SystemError set when it cannot be created.
PyObject* exception_class(ExceptionClass which) noexcept;

// Makes the classes of `module` (an extension module built from these sources that
// published them under their short names, "OrvanelError" and so on) the ones this module
// raises, so that two modules raise the very same classes. Call before any class is
// used; false with an exception set when one is missing or not an exception class.
bool adopt_exception_classes(PyObject* module) noexcept;

// Consumes `error` and returns the exception to raise (a new reference): the class of
// the error's category, args (message,), attributes `kind` and `offset`. Null with
// MemoryError set when the message or the offset cannot be made.
PyObject* to_py_err(MatrixError&& error) noexcept;

// Sets the exception for `error`; always returns null, for `return raise_...(...)`.
PyObject* raise_matrix_error(MatrixError&& error) noexcept;

// TypeError "argument '{param}': '{type}' object is not an instance of '{target}'",
// {type} being the qualified name of the object's type; without the "argument" prefix
// when `param` is null.
PyObject* raise_not_instance(const char* param, PyObject* object, const char* target) noexcept;

// A failed conversion of parameter `param`: a pending TypeError is replaced by
// TypeError "argument '{param}': {message}"; any other exception is left as it is.
void rename_type_error(const char* param) noexcept;

// SystemError with `text`, for faults of the module itself.
void raise_internal_error(const char* text) noexcept;

// Runs `body` (a function returning PyObject* or int) and turns a C++ exception
// escaping from it into a Python one: MemoryError for std::bad_alloc, SystemError for
// anything else. Every function the interpreter calls goes through here.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    using Out = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unexpected C++ exception");
    }
    if constexpr (std::is_pointer_v<Out>) {
        return nullptr;
    } else {
        return Out(-1);
    }
}

}  // namespace orvanel::py
