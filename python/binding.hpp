// Binding the arguments of a call to the parameters of a method or constructor.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "python/pyapi.hpp"

namespace orvanel::py {

// The parameters of one callable, self not counted: their number is part of the type,
// deduced from the name arrays, e.g.
//     constexpr Signature get_signature{"_MatrixCore.get()", std::array{"table", "origin"}};
// Every parameter may be given by position or by keyword. `display` names the callable
// in messages, e.g. "_MatrixCore.get()".
template <std::size_t NRequired = 0, std::size_t NOptional = 0>
struct Signature {
    const char* display;
    std::array<const char*, NRequired> required{};
    std::array<const char*, NOptional> optional{};
};

// Deduction from the name arrays, spelled out for compilers without deduction for
// aggregates (clang before 17, which clang-tidy is built on).
Signature(const char*) -> Signature<0, 0>;
template <std::size_t NRequired>
Signature(const char*, std::array<const char*, NRequired>) -> Signature<NRequired, 0>;
template <std::size_t NRequired, std::size_t NOptional>
Signature(const char*, std::array<const char*, NRequired>, std::array<const char*, NOptional>)
    -> Signature<NRequired, NOptional>;

// The arguments bound to a signature's parameters, one slot per parameter in order
// (borrowed; null for an optional parameter not given).
template <std::size_t NRequired, std::size_t NOptional>
using BoundArguments = std::array<PyObject*, NRequired + NOptional>;

namespace detail {

// A signature of any size, for the one implementation of binding.
struct SignatureView {
    const char* display;
    std::span<const char* const> required;
    std::span<const char* const> optional;

    std::size_t size() const noexcept { return required.size() + optional.size(); }
    const char* name(std::size_t i) const noexcept {
        return i < required.size() ? required[i] : optional[i - required.size()];
    }
};

template <std::size_t NRequired, std::size_t NOptional>
SignatureView view_of(const Signature<NRequired, NOptional>& sig) noexcept {
    return {sig.display, sig.required, sig.optional};
}

// `out` has exactly sig.size() slots.
bool bind_fast(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) noexcept;
bool bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) noexcept;

}  // namespace detail

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list. On failure a
// TypeError is set and nothing is returned. Checks, in this order: too many positional
// arguments; each keyword in order (unknown name, parameter already bound); required
// parameters left unbound.
template <std::size_t NRequired, std::size_t NOptional>
std::optional<BoundArguments<NRequired, NOptional>> bind_fast(const Signature<NRequired, NOptional>& sig,
                                                              PyObject* const* args, Py_ssize_t nargs,
                                                              PyObject* kwnames) noexcept {
    BoundArguments<NRequired, NOptional> out{};
    if (!detail::bind_fast(detail::view_of(sig), args, nargs, kwnames, out)) return std::nullopt;
    return out;
}

// The same for an argument tuple and an optional keyword dict (tp_new).
template <std::size_t NRequired, std::size_t NOptional>
std::optional<BoundArguments<NRequired, NOptional>> bind_tuple(const Signature<NRequired, NOptional>& sig,
                                                               PyObject* args, PyObject* kwargs) noexcept {
    BoundArguments<NRequired, NOptional> out{};
    if (!detail::bind_tuple(detail::view_of(sig), args, kwargs, out)) return std::nullopt;
    return out;
}

}  // namespace orvanel::py
