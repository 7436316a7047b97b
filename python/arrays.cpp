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
    std::unique_ptr<double[], FreeDeleter> data_;
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

// ---- methods --------------------------------------------------------------------

constexpr Signature table_array_signature{"_MatrixCore.table_array()", std::array{"table"}};
constexpr Signature stack_array_signature{"_MatrixCore.stack_array()"};
constexpr Signature set_table_array_signature{"_MatrixCore.set_table_array()", std::array{"table", "values"}};
constexpr Signature set_stack_array_signature{"_MatrixCore.set_stack_array()", std::array{"values"}};

}  // namespace

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
