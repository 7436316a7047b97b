// The _MatrixCore class: one in-memory matrix owned by a Python object.
#pragma once

#include <utility>

#include "core/matrix.hpp"
#include "python/hold.hpp"
#include "python/pyapi.hpp"

namespace orvanel::py {

// What a _MatrixCore instance carries: the matrix, never replaced, and the hold flag
// that keeps readers and a writer of its values apart.
struct MatrixCoreState {
    explicit MatrixCoreState(Matrix&& m) noexcept : matrix(std::move(m)) {}
    HoldFlag hold{0};
    Matrix matrix;
};

// The type object, borrowed from a process-wide slot and created on first use; null
// with an exception set when creation fails.
PyTypeObject* matrix_core_type() noexcept;

// A new _MatrixCore owning `matrix`; null with an exception set on failure (the matrix
// is then dropped).
PyObject* make_matrix_core(Matrix&& matrix) noexcept;

MatrixCoreState& matrix_core_state(PyObject* self) noexcept;

}  // namespace orvanel::py
