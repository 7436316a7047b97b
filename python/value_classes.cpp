#include "python/value_classes.hpp"

#include <array>
#include <string>
#include <utility>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/ref.hpp"
#include "python/text.hpp"

namespace orvanel::py {

namespace {

PyTypeObject* make_type(PyObject*& slot, PyType_Spec& type_spec) noexcept {
    if (slot == nullptr) publish_once(slot, PyType_FromSpec(&type_spec));
    return reinterpret_cast<PyTypeObject*>(slot);
}

// ---- TableDef -------------------------------------------------------------------

constexpr Signature table_def_signature{"TableDef.__new__()", std::array{"name", "type_code"}};

PyObject* table_def_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_tuple(table_def_signature, args, kwargs);
        if (!bound) return nullptr;
        const auto [name, type_code] = *bound;
        TableDef def;
        if (!text_from_py(name, "name", def.name)) return nullptr;
        if (!type_code_from_py(type_code, def.type_code)) return nullptr;
        return new_boxed<TableDef>(type, std::move(def));
    });
}

PyObject* table_def_name(PyObject* self, void*) noexcept {
    return str_from_utf8(unbox<TableDef>(self).name);
}

PyObject* table_def_type_code(PyObject* self, void*) noexcept {
    return guarded([&] { return str_from_utf8(unbox<TableDef>(self).type_code.to_text()); });
}

PyObject* table_def_repr(PyObject* self) noexcept {
    return guarded([&] {
        const TableDef& def = unbox<TableDef>(self);
        std::string text = "TableDef(name=";
        text += def.name;
        text += ", type_code=";
        text += def.type_code.to_text();
        text += ')';
        return str_from_utf8(text);
    });
}

PyGetSetDef table_def_getset[] = {
    {"name", table_def_name, nullptr, nullptr, nullptr},
    {"type_code", table_def_type_code, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot table_def_slots[] = {
    {Py_tp_doc, const_cast<char*>("TableDef(name, type_code, /)\n--\n\n")},
    {Py_tp_new, as_slot(table_def_new)},
    {Py_tp_dealloc, as_slot(dealloc_boxed<TableDef>)},
    {Py_tp_repr, as_slot(table_def_repr)},
    {Py_tp_getset, table_def_getset},
    {},
};

PyType_Spec table_def_spec = {"orvanel._orvanel.TableDef", static_cast<int>(sizeof(Boxed<TableDef>)), 0, Py_TPFLAGS_DEFAULT,
                              table_def_slots};

PyObject* table_def_slot = nullptr;

// ---- TableInfo ------------------------------------------------------------------

PyObject* table_info_index(PyObject* self, void*) noexcept {
    return PyLong_FromLong(unbox<TableInfo>(self).index);
}

PyObject* table_info_name(PyObject* self, void*) noexcept {
    return str_from_utf8(unbox<TableInfo>(self).name);
}

PyObject* table_info_type_code(PyObject* self, void*) noexcept {
    return guarded([&] { return str_from_utf8(unbox<TableInfo>(self).type_code.to_text()); });
}

PyObject* table_info_repr(PyObject* self) noexcept {
    return guarded([&] {
        const TableInfo& info = unbox<TableInfo>(self);
        std::string text = "TableInfo(index=" + std::to_string(info.index) + ", name=";
        text += info.name;
        text += ", type_code=";
        text += info.type_code.to_text();
        text += ')';
        return str_from_utf8(text);
    });
}

PyGetSetDef table_info_getset[] = {
    {"index", table_info_index, nullptr, nullptr, nullptr},
    {"name", table_info_name, nullptr, nullptr, nullptr},
    {"type_code", table_info_type_code, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot table_info_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_boxed<TableInfo>)},
    {Py_tp_repr, as_slot(table_info_repr)},
    {Py_tp_getset, table_info_getset},
    {},
};

PyType_Spec table_info_spec = {"orvanel._orvanel.TableInfo", static_cast<int>(sizeof(Boxed<TableInfo>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, table_info_slots};

PyObject* table_info_slot = nullptr;

// ---- SchemaResult ---------------------------------------------------------------

constexpr Signature schema_tables_signature{"SchemaResult.tables()"};

PyObject* schema_zone_count(PyObject* self, void*) noexcept {
    return PyLong_FromLong(unbox<MatrixHeader>(self).zone_count);
}

PyObject* schema_banner(PyObject* self, void*) noexcept {
    return str_from_utf8(unbox<MatrixHeader>(self).banner);
}

PyObject* schema_run_id(PyObject* self, void*) noexcept {
    return str_from_utf8(unbox<MatrixHeader>(self).run_id);
}

PyObject* schema_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_fast(schema_tables_signature, args, nargs, kwnames)) return nullptr;
        return table_info_list(unbox<MatrixHeader>(self).tables);
    });
}

PyObject* schema_repr(PyObject* self) noexcept {
    const MatrixHeader& header = unbox<MatrixHeader>(self);
    return PyUnicode_FromFormat("SchemaResult(zone_count=%d, table_count=%zu)", static_cast<int>(header.zone_count),
                                header.tables.size());
}

PyGetSetDef schema_getset[] = {
    {"zone_count", schema_zone_count, nullptr, nullptr, nullptr},
    {"banner", schema_banner, nullptr, nullptr, nullptr},
    {"run_id", schema_run_id, nullptr, nullptr, nullptr},
    {},
};

PyMethodDef schema_methods[] = {
    {"tables", as_cfunction(schema_tables), METH_FASTCALL | METH_KEYWORDS, "tables($self, /)\n--\n\n"},
    {},
};

PyType_Slot schema_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_boxed<MatrixHeader>)},
    {Py_tp_repr, as_slot(schema_repr)},
    {Py_tp_getset, schema_getset},
    {Py_tp_methods, schema_methods},
    {},
};

PyType_Spec schema_spec = {"orvanel._orvanel.SchemaResult", static_cast<int>(sizeof(Boxed<MatrixHeader>)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, schema_slots};

PyObject* schema_slot = nullptr;

}  // namespace

PyTypeObject* table_def_type() noexcept { return make_type(table_def_slot, table_def_spec); }
PyTypeObject* table_info_type() noexcept { return make_type(table_info_slot, table_info_spec); }
PyTypeObject* schema_result_type() noexcept { return make_type(schema_slot, schema_spec); }

void adopt_table_def_type(PyObject* type) noexcept {
    Py_INCREF(type);
    publish_once(table_def_slot, type);
}

const TableDef* table_def_value(PyObject* object) noexcept {
    // Before the class exists there can be no instance of it.
    if (table_def_slot == nullptr || !Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(table_def_slot))) {
        return nullptr;
    }
    return &unbox<TableDef>(object);
}

bool table_defs_from_py(PyObject* tables, std::vector<TableDef>& out) {
    Ref iterator = Ref::steal(PyObject_GetIter(tables));
    if (!iterator) return false;
    std::vector<TableDef> defs;
    for (std::size_t position = 0;; ++position) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        if (const TableDef* def = table_def_value(item.get())) {
            defs.push_back(*def);
            continue;
        }
        // The tuple owns its two items for as long as `item` lives.
        PyObject* name = nullptr;
        if (PyTuple_Check(item.get()) && PyTuple_Size(item.get()) == 2) {
            name = PyTuple_GetItem(item.get(), 0);
            if (name != nullptr && !PyUnicode_Check(name)) name = nullptr;
        }
        if (name == nullptr) {
            PyErr_Format(PyExc_TypeError, "tables[%zu] must be TableDef or a (name, type_code) tuple", position);
            return false;
        }
        TableDef def;
        if (!type_code_from_py(PyTuple_GetItem(item.get(), 1), def.type_code)) return false;
        std::string_view text;
        if (!utf8_of(name, text)) return false;
        def.name.assign(text);
        defs.push_back(std::move(def));
    }
    out = std::move(defs);
    return true;
}

PyObject* make_table_info(const TableInfo& info) {
    PyTypeObject* type = table_info_type();
    if (type == nullptr) return nullptr;
    TableInfo copy = info;
    return new_boxed<TableInfo>(type, std::move(copy));
}

PyObject* table_info_list(std::span<const TableInfo> tables) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(tables.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        PyObject* item = make_table_info(tables[i]);
        if (item == nullptr) return nullptr;
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
    }
    return list.release();
}

PyObject* make_schema_result(MatrixHeader&& header) noexcept {
    PyTypeObject* type = schema_result_type();
    if (type == nullptr) return nullptr;
    return new_boxed<MatrixHeader>(type, std::move(header));
}

}  // namespace orvanel::py
