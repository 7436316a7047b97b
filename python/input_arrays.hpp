// Input arrays: the NumPy float64 arrays the module reads values from, accepted without
// conversion and read with the interpreter lock held.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "python/numpy_api.hpp"
#include "python/pyapi.hpp"
#include "python/ref.hpp"

namespace orvanel::py {

// Shape, strides and data of an accepted input array, read from the array itself.
struct ArrayView {
    const char* data = nullptr;
    int ndim = 0;
    std::array<NpyIntp, 3> shape{};
    std::array<NpyIntp, 3> strides{};
};

// An input array: an ndarray (or subclass instance) with exactly the required number of
// dimensions and a dtype NumPy deems equivalent to float64; nothing is ever converted.
//
// Holding the array means holding a strong reference to it; its data, shape and strides
// are read from the array struct by view(), with the interpreter lock held, right
// before they are used, and the caller runs no Python code between view() and the end
// of its copy. NumPy has no lock of its own for an array's data, and Python code run
// after acceptance (an __index__, a tables iterator) could reshape, retype or
// reallocate the array in place, so nothing read earlier is trusted.
class InputArray {
public:
    // Accepts `object` for parameter `param`; otherwise TypeError "argument '{param}':
    // '{type}' object is not an instance of 'ndarray'" and false.
    bool accept(PyObject* object, const char* param, int ndim) noexcept;
    // The array as it is now, checked again; false with the same TypeError when Python
    // code has changed its dimensionality or dtype since it was accepted.
    bool view(ArrayView& out) const noexcept;

private:
    Ref array_;
    const char* param_ = nullptr;
    int ndim_ = 0;
};

// ValueError "stack array must have shape ({tables}, {zones}, {zones}) (got [..])"
// unless `view` has exactly that shape. Throws std::bad_alloc when memory is short.
bool check_stack_shape(const ArrayView& view, std::size_t tables, std::size_t zones);

// Copies a (T, Z, Z) view into `out` (T·Z·Z doubles) in C order: element [t, o, d]
// goes to t·Z·Z + o·Z + d. The shape has been checked.
void copy_stack(const ArrayView& view, std::span<double> out) noexcept;

// "[3, 4]": the shape as a bracketed list.
std::string shape_text(const ArrayView& view);

// Whether an extent equals `wanted`.
bool extent_is(NpyIntp extent, std::size_t wanted) noexcept;

// Copies a 2-D (Z, Z) or 3-D (T, Z, Z) view into `out` in C order. A C-ordered array is
// one block; otherwise each row is a block when its elements are adjacent, or is read
// element by element following the strides (any sign; the data pointer addresses
// element [0, 0(, 0)], so a negative stride walks back from there). Elements are
// copied bytewise, as an array's data need not be aligned for doubles.
void copy_elements(const ArrayView& view, double* out) noexcept;

}  // namespace orvanel::py
