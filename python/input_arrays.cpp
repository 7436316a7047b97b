#include "python/input_arrays.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace orvanel::py {

namespace {


const NpyArrayFields& fields_of(PyObject* array) noexcept { return *reinterpret_cast<const NpyArrayFields*>(array); }

// 1 when `object` is an ndarray of `ndim` dimensions and a float64-equivalent dtype,
// 0 when not, -1 with an exception set.
int is_float64_array(const NumpyApi& np, PyObject* object, int ndim) noexcept {
    if (!PyObject_TypeCheck(object, np.array_type)) return 0;
    const NpyArrayFields& fields = fields_of(object);
    if (fields.nd != ndim) return 0;
    Ref float64 = Ref::steal(np.descr_from_type(npy_double));
    if (!float64) return -1;
    return np.equiv_types(fields.descr, float64.get()) ? 1 : 0;
}

bool raise_rejected(const char* param, PyObject* object) noexcept {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of 'ndarray'", param);
    } else {
        raise_not_instance(param, object, "ndarray");
    }
    return false;
}

// Contiguous in C order: every axis of extent above 1 has the stride of the axes after it.
bool is_c_order(const ArrayView& view) noexcept {
    NpyIntp expected = sizeof(double);
    for (std::size_t i = static_cast<std::size_t>(view.ndim); i-- > 0;) {
        if (view.shape[i] != 1 && view.strides[i] != expected) return false;
        expected *= view.shape[i];
    }
    return true;
}

}  // namespace

std::string shape_text(const ArrayView& view) {
    std::string text = "[";
    for (int i = 0; i < view.ndim; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(view.shape[static_cast<std::size_t>(i)]);
    }
    text += ']';
    return text;
}

bool extent_is(NpyIntp extent, std::size_t wanted) noexcept {
    return extent >= 0 && static_cast<std::size_t>(extent) == wanted;
}

void copy_elements(const ArrayView& view, double* out) noexcept {
    const std::size_t lead = view.ndim == 3 ? 1 : 0;
    const NpyIntp count = lead ? view.shape[0] : 1;
    const NpyIntp rows = view.shape[lead];
    const NpyIntp cols = view.shape[lead + 1];
    if (count <= 0 || rows <= 0 || cols <= 0) return;
    const auto row_bytes = static_cast<std::size_t>(cols) * sizeof(double);
    if (is_c_order(view)) {
        std::memcpy(out, view.data, static_cast<std::size_t>(count * rows) * row_bytes);
        return;
    }
    const NpyIntp table_stride = lead ? view.strides[0] : 0;
    const NpyIntp row_stride = view.strides[lead];
    const NpyIntp col_stride = view.strides[lead + 1];
    const bool rows_adjacent = col_stride == static_cast<NpyIntp>(sizeof(double)) || cols < 2;
    for (NpyIntp t = 0; t < count; ++t) {
        const char* table = view.data + t * table_stride;
        for (NpyIntp o = 0; o < rows; ++o) {
            const char* row = table + o * row_stride;
            if (rows_adjacent) {
                std::memcpy(out, row, row_bytes);
            } else {
                for (NpyIntp d = 0; d < cols; ++d) std::memcpy(out + d, row + d * col_stride, sizeof(double));
            }
            out += cols;
        }
    }
}

bool InputArray::accept(PyObject* object, const char* param, int ndim) noexcept {
    param_ = param;
    ndim_ = ndim;
    const NumpyApi* np = numpy_api();
    if (np == nullptr) return false;
    const int accepted = is_float64_array(*np, object, ndim);
    if (accepted < 0) return false;
    if (accepted == 0) return raise_rejected(param, object);
    array_ = Ref::borrow(object);
    return true;
}

bool InputArray::view(ArrayView& out) const noexcept {
    const NumpyApi* np = numpy_api();
    if (np == nullptr) return false;
    PyObject* object = array_.get();
    const int accepted = is_float64_array(*np, object, ndim_);
    if (accepted < 0) return false;
    if (accepted == 0) return raise_rejected(param_, object);
    const NpyArrayFields& fields = fields_of(object);
    out.data = fields.data;
    out.ndim = fields.nd;
    for (std::size_t i = 0; i < static_cast<std::size_t>(fields.nd); ++i) {
        out.shape[i] = fields.dimensions[i];
        out.strides[i] = fields.strides[i];
    }
    return true;
}

bool check_stack_shape(const ArrayView& view, std::size_t tables, std::size_t zones) {
    if (extent_is(view.shape[0], tables) && extent_is(view.shape[1], zones) && extent_is(view.shape[2], zones)) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "stack array must have shape (%zu, %zu, %zu) (got %s)", tables, zones, zones,
                 shape_text(view).c_str());
    return false;
}

void copy_stack(const ArrayView& view, std::span<double> out) noexcept { copy_elements(view, out.data()); }

}  // namespace orvanel::py
