// Binding the arguments of a call to the parameters of a method or constructor.
#pragma once

#include <cstddef>
#include <span>

#include "python/pyapi.hpp"

namespace orvanel::py {

// The parameters of one callable, self not counted. Every parameter may be given by
// position or by keyword. `display` names the callable in messages, e.g. "_MatrixCore.get()".
struct Signature {
    const char* display;
    std::span<const char* const> required;
    std::span<const char* const> optional = {};

    std::size_t size() const noexcept { return required.size() + optional.size(); }
    const char* name(std::size_t i) const noexcept {
        return i < required.size() ? required[i] : optional[i - required.size()];
    }
};

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list. On success out[i]
// is the argument bound to parameter i (borrowed; null for an optional parameter not
// given). On failure a TypeError is set and false returned. `out` has sig.size() slots.
// Checks, in this order: too many positional arguments; each keyword in order
// (unknown name, parameter already bound); required parameters left unbound.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept;

// The same for an argument tuple and an optional keyword dict (tp_new).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

}  // namespace orvanel::py
