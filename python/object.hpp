// Python objects that carry one C++ value, for heap types built with PyType_FromSpec.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "python/pyapi.hpp"

namespace orvanel::py {

template <class Value>
struct Boxed {
    PyObject_HEAD
    Value value;
};

template <class Value>
Value& unbox(PyObject* self) noexcept {
    return reinterpret_cast<Boxed<Value>*>(self)->value;
}

// A new instance of `type` whose value is built from `args`. The value is built only
// after the memory is had, and building it cannot fail, so a half-made object never
// exists. Null with MemoryError set when the allocation fails.
template <class Value, class... Args>
PyObject* new_boxed(PyTypeObject* type, Args&&... args) noexcept {
    static_assert(std::is_nothrow_constructible_v<Value, Args&&...>);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);  // a heap type's instance holds a reference to it
    if (self == nullptr) return nullptr;
    std::construct_at(&reinterpret_cast<Boxed<Value>*>(self)->value, std::forward<Args>(args)...);
    return self;
}

// tp_dealloc of a type whose instances are Boxed<Value>.
template <class Value>
void dealloc_boxed(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Boxed<Value>*>(self)->value);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

// Method tables store every function as PyCFunction; the flags say its real shape.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
void* as_slot(Function* function) noexcept {
    return reinterpret_cast<void*>(function);
}

// The signature of every METH_FASTCALL | METH_KEYWORDS function of the module.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace orvanel::py
