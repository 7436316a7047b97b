#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace orvanel::py::detail {

namespace {

bool raise_too_many(const SignatureView& sig, Py_ssize_t given) noexcept {
    const char* verb = given == 1 ? "was" : "were";
    const auto required = static_cast<Py_ssize_t>(sig.required.size());
    if (sig.optional.empty()) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.display,
                     required, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     sig.display, required, static_cast<Py_ssize_t>(sig.size()), given, verb);
    }
    return false;
}

bool bind_keyword(const SignatureView& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) noexcept {
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.name(i)) != 0) continue;
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                             sig.name(i));
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display, key);
    return false;
}

// "{display} missing 3 required positional arguments: 'a', 'b', and 'c'".
void raise_missing(const SignatureView& sig, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required.size(); ++i) {
        if (out[i] == nullptr) missing.push_back(sig.required[i]);
    }
    std::string names;
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            if (missing.size() > 2) names += ',';
            names += k + 1 == missing.size() ? " and " : " ";
        }
        names += '\'';
        names += missing[k];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.display,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments",
                 names.c_str());
}

bool check_missing(const SignatureView& sig, std::span<PyObject*> out) noexcept {
    for (std::size_t i = 0; i < sig.required.size(); ++i) {
        if (out[i] == nullptr) {
            guarded([&]() -> int {
                raise_missing(sig, out);
                return 0;
            });
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_fast(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) noexcept {
    if (nargs > static_cast<Py_ssize_t>(sig.size())) return raise_too_many(sig, nargs);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        if (count < 0) return false;
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            if (key == nullptr) return false;
            if (!bind_keyword(sig, key, args[nargs + k], out)) return false;
        }
    }
    return check_missing(sig, out);
}

bool bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) noexcept {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    if (nargs > static_cast<Py_ssize_t>(sig.size())) return raise_too_many(sig, nargs);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))
                                                    : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(sig, key, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

}  // namespace orvanel::py::detail
