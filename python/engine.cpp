// The module orvanel._engine: matrix files loaded straight into a new NumPy array and
// written straight from NumPy arrays, the records decoded or encoded on several
// threads. It raises the classes of orvanel._orvanel, and its results and errors are
// those of that module's loading and stack-writing methods.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/memory.hpp"
#include "core/parallel_reader.hpp"
#include "core/parallel_writer.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/input_arrays.hpp"
#include "python/numpy_api.hpp"
#include "python/object.hpp"
#include "python/pyapi.hpp"
#include "python/ref.hpp"
#include "python/text.hpp"
#include "python/value_classes.hpp"

namespace orvanel::py {

namespace {

// How work is shared out, apart from the number of threads a call asks for. Only tests
// change it (through _tuning), to run small inputs on several threads.
std::atomic<std::size_t> min_parallel_cells{ParallelSettings{}.min_parallel_cells};
std::atomic<std::size_t> batch_cells{ParallelSettings{}.batch_cells};

ParallelSettings settings_for(unsigned threads) noexcept {
    ParallelSettings settings;
    settings.threads = threads;
    settings.min_parallel_cells = min_parallel_cells.load(std::memory_order_relaxed);
    settings.batch_cells = batch_cells.load(std::memory_order_relaxed);
    return settings;
}

// ---- arguments ------------------------------------------------------------------

// `threads`: absent means 1; an integer of at least 1, capped at max_parallel_threads.
bool threads_from_py(PyObject* object, unsigned& out) noexcept {
    out = 1;
    if (object == nullptr) return true;
    if (PyBool_Check(object)) {
        raise_not_instance("threads", object, "int");
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        rename_type_error("threads");
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1 (got %S)", index.get());
        return false;
    }
    out = overflow > 0 || value > max_parallel_threads ? max_parallel_threads : static_cast<unsigned>(value);
    return true;
}

// A buffer export held for as long as its bytes are read.
class BufferHold {
public:
    BufferHold() = default;
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    ~BufferHold() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A C-contiguous buffer of `object`, read as bytes.
    bool acquire(PyObject* object) noexcept {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        return true;
    }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The source of a load: a str or os.PathLike is a path, anything with a buffer is the
// file's content.
bool source_from_py(PyObject* source, std::string& path, BufferHold& buffer, bool& is_path) {
    is_path = PyUnicode_Check(source) || !PyObject_CheckBuffer(source);
    if (!is_path) {
        if (buffer.acquire(source)) return true;
        // A buffer in pieces: NumPy and memoryview say so in words of their own.
        if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_BufferError, "argument 'source': a bytes-like object must be C-contiguous");
        }
        return false;
    }
    if (path_from_py(source, "source", path)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyUnicode_Check(source) &&
        PyObject_HasAttrString(source, "__fspath__") == 0) {
        PyErr_Clear();
        Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(source)));
        if (!type_name) return false;
        PyErr_Format(PyExc_TypeError,
                     "argument 'source': expected a path (str or os.PathLike) or a bytes-like object, not %U",
                     type_name.get());
    }
    return false;
}

// A new str and the type code's text as a (name, type_code) tuple.
PyObject* table_pair(const TableInfo& table) {
    Ref name = Ref::steal(str_from_utf8(table.name));
    if (!name) return nullptr;
    Ref code = Ref::steal(str_from_utf8(table.type_code.to_text()));
    if (!code) return nullptr;
    return PyTuple_Pack(2, name.get(), code.get());
}

PyObject* table_pairs(const MatrixHeader& header) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(header.tables.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < header.tables.size(); ++i) {
        PyObject* pair = table_pair(header.tables[i]);
        if (pair == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair) < 0) return nullptr;
    }
    return list.release();
}

// A new zero-filled C-ordered float64 array of shape (T, Z, Z). Memory that cannot be
// had is a plain MemoryError, as for every other allocation of the module.
PyObject* zero_stack(const NumpyApi& np, std::size_t tables, std::size_t zones) noexcept {
    const std::array<NpyIntp, 3> dims{static_cast<NpyIntp>(tables), static_cast<NpyIntp>(zones),
                                      static_cast<NpyIntp>(zones)};
    PyObject* descr = np.descr_from_type(npy_double);
    if (descr == nullptr) return nullptr;
    PyObject* array = np.zeros(3, dims.data(), descr, 0);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return PyErr_NoMemory();
    }
    return array;
}

double* stack_data(PyObject* array) noexcept {
    return reinterpret_cast<double*>(reinterpret_cast<const NpyArrayFields*>(array)->data);
}

// ---- load -----------------------------------------------------------------------

constexpr Signature load_signature{"load()", std::array{"source"}, std::array{"tables", "threads"}};

PyObject* engine_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(load_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [source_arg, tables_arg, threads_arg] = *bound;
        unsigned threads = 1;
        if (!threads_from_py(threads_arg, threads)) return nullptr;
        std::optional<std::vector<std::string>> names;
        if (tables_arg != nullptr && tables_arg != Py_None &&
            !table_names_from_py(tables_arg, "tables", names.emplace())) {
            return nullptr;
        }
        std::string path;
        BufferHold buffer;
        bool is_path = false;
        if (!source_from_py(source_arg, path, buffer, is_path)) return nullptr;
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return nullptr;

        // The header, the choice of tables and the check that the input can hold the
        // rows: before the value block is made.
        std::optional<Result<MatrixLoad>> opened = run_unlocked([&]() -> Result<MatrixLoad> {
            Result<MatrixLoad> load = is_path ? MatrixLoad::open(path) : MatrixLoad::from_bytes(buffer.bytes());
            if (!load) return load;
            if (Status chosen = load.value().select(names ? &*names : nullptr); !chosen) return chosen.take_error();
            return load;
        });
        if (!opened) return nullptr;
        if (!*opened) return raise_matrix_error(opened->take_error());
        MatrixLoad& load = opened->value();
        if (Result<std::size_t> count = load.value_count(); !count) return raise_matrix_error(count.take_error());
        const MatrixHeader& header = load.header();

        Ref values = Ref::steal(zero_stack(*np, header.tables.size(), header.zone_count));
        if (!values) return nullptr;
        // Nobody else has the array yet: it is filled without the lock.
        double* block = stack_data(values.get());
        const ParallelSettings settings = settings_for(threads);
        std::optional<Status> loaded = run_unlocked([&] { return load.run(block, settings); });
        if (!loaded) return nullptr;
        if (!*loaded) return raise_matrix_error(loaded->take_error());

        Ref zones = Ref::steal(PyLong_FromLong(header.zone_count));
        Ref banner = Ref::steal(str_from_utf8(header.banner));
        Ref run_id = Ref::steal(str_from_utf8(header.run_id));
        Ref tables = Ref::steal(table_pairs(header));
        if (!zones || !banner || !run_id || !tables) return nullptr;
        return PyTuple_Pack(5, values.get(), zones.get(), banner.get(), run_id.get(), tables.get());
    });
}

// ---- write ----------------------------------------------------------------------

// The values of a write: one (T, Z, Z) array, or a sequence of T (Z, Z) arrays.
class InputValues {
public:
    bool accept(PyObject* object) {
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return false;
        if (PyObject_TypeCheck(object, np->array_type)) {
            stack_.emplace();
            return stack_->accept(object, "values", 3);
        }
        if (!PyList_Check(object) && !PyTuple_Check(object)) {
            raise_not_instance("values", object, "ndarray");
            return false;
        }
        Ref items = Ref::steal(PySequence_Tuple(object));
        if (!items) return false;
        const Py_ssize_t count = PyTuple_Size(items.get());
        tables_.resize(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!tables_[static_cast<std::size_t>(i)].accept(PyTuple_GetItem(items.get(), i), "values", 2)) {
                return false;
            }
        }
        return true;
    }

    // The tables as the core reads them, checked against the shape the schema calls
    // for. Reads the arrays as they are now: no Python code may run from here to the
    // end of the write.
    bool layout(std::size_t tables, std::size_t zones, std::vector<StridedTable>& out) {
        out.clear();
        if (stack_) {
            ArrayView view;
            if (!stack_->view(view) || !check_stack_shape(view, tables, zones)) return false;
            for (std::size_t t = 0; t < tables; ++t) {
                out.push_back({view.data + static_cast<NpyIntp>(t) * view.strides[0], view.strides[1], view.strides[2]});
            }
            return true;
        }
        if (tables_.size() != tables) {
            PyErr_Format(PyExc_ValueError, "values must hold %zu tables (got %zu)", tables, tables_.size());
            return false;
        }
        for (const InputArray& table : tables_) {
            ArrayView view;
            if (!table.view(view)) return false;
            if (!extent_is(view.shape[0], zones) || !extent_is(view.shape[1], zones)) {
                PyErr_Format(PyExc_ValueError, "table array must have shape (%zu, %zu) (got %s)", zones, zones,
                             shape_text(view).c_str());
                return false;
            }
            out.push_back({view.data, view.strides[0], view.strides[1]});
        }
        return true;
    }

private:
    std::optional<InputArray> stack_;
    std::vector<InputArray> tables_;
};

// A banner or run identifier: absent or None selects the default.
bool label_from_py(PyObject* object, const char* param, std::optional<std::string>& out) {
    if (object == nullptr || object == Py_None) return true;
    return text_from_py(object, param, out.emplace());
}

// Raises `error`; one whose row was too large for a record gets a note naming the table
// and the origin zone of that row.
PyObject* raise_write_error(MatrixError&& error, const WriteReport& report, const MatrixHeader& header) {
    const bool too_large = error.kind() == ErrorKind::payload_too_large && report.failed_record != FirstFailure::none;
    Ref exc = Ref::steal(to_py_err(std::move(error)));
    if (!exc) return nullptr;
    if (too_large) {
        const std::size_t count = header.tables.size();
        const auto table = static_cast<std::size_t>(report.failed_record % count);
        const auto origin = static_cast<long>(report.failed_record / count + 1);
        Ref name = Ref::steal(str_from_utf8(header.tables[table].name));
        if (!name) return nullptr;
        Ref note = Ref::steal(PyUnicode_FromFormat("in table %R (number %d), origin zone %ld", name.get(),
                                                   static_cast<int>(table + 1), origin));
        if (!note) return nullptr;
        Ref added = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!added) return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

constexpr Signature write_signature{"write()", std::array{"target", "zones", "tables", "values"},
                                    std::array{"banner", "run_id", "threads"}};

PyObject* engine_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(write_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [target_arg, zones_arg, tables_arg, values_arg, banner_arg, run_id_arg, threads_arg] = *bound;
        // Converted in the order of the low-level stack methods: target, zone count,
        // values, banner, run identifier, tables; then the number of threads.
        std::optional<std::string> path;
        if (target_arg != Py_None && !path_from_py(target_arg, "target", path.emplace())) return nullptr;
        Schema schema;
        std::uint16_t zones = 0;
        if (!u16_from_py(zones_arg, "zones", zones)) return nullptr;
        schema.zone_count = zones;
        InputValues values;
        if (!values.accept(values_arg) || !label_from_py(banner_arg, "banner", schema.banner) ||
            !label_from_py(run_id_arg, "run_id", schema.run_id) || !table_defs_from_py(tables_arg, schema.tables)) {
            return nullptr;
        }
        unsigned threads = 1;
        if (!threads_from_py(threads_arg, threads)) return nullptr;
        std::vector<StridedTable> layout;
        if (!values.layout(schema.tables.size(), schema.zone_count, layout)) return nullptr;
        Result<MatrixHeader> header = MatrixHeader::from_schema(std::move(schema));
        if (!header) return raise_matrix_error(header.take_error());

        // The arrays are held (values keeps them) and read without the lock.
        const ParallelSettings settings = settings_for(threads);
        WriteReport report;
        if (path) {
            std::optional<Status> written = run_unlocked(
                [&] { return write_values_to_file(*path, header.value(), layout, settings, report); });
            if (!written) return nullptr;
            if (!*written) return raise_write_error(written->take_error(), report, header.value());
            Py_RETURN_NONE;
        }
        std::optional<Result<WrittenPieces>> written =
            run_unlocked([&] { return write_values_to_memory(header.value(), layout, settings, report); });
        if (!written) return nullptr;
        if (!*written) return raise_write_error(written->take_error(), report, header.value());
        WrittenPieces& pieces = written->value();
        // The one copy of the file: into the new bytes object, which nobody else has yet,
        // without the lock and on the threads of the write.
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pieces.size)));
        if (!bytes) return nullptr;
        auto* target = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        if (target == nullptr) return nullptr;
        prefer_huge_pages(target, pieces.size);
        if (!run_unlocked([&] {
                pieces.move_into(target, settings.threads_for(pieces.size / sizeof(double)));
                return true;
            })) {
            return nullptr;
        }
        return bytes.release();
    });
}

// ---- tuning ---------------------------------------------------------------------

constexpr Signature tuning_signature{"_tuning()", std::array<const char*, 0>{},
                                     std::array{"min_parallel_cells", "batch_cells"}};

bool size_from_py(PyObject* object, const char* param, std::atomic<std::size_t>& slot) {
    if (object == nullptr || object == Py_None) return true;
    const std::size_t value = PyLong_AsSize_t(object);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        rename_type_error(param);
        return false;
    }
    slot.store(std::max<std::size_t>(value, 1), std::memory_order_relaxed);
    return true;
}

// Sets how work is shared out (either value may be left as it is) and returns the
// values before: (min_parallel_cells, batch_cells).
PyObject* engine_tuning(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(tuning_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [min_cells_arg, batch_arg] = *bound;
        const std::size_t old_min = min_parallel_cells.load(std::memory_order_relaxed);
        const std::size_t old_batch = batch_cells.load(std::memory_order_relaxed);
        if (!size_from_py(min_cells_arg, "min_parallel_cells", min_parallel_cells) ||
            !size_from_py(batch_arg, "batch_cells", batch_cells)) {
            return nullptr;
        }
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(old_min), static_cast<Py_ssize_t>(old_batch));
    });
}

// ---- module ---------------------------------------------------------------------

constexpr char module_doc[] =
    "Matrix files loaded into and written from NumPy arrays on several threads.\n\n"
    "Import the public `orvanel` package for normal use.";

PyMethodDef engine_methods[] = {
    {"load", as_cfunction(engine_load), METH_FASTCALL | METH_KEYWORDS,
     "load(source, tables=None, threads=1)\n--\n\n"
     "Load a matrix file (a path, or its content as any bytes-like object) into a new\n"
     "(T, Z, Z) float64 array; returns (values, zones, banner, run_id, tables)."},
    {"write", as_cfunction(engine_write), METH_FASTCALL | METH_KEYWORDS,
     "write(target, zones, tables, values, banner=None, run_id=None, threads=1)\n--\n\n"
     "Write a matrix file at the path `target` (in place), or return its bytes when\n"
     "`target` is None; `values` is a (T, Z, Z) float64 array or a sequence of T (Z, Z) ones."},
    {"_tuning", as_cfunction(engine_tuning), METH_FASTCALL | METH_KEYWORDS,
     "_tuning(min_parallel_cells=None, batch_cells=None)\n--\n\n"
     "Set how work is shared out between threads; returns the previous values."},
    {},
};

int exec_module(PyObject* module) noexcept {
    // The low-level module's exception classes and TableDef, so that both modules raise
    // and take the same ones.
    Ref core = Ref::steal(PyImport_ImportModule("orvanel._orvanel"));
    if (!core || !adopt_exception_classes(core.get())) return -1;
    Ref table_def = Ref::steal(PyObject_GetAttrString(core.get(), "TableDef"));
    if (!table_def) return -1;
    if (!PyType_Check(table_def.get())) {
        raise_not_instance(nullptr, table_def.get(), "type");
        return -1;
    }
    adopt_table_def_type(table_def.get());
    Ref doc = Ref::steal(PyUnicode_FromString(module_doc));
    if (!doc || PyObject_SetAttrString(module, "__doc__", doc.get()) < 0) return -1;
    Ref all = Ref::steal(Py_BuildValue("[ss]", "load", "write"));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",       // m_name
    "",              // m_doc: the execution step installs the docstring
    0,               // m_size: no per-module state
    engine_methods,  // m_methods
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace

}  // namespace orvanel::py

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&orvanel::py::module_def); }
