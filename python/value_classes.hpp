// The value classes TableDef, TableInfo and SchemaResult.
#pragma once

#include <span>
#include <vector>

#include "core/header.hpp"
#include "core/schema.hpp"
#include "python/pyapi.hpp"

namespace orvanel::py {

// The type objects, borrowed from process-wide slots and created on first use; null
// with an exception set when creation fails.
PyTypeObject* table_def_type() noexcept;
PyTypeObject* table_info_type() noexcept;
PyTypeObject* schema_result_type() noexcept;

// Makes `type` (TableDef of an extension module built from these sources) the class whose
// instances table_defs_from_py takes. Call before any TableDef is made here.
void adopt_table_def_type(PyObject* type) noexcept;

// The definition held by a TableDef object, or null when `object` is not one.
const TableDef* table_def_value(PyObject* object) noexcept;

// Any iterable of TableDef objects or (name, type_code) 2-tuples, in iteration order.
// `out` is replaced only on success. Errors are not attributed to a parameter.
bool table_defs_from_py(PyObject* tables, std::vector<TableDef>& out);

// A new TableInfo copying `info`.
PyObject* make_table_info(const TableInfo& info);
// A new list with one new TableInfo per entry, in order.
PyObject* table_info_list(std::span<const TableInfo> tables);

// A new SchemaResult owning `header` (zone count, banner, run identifier, tables).
PyObject* make_schema_result(MatrixHeader&& header) noexcept;

}  // namespace orvanel::py
