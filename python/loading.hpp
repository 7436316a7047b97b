// The loading constructors of _MatrixCore: static methods that read a matrix from a
// file or from a bytes object, whole or restricted to named tables.
#pragma once

#include "python/pyapi.hpp"

namespace orvanel::py {

PyObject* matrix_core_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* matrix_core_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* matrix_core_open_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* matrix_core_from_bytes_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;

}  // namespace orvanel::py
