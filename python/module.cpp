// The module object: its definition, its one execution step and what it publishes.
#include "python/errors.hpp"
#include "python/matrix_core.hpp"
#include "python/object.hpp"
#include "python/pyapi.hpp"
#include "python/ref.hpp"
#include "python/value_classes.hpp"

namespace orvanel::py {

namespace {

constexpr char module_doc[] = "Low-level core bindings for orvanel.\n\nImport the public `orvanel` package for normal use.";
constexpr char base_error_doc[] = "Base exception for orvanel parse, validation, and write failures.";

// Appends `name` to the module's __all__ (creating the list when the module has none),
// then sets the attribute. Does not take over `value`.
bool publish(PyObject* module, const char* name, PyObject* value) noexcept {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        raise_not_instance(nullptr, all.get(), "list");
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        raise_not_instance(nullptr, module, "module");
        return -1;
    }

    Ref doc = Ref::steal(PyUnicode_FromString(module_doc));
    if (!doc || !publish(module, "__doc__", doc.get())) return -1;

    PyObject* base = exception_class(ExceptionClass::base);
    if (base == nullptr) return -1;
    Ref base_doc = Ref::steal(PyUnicode_FromString(base_error_doc));
    if (!base_doc || PyObject_SetAttrString(base, "__doc__", base_doc.get()) < 0) return -1;

    struct Exported {
        const char* name;
        ExceptionClass which;
    };
    constexpr Exported exceptions[] = {
        {"OrvanelError", ExceptionClass::base},
        {"OrvanelIoError", ExceptionClass::io},
        {"OrvanelParseError", ExceptionClass::parse},
        {"OrvanelValidationError", ExceptionClass::validation},
        {"OrvanelWriterError", ExceptionClass::writer},
    };
    for (const Exported& exported : exceptions) {
        PyObject* cls = exception_class(exported.which);
        if (cls == nullptr || !publish(module, exported.name, cls)) return -1;
    }

    struct Class {
        const char* name;
        PyTypeObject* (*type)() noexcept;
    };
    constexpr Class classes[] = {
        {"TableDef", table_def_type},
        {"TableInfo", table_info_type},
        {"SchemaResult", schema_result_type},
        {"_MatrixCore", matrix_core_type},
    };
    for (const Class& cls : classes) {
        PyTypeObject* type = cls.type();
        if (type == nullptr || !publish(module, cls.name, reinterpret_cast<PyObject*>(type))) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_orvanel",    // m_name
    "",            // m_doc: the execution step installs the docstring
    0,             // m_size: no per-module state
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace orvanel::py

PyMODINIT_FUNC PyInit__orvanel(void) { return PyModuleDef_Init(&orvanel::py::module_def); }
