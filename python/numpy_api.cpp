#include "python/numpy_api.hpp"

#include "python/once.hpp"
#include "python/ref.hpp"

namespace orvanel::py {

namespace {

// Slots of NumPy's array API table; the table's layout is part of NumPy's stable ABI.
constexpr int slot_array_type = 2;
constexpr int slot_descr_from_type = 45;
constexpr int slot_new_from_descr = 94;
constexpr int slot_equiv_types = 182;
constexpr int slot_zeros = 183;
constexpr int slot_set_base_object = 282;

constexpr char capsule_failure[] = "Failed to access NumPy array API capsule";

// The major version of the installed NumPy, by NumPy's own version parser.
long numpy_major_version() noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return -1;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return -1;
    Ref parser = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!parser) return -1;
    Ref parsed = Ref::steal(PyObject_CallFunctionObjArgs(parser.get(), version.get(), nullptr));
    if (!parsed) return -1;
    Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return -1;
    return PyLong_AsLong(major.get());
}

// A new reference to the `_ARRAY_API` capsule of NumPy's multiarray module (under
// numpy._core from version 2 on, numpy.core before) holding a non-null table; null
// with an exception set. Import failures are NumPy's own; a missing or unreadable
// capsule is an ImportError.
PyObject* load_capsule() noexcept {
    const long major = numpy_major_version();
    if (major == -1 && PyErr_Occurred()) return nullptr;
    Ref multiarray =
        Ref::steal(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), nullptr)) {
        PyErr_SetString(PyExc_ImportError, capsule_failure);
        return nullptr;
    }
    return capsule.release();
}

template <class Function>
Function slot(void* const* table, int index) noexcept {
    return reinterpret_cast<Function>(table[index]);
}

// The capsule is kept alive by this slot, so its table stays valid for the process.
PyObject* capsule_slot = nullptr;
NumpyApi api{};

}  // namespace

const NumpyApi* numpy_api() noexcept {
    if (capsule_slot != nullptr) return &api;
    PyObject* made = load_capsule();
    if (made == nullptr) return nullptr;
    // Every capsule loaded holds the same table, so when another thread published its
    // capsule while this one was loading, filling the table again changes nothing. No
    // Python code runs between filling and publishing: no thread sees one without the
    // other.
    auto table = static_cast<void* const*>(PyCapsule_GetPointer(made, nullptr));
    api.array_type = slot<PyTypeObject*>(table, slot_array_type);
    api.descr_from_type = slot<decltype(api.descr_from_type)>(table, slot_descr_from_type);
    api.new_from_descr = slot<decltype(api.new_from_descr)>(table, slot_new_from_descr);
    api.equiv_types = slot<decltype(api.equiv_types)>(table, slot_equiv_types);
    api.zeros = slot<decltype(api.zeros)>(table, slot_zeros);
    api.set_base_object = slot<decltype(api.set_base_object)>(table, slot_set_base_object);
    publish_once(capsule_slot, made);
    return &api;
}

}  // namespace orvanel::py
