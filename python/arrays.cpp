#include "python/arrays.hpp"

#include "core/memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hold.hpp"
#include "python/matrix_core.hpp"
#include "python/object.hpp"
#include "python/once.hpp"

namespace orvanel::py {

namespace {

using Mode = HoldGuard::Mode;

// ---- result buffers -------------------------------------------------------------

// A malloc'd block of doubles of exactly the size asked for.
class DoubleBuffer {
public:
    // A copy of `values`; throws std::bad_alloc when memory is short.
    static DoubleBuffer copy_of(std::span<const double> values) {
        DoubleBuffer buffer;
        // malloc(0) may give null; an empty result still gets a block of its own.
        const std::size_t count = std::max<std::size_t>(values.size(), 1);
        buffer.data_.reset(static_cast<double*>(std::malloc(count * sizeof(double))));
        if (!buffer.data_) throw std::bad_alloc();
        prefer_huge_pages(buffer.data_.get(), count * sizeof(double));
        if (!values.empty()) std::memcpy(buffer.data_.get(), values.data(), values.size_bytes());
        buffer.size_ = values.size();
        return buffer;
    }

    double* data() noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    // Hands the block to the caller, who frees it with std::free.
    double* release() noexcept { return data_.release(); }

private:
    struct Free {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<double[], Free> data_;
    std::size_t size_ = 0;
};

// The value of a PySliceContainer: a buffer that one or more arrays use as their memory,
// released with the function that fits how it was allocated once the last of them is
// gone.
class SliceContainer {
public:
    explicit SliceContainer(DoubleBuffer&& buffer) noexcept
        : length_(buffer.size()), capacity_(buffer.size()), data_(buffer.release()) {}
    SliceContainer(const SliceContainer&) = delete;
    SliceContainer& operator=(const SliceContainer&) = delete;
    ~SliceContainer() { release_(data_, length_, capacity_); }

private:
    static void free_doubles(void* data, std::size_t, std::size_t) noexcept { std::free(data); }

    std::size_t length_;    // elements in use
    std::size_t capacity_;  // elements allocated
    void* data_;
    void (*release_)(void*, std::size_t, std::size_t) noexcept = free_doubles;
};

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_boxed<SliceContainer>)},
    {},
};

PyType_Spec slice_container_spec = {"orvanel._orvanel.PySliceContainer",
                                    static_cast<int>(sizeof(Boxed<SliceContainer>)), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slice_container_slots};

PyObject* slice_container_slot = nullptr;

// A new PySliceContainer owning the buffer; null with an exception set when it cannot
// be made (the buffer then stays with the caller).
PyObject* make_slice_container(DoubleBuffer& buffer) noexcept {
    if (slice_container_slot == nullptr) {
        publish_once(slice_container_slot, PyType_FromSpec(&slice_container_spec));
        if (slice_container_slot == nullptr) return nullptr;
    }
    return new_boxed<SliceContainer>(reinterpret_cast<PyTypeObject*>(slice_container_slot), std::move(buffer));
}

// A new C-ordered, writeable float64 array of shape `dims` whose memory is `buffer`,
// kept by a PySliceContainer as the array's base.
PyObject* array_from_buffer(const NumpyApi& np, DoubleBuffer buffer, std::span<const NpyIntp> dims) {
    double* data = buffer.data();
    Ref container = Ref::steal(make_slice_container(buffer));
    if (!container) {
        raise_internal_error("Failed to create slice container");
        return nullptr;
    }
    std::array<NpyIntp, 3> strides{};
    NpyIntp stride = sizeof(double);
    for (std::size_t i = dims.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= dims[i];
    }
    PyObject* descr = np.descr_from_type(npy_double);
    if (descr == nullptr) return nullptr;
    Ref array = Ref::steal(np.new_from_descr(np.array_type, descr, static_cast<int>(dims.size()), dims.data(),
                                             strides.data(), data, npy_array_writeable, nullptr));
    if (!array) return nullptr;
    // From here the container lives as long as the array (or is dropped by NumPy when
    // this fails, and the array, which does not own the memory, with it).
    if (np.set_base_object(array.get(), container.release()) < 0) return nullptr;
    return array.release();
}

// ---- input arrays ---------------------------------------------------------------

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

// "[3, 4]": the shape as a bracketed list.
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

// Contiguous in C order: every axis of extent above 1 has the stride of the axes after it.
bool is_c_order(const ArrayView& view) noexcept {
    NpyIntp expected = sizeof(double);
    for (std::size_t i = static_cast<std::size_t>(view.ndim); i-- > 0;) {
        if (view.shape[i] != 1 && view.strides[i] != expected) return false;
        expected *= view.shape[i];
    }
    return true;
}

// Copies a 2-D (Z, Z) or 3-D (T, Z, Z) view into `out` in C order. A C-ordered array is
// one block; otherwise each row is a block when its elements are adjacent, or is read
// element by element following the strides (any sign; the data pointer addresses
// element [0, 0(, 0)], so a negative stride walks back from there). Elements are
// copied bytewise, as an array's data need not be aligned for doubles.
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

// ---- methods --------------------------------------------------------------------

constexpr Signature table_array_signature{"_MatrixCore.table_array()", std::array{"table"}};
constexpr Signature stack_array_signature{"_MatrixCore.stack_array()"};
constexpr Signature set_table_array_signature{"_MatrixCore.set_table_array()", std::array{"table", "values"}};
constexpr Signature set_stack_array_signature{"_MatrixCore.set_stack_array()", std::array{"values"}};

}  // namespace

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

PyObject* matrix_core_table_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(table_array_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [table_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        std::uint8_t table = 0;
        if (!select_table(table_arg, state.matrix, table)) return nullptr;
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return nullptr;
        const NpyIntp z = state.matrix.zone_count();
        const std::array<NpyIntp, 2> dims{z, z};
        return array_from_buffer(*np, DoubleBuffer::copy_of(state.matrix.table_values(table)), dims);
    });
}

PyObject* matrix_core_stack_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_fast(stack_array_signature, args, nargs, kwnames)) return nullptr;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return nullptr;
        const NpyIntp z = state.matrix.zone_count();
        const std::array<NpyIntp, 3> dims{state.matrix.table_count(), z, z};
        return array_from_buffer(*np, DoubleBuffer::copy_of(state.matrix.values()), dims);
    });
}

PyObject* matrix_core_set_table_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(set_table_array_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [table_arg, values_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::exclusive);
        if (!hold) return nullptr;
        InputArray values;
        if (!values.accept(values_arg, "values", 2)) return nullptr;
        std::uint8_t table = 0;
        if (!select_table(table_arg, state.matrix, table)) return nullptr;
        // No Python code runs from here to the end of the copy.
        ArrayView view;
        if (!values.view(view)) return nullptr;
        const std::size_t z = state.matrix.zone_count();
        if (!extent_is(view.shape[0], z) || !extent_is(view.shape[1], z)) {
            PyErr_Format(PyExc_ValueError, "table array must have shape (%zu, %zu) (got %s)", z, z,
                         shape_text(view).c_str());
            return nullptr;
        }
        copy_elements(view, state.matrix.table_values_mut(table).data());
        Py_RETURN_NONE;
    });
}

PyObject* matrix_core_set_stack_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(set_stack_array_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [values_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::exclusive);
        if (!hold) return nullptr;
        InputArray values;
        ArrayView view;
        if (!values.accept(values_arg, "values", 3) || !values.view(view)) return nullptr;
        if (!check_stack_shape(view, state.matrix.table_count(), state.matrix.zone_count())) return nullptr;
        copy_stack(view, state.matrix.values_mut());
        Py_RETURN_NONE;
    });
}

}  // namespace orvanel::py
