#include "python/matrix_core.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>

#include "python/arrays.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/loading.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/ref.hpp"
#include "python/text.hpp"
#include "python/value_classes.hpp"
#include "python/writing.hpp"

namespace orvanel::py {

namespace {

using Mode = HoldGuard::Mode;

bool zone_in_range(std::uint16_t zone, const Matrix& matrix) noexcept {
    return zone >= 1 && zone <= matrix.zone_count();
}

PyObject* raise_cell_range(const Matrix& matrix, std::uint16_t origin, std::uint16_t destination) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "origin and destination must be within 1..=%d (got origin=%d, destination=%d)",
                 static_cast<int>(matrix.zone_count()), static_cast<int>(origin), static_cast<int>(destination));
    return nullptr;
}

// ---- properties -----------------------------------------------------------------

template <class Read>
PyObject* read_property(PyObject* self, Read read) noexcept {
    MatrixCoreState& state = matrix_core_state(self);
    HoldGuard hold(state.hold, Mode::shared);
    if (!hold) return nullptr;
    return guarded([&]() -> PyObject* { return read(state.matrix); });
}

PyObject* get_zone_count(PyObject* self, void*) noexcept {
    return read_property(self, [](const Matrix& m) { return PyLong_FromLong(m.zone_count()); });
}

PyObject* get_table_count(PyObject* self, void*) noexcept {
    return read_property(self, [](const Matrix& m) { return PyLong_FromLong(m.table_count()); });
}

PyObject* get_banner(PyObject* self, void*) noexcept {
    return read_property(self, [](const Matrix& m) { return str_from_utf8(m.banner()); });
}

PyObject* get_run_id(PyObject* self, void*) noexcept {
    return read_property(self, [](const Matrix& m) { return str_from_utf8(m.run_id()); });
}

// ---- methods --------------------------------------------------------------------

constexpr Signature tables_signature{"_MatrixCore.tables()"};

PyObject* core_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_fast(tables_signature, args, nargs, kwnames)) return nullptr;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        return table_info_list(state.matrix.tables());
    });
}

constexpr Signature table_index_by_name_signature{"_MatrixCore.table_index_by_name()", std::array{"name"}};

PyObject* core_table_index_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(table_index_by_name_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [name_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        std::string name;
        if (!text_from_py(name_arg, "name", name)) return nullptr;
        if (const std::optional<std::uint8_t> index = state.matrix.table_index_by_name(name)) {
            return PyLong_FromLong(*index);
        }
        Py_RETURN_NONE;
    });
}

constexpr std::array cell_params{"table", "origin", "destination"};
using CellSignature = Signature<cell_params.size()>;
constexpr Signature get_signature{"_MatrixCore.get()", cell_params};
constexpr Signature checked_get_signature{"_MatrixCore.checked_get()", cell_params};

struct Cell {
    std::uint8_t table = 0;
    std::uint16_t origin = 0;
    std::uint16_t destination = 0;
};

// Origin, then destination, then the table selector; the zone range is left to the caller.
bool convert_cell(const BoundArguments<cell_params.size(), 0>& bound, const Matrix& matrix, Cell& cell) noexcept {
    const auto [table, origin, destination] = bound;
    return u16_from_py(origin, "origin", cell.origin) && u16_from_py(destination, "destination", cell.destination) &&
           select_table(table, matrix, cell.table);
}

template <bool Checked>
PyObject* read_cell(const CellSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        Cell cell;
        if (!convert_cell(*bound, state.matrix, cell)) return nullptr;
        const std::optional<double> value = state.matrix.checked_get(cell.table, cell.origin, cell.destination);
        if (!value) {
            if constexpr (Checked) {
                Py_RETURN_NONE;
            } else {
                return raise_cell_range(state.matrix, cell.origin, cell.destination);
            }
        }
        return PyFloat_FromDouble(*value);
    });
}

PyObject* core_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_cell<false>(get_signature, self, args, nargs, kwnames);
}

PyObject* core_checked_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_cell<true>(checked_get_signature, self, args, nargs, kwnames);
}

constexpr Signature set_signature{"_MatrixCore.set()", std::array{"table", "origin", "destination", "value"}};

PyObject* core_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(set_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [table, origin, destination, value_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::exclusive);
        if (!hold) return nullptr;
        Cell cell;
        double value = 0.0;
        if (!u16_from_py(origin, "origin", cell.origin) || !u16_from_py(destination, "destination", cell.destination) ||
            !double_from_py(value_arg, "value", value) || !select_table(table, state.matrix, cell.table)) {
            return nullptr;
        }
        if (!state.matrix.set(cell.table, cell.origin, cell.destination, value)) {
            return raise_cell_range(state.matrix, cell.origin, cell.destination);
        }
        Py_RETURN_NONE;
    });
}

constexpr Signature row_signature{"_MatrixCore.row()", std::array{"table", "origin"}};

PyObject* core_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(row_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [table_arg, origin_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        std::uint16_t origin = 0;
        std::uint8_t table = 0;
        if (!u16_from_py(origin_arg, "origin", origin) || !select_table(table_arg, state.matrix, table)) return nullptr;
        if (!zone_in_range(origin, state.matrix)) {
            PyErr_Format(PyExc_ValueError, "%s must be within 1..=%d (got %d)", "origin",
                         static_cast<int>(state.matrix.zone_count()), static_cast<int>(origin));
            return nullptr;
        }
        const std::span<const double> values = state.matrix.row(table, origin);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) return nullptr;
        for (std::size_t d = 0; d < values.size(); ++d) {
            PyObject* item = PyFloat_FromDouble(values[d]);
            if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(d), item) < 0) return nullptr;
        }
        return list.release();
    });
}

constexpr std::array table_params{"table"};
using TableSignature = Signature<table_params.size()>;
constexpr Signature table_total_signature{"_MatrixCore.table_total()", table_params};
constexpr Signature table_diagonal_total_signature{"_MatrixCore.table_diagonal_total()", table_params};

template <bool Diagonal>
PyObject* total(const TableSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [table_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        std::uint8_t table = 0;
        if (!select_table(table_arg, state.matrix, table)) return nullptr;
        return PyFloat_FromDouble(Diagonal ? state.matrix.table_diagonal_total(table)
                                           : state.matrix.table_total(table));
    });
}

PyObject* core_table_total(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return total<false>(table_total_signature, self, args, nargs, kwnames);
}

PyObject* core_table_diagonal_total(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return total<true>(table_diagonal_total_signature, self, args, nargs, kwnames);
}

PyObject* core_repr(PyObject* self) noexcept {
    return read_property(self, [](const Matrix& m) {
        return PyUnicode_FromFormat("_MatrixCore(zone_count=%d, table_count=%d)", static_cast<int>(m.zone_count()),
                                    static_cast<int>(m.table_count()));
    });
}

// ---- type -----------------------------------------------------------------------

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;
constexpr int fast_static = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef core_methods[] = {
    {"open", as_cfunction(matrix_core_open), fast_static, "open(path, /)\n--\n\n"},
    {"from_bytes", as_cfunction(matrix_core_from_bytes), fast_static, "from_bytes(bytes, /)\n--\n\n"},
    {"open_tables", as_cfunction(matrix_core_open_tables), fast_static,
     "open_tables(path, table_names, /)\n--\n\n"},
    {"from_bytes_tables", as_cfunction(matrix_core_from_bytes_tables), fast_static,
     "from_bytes_tables(bytes, table_names, /)\n--\n\n"},
    {"tables", as_cfunction(core_tables), fast, "tables($self, /)\n--\n\n"},
    {"table_index_by_name", as_cfunction(core_table_index_by_name), fast,
     "table_index_by_name($self, name, /)\n--\n\n"},
    {"get", as_cfunction(core_get), fast, "get($self, table, origin, destination, /)\n--\n\n"},
    {"checked_get", as_cfunction(core_checked_get), fast,
     "checked_get($self, table, origin, destination, /)\n--\n\n"},
    {"set", as_cfunction(core_set), fast, "set($self, table, origin, destination, value, /)\n--\n\n"},
    {"row", as_cfunction(core_row), fast, "row($self, table, origin, /)\n--\n\n"},
    {"table_total", as_cfunction(core_table_total), fast, "table_total($self, table, /)\n--\n\n"},
    {"table_diagonal_total", as_cfunction(core_table_diagonal_total), fast,
     "table_diagonal_total($self, table, /)\n--\n\n"},
    {"table_array", as_cfunction(matrix_core_table_array), fast, "table_array($self, table, /)\n--\n\n"},
    {"stack_array", as_cfunction(matrix_core_stack_array), fast, "stack_array($self, /)\n--\n\n"},
    {"set_table_array", as_cfunction(matrix_core_set_table_array), fast,
     "set_table_array($self, table, values, /)\n--\n\n"},
    {"set_stack_array", as_cfunction(matrix_core_set_stack_array), fast,
     "set_stack_array($self, values, /)\n--\n\n"},
    {"create", as_cfunction(matrix_core_create), fast_static,
     "create(zone_count, tables, banner=None, run_id=None)\n--\n\n"},
    {"validate_schema", as_cfunction(matrix_core_validate_schema), fast_static,
     "validate_schema(zone_count, tables, banner=None, run_id=None)\n--\n\n"},
    {"write_from_stack", as_cfunction(matrix_core_write_from_stack), fast_static,
     "write_from_stack(path, zone_count, tables, stack, banner=None, run_id=None)\n--\n\n"},
    {"to_bytes_from_stack", as_cfunction(matrix_core_to_bytes_from_stack), fast_static,
     "to_bytes_from_stack(zone_count, tables, stack, banner=None, run_id=None)\n--\n\n"},
    {"write", as_cfunction(matrix_core_write), fast, "write($self, path, /)\n--\n\n"},
    {"to_bytes", as_cfunction(matrix_core_to_bytes), fast, "to_bytes($self, /)\n--\n\n"},
    {"__bytes__", as_cfunction(matrix_core_bytes), fast, "__bytes__($self)\n--\n\n"},
    {},
};

PyGetSetDef core_getset[] = {
    {"zone_count", get_zone_count, nullptr, nullptr, nullptr},
    {"table_count", get_table_count, nullptr, nullptr, nullptr},
    {"banner", get_banner, nullptr, nullptr, nullptr},
    {"run_id", get_run_id, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot core_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_boxed<MatrixCoreState>)},
    {Py_tp_repr, as_slot(core_repr)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {},
};

PyType_Spec core_spec = {"orvanel._orvanel._MatrixCore", static_cast<int>(sizeof(Boxed<MatrixCoreState>)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, core_slots};

PyObject* core_slot = nullptr;

}  // namespace

PyTypeObject* matrix_core_type() noexcept {
    if (core_slot == nullptr) publish_once(core_slot, PyType_FromSpec(&core_spec));
    return reinterpret_cast<PyTypeObject*>(core_slot);
}

PyObject* make_matrix_core(Matrix&& matrix) noexcept {
    PyTypeObject* type = matrix_core_type();
    if (type == nullptr) return nullptr;
    return new_boxed<MatrixCoreState>(type, std::move(matrix));
}

MatrixCoreState& matrix_core_state(PyObject* self) noexcept { return unbox<MatrixCoreState>(self); }

}  // namespace orvanel::py
