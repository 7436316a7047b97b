// NumPy's C array interface, reached at run time through the function table NumPy
// publishes in a capsule, so that building the module needs no NumPy headers.
#pragma once

#include "python/pyapi.hpp"

namespace orvanel::py {

// NumPy's index type (npy_intp): a pointer-sized signed integer.
using NpyIntp = Py_intptr_t;

inline constexpr int npy_double = 12;               // type number of float64
inline constexpr int npy_array_writeable = 0x0400;  // array flag: elements may be written

// The leading fields of every ndarray object, laid out as NumPy's stable array struct.
// Only read, and only with the interpreter lock held.
struct NpyArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    NpyIntp* dimensions;
    NpyIntp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// The functions and the type object the module uses, taken from the table by slot.
// Descriptor and array arguments are NumPy objects, passed as PyObject*.
struct NumpyApi {
    PyTypeObject* array_type;
    // New reference to the built-in descriptor of a type number.
    PyObject* (*descr_from_type)(int type_num);
    // Steals `descr`. With `data` given, the array does not own it (see set_base_object).
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const NpyIntp* dims,
                                const NpyIntp* strides, void* data, int flags, PyObject* obj);
    unsigned char (*equiv_types)(PyObject* descr1, PyObject* descr2);
    // A new zero-filled array (NumPy allocates it with calloc: untouched pages cost
    // nothing). Steals `descr`.
    PyObject* (*zeros)(int nd, const NpyIntp* dims, PyObject* descr, int fortran_order);
    // Steals `base`, on failure too.
    int (*set_base_object)(PyObject* array, PyObject* base);
};

// The table, looked up on first use and kept for the life of the process; null with an
// exception set when NumPy cannot be imported or its capsule cannot be read.
const NumpyApi* numpy_api() noexcept;

}  // namespace orvanel::py
