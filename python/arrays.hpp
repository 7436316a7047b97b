// Whole tables and whole stacks of tables as NumPy float64 arrays: the array methods of
// _MatrixCore.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "python/input_arrays.hpp"
#include "python/numpy_api.hpp"
#include "python/pyapi.hpp"
#include "python/ref.hpp"

namespace orvanel::py {

PyObject* matrix_core_table_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* matrix_core_stack_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* matrix_core_set_table_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept;
PyObject* matrix_core_set_stack_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept;

}  // namespace orvanel::py
