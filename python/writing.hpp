// Creating matrices from a schema, checking schemas, and writing matrices to files and
// bytes: from a _MatrixCore object, or straight from a schema and a NumPy stack.
#pragma once

#include "python/pyapi.hpp"

namespace orvanel::py {

// Static methods.
PyObject* matrix_core_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* matrix_core_validate_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept;
PyObject* matrix_core_write_from_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept;
PyObject* matrix_core_to_bytes_from_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept;

// Instance methods.
PyObject* matrix_core_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* matrix_core_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
// __bytes__: the same as to_bytes.
PyObject* matrix_core_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace orvanel::py
