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
#include "core/posix_file.hpp"
#include "core/row_index.hpp"
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
// The largest bytes object a write to memory reserves to encode into in place; a larger
// file goes through blocks, and is copied into its bytes object once it is written.
std::atomic<std::size_t> region_limit{static_cast<std::size_t>(PY_SSIZE_T_MAX)};

ParallelSettings settings_for(unsigned threads) noexcept {
    ParallelSettings settings;
    settings.threads = threads;
    settings.min_parallel_cells = min_parallel_cells.load(std::memory_order_relaxed);
    settings.batch_cells = batch_cells.load(std::memory_order_relaxed);
    return settings;
}

// ---- arguments ------------------------------------------------------------------

// `start_writeback`: any object, taken by its truth; absent is false.
bool writeback_from_py(PyObject* object, Writeback& out) noexcept {
    out = Writeback::when_the_kernel_chooses;
    if (object == nullptr) return true;
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    if (truth) out = Writeback::while_writing;
    return true;
}

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

// Writes the file straight into a new bytes object with room for the largest file of the
// header, then gives the object the file's length: the file's pages are touched once and
// never copied. The room past the end is address space that was never touched (pages
// are only taken as they are written), and the object's memory is freed whole, as any.
// Returns null without an exception where the room cannot be had (larger than
// region_limit, or refused by the system): the caller writes through blocks instead.
PyObject* write_bytes_in_place(const MatrixHeader& header, std::span<const StridedTable> layout,
                               const ParallelSettings& settings, WriteReport& report) {
    const std::optional<std::size_t> room = max_file_size(header);
    if (!room || *room > region_limit.load(std::memory_order_relaxed)) return nullptr;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*room)));
    if (!bytes) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_OverflowError)) PyErr_Clear();
        return nullptr;
    }
    auto* target = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
    if (target == nullptr) return nullptr;
    prefer_huge_pages(target, *room);
    std::optional<Result<std::size_t>> written = run_unlocked(
        [&] { return write_values_to_region(header, layout, settings, report, std::span(target, *room)); });
    if (!written) return nullptr;
    if (!*written) {
        raise_write_error(written->take_error(), report, header);
        return nullptr;
    }
    // Nobody else holds the object yet: it ends where the file ends, with the NUL every
    // bytes object has after its last byte.
    const std::size_t size = written->value();
    target[size] = 0;
    Py_SET_SIZE(reinterpret_cast<PyVarObject*>(bytes.get()), static_cast<Py_ssize_t>(size));
    return bytes.release();
}

constexpr Signature write_signature{"write()", std::array{"target", "zones", "tables", "values"},
                                    std::array{"banner", "run_id", "threads", "start_writeback"}};

PyObject* engine_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(write_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [target_arg, zones_arg, tables_arg, values_arg, banner_arg, run_id_arg, threads_arg, writeback_arg] =
            *bound;
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
        Writeback writeback = Writeback::when_the_kernel_chooses;
        if (!writeback_from_py(writeback_arg, writeback)) return nullptr;
        std::vector<StridedTable> layout;
        if (!values.layout(schema.tables.size(), schema.zone_count, layout)) return nullptr;
        Result<MatrixHeader> header = MatrixHeader::from_schema(std::move(schema));
        if (!header) return raise_matrix_error(header.take_error());

        // The arrays are held (values keeps them) and read without the lock.
        const ParallelSettings settings = settings_for(threads);
        WriteReport report;
        if (path) {
            std::optional<Status> written = run_unlocked(
                [&] { return write_values_to_file(*path, header.value(), layout, settings, report, writeback); });
            if (!written) return nullptr;
            if (!*written) return raise_write_error(written->take_error(), report, header.value());
            Py_RETURN_NONE;
        }
        if (PyObject* in_place = write_bytes_in_place(header.value(), layout, settings, report)) return in_place;
        if (PyErr_Occurred()) return nullptr;
        std::optional<Result<WrittenPieces>> written =
            run_unlocked([&] { return write_values_to_memory(header.value(), layout, settings, report); });
        if (!written) return nullptr;
        if (!*written) return raise_write_error(written->take_error(), report, header.value());
        WrittenPieces& pieces = written->value();
        // The one copy of the file: into the new bytes object, which nobody else has yet,
        // without the lock and on the threads of the write.
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pieces.size())));
        if (!bytes) return nullptr;
        auto* target = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        if (target == nullptr) return nullptr;
        prefer_huge_pages(target, pieces.size());
        if (!run_unlocked([&] {
                pieces.move_into(target, settings.threads_for(pieces.size() / sizeof(double)));
                return true;
            })) {
            return nullptr;
        }
        return bytes.release();
    });
}

// ---- loads by origins -------------------------------------------------------------

// An open input read a block of origins at a time, and at any origins once indexed. It
// lives in a capsule; the public layer calls these functions one at a time for the
// sequential part (its own lock) and builds the index once before any read by origins,
// which may then run on several Python threads at once: they only read the input (at
// offsets, never moving its reading position) and the index.
struct RowSource {
    BufferHold buffer;  // declared first: released after the load that reads it
    std::optional<MatrixLoad> load;
    std::optional<RecordIndex> index;
};

constexpr const char* row_source_name = "orvanel._engine.RowSource";
constexpr const char* row_sink_name = "orvanel._engine.RowSink";

void free_row_source(PyObject* capsule) noexcept {
    delete static_cast<RowSource*>(PyCapsule_GetPointer(capsule, row_source_name));
}

RowSource* row_source_of(PyObject* capsule) noexcept {
    return static_cast<RowSource*>(PyCapsule_GetPointer(capsule, row_source_name));
}

// An origin count or position: a non-negative int that fits 32 bits.
bool u32_from_py(PyObject* object, const char* param, std::uint32_t& out) noexcept {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        rename_type_error(param);
        return false;
    }
    if (value > 0xFFFF'FFFFull) {
        PyErr_Format(PyExc_ValueError, "%s is too large", param);
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

// A new zero-filled C-ordered float64 array of shape (tables, rows, zones).
PyObject* zero_block(const NumpyApi& np, std::size_t tables, std::size_t rows, std::size_t zones) noexcept {
    const std::array<NpyIntp, 3> dims{static_cast<NpyIntp>(tables), static_cast<NpyIntp>(rows),
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

constexpr Signature rows_open_signature{"rows_open()", std::array{"source"}, std::array{"tables"}};

// Opens a load by origins: reads the header, chooses the tables and makes sure the input
// can hold the rows its header promises, exactly as load() does before its value block.
// Returns (handle, zones, banner, run_id, tables chosen, every table of the file).
PyObject* engine_rows_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(rows_open_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [source_arg, tables_arg] = *bound;
        std::optional<std::vector<std::string>> names;
        if (tables_arg != nullptr && tables_arg != Py_None &&
            !table_names_from_py(tables_arg, "tables", names.emplace())) {
            return nullptr;
        }
        auto state = std::make_unique<RowSource>();
        std::string path;
        bool is_path = false;
        if (!source_from_py(source_arg, path, state->buffer, is_path)) return nullptr;
        std::optional<Result<MatrixLoad>> opened = run_unlocked([&]() -> Result<MatrixLoad> {
            Result<MatrixLoad> load = is_path ? MatrixLoad::open(path) : MatrixLoad::from_bytes(state->buffer.bytes());
            if (!load) return load;
            if (Status chosen = load.value().select(names ? &*names : nullptr); !chosen) return chosen.take_error();
            return load;
        });
        if (!opened) return nullptr;
        if (!*opened) return raise_matrix_error(opened->take_error());
        state->load.emplace(std::move(opened->value()));
        const MatrixHeader& header = state->load->header();
        Ref zones = Ref::steal(PyLong_FromLong(header.zone_count));
        Ref banner = Ref::steal(str_from_utf8(header.banner));
        Ref run_id = Ref::steal(str_from_utf8(header.run_id));
        Ref tables = Ref::steal(table_pairs(header));
        Ref file_tables = Ref::steal(table_pairs(state->load->file_header()));
        if (!zones || !banner || !run_id || !tables || !file_tables) return nullptr;
        Ref capsule = Ref::steal(PyCapsule_New(state.get(), row_source_name, free_row_source));
        if (!capsule) return nullptr;
        (void)state.release();  // the capsule owns the state now
        return PyTuple_Pack(6, capsule.get(), zones.get(), banner.get(), run_id.get(), tables.get(),
                            file_tables.get());
    });
}

constexpr Signature rows_next_signature{"rows_next()", std::array{"handle", "origins"}, std::array{"threads"}};

// The chosen tables' rows of the next `origins` origins as a new (tables, origins, Z)
// array. The last block is followed by the check that nothing comes after it; an error
// is the load's, and ends it.
PyObject* engine_rows_next(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(rows_next_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [handle_arg, origins_arg, threads_arg] = *bound;
        RowSource* state = row_source_of(handle_arg);
        if (state == nullptr) return nullptr;
        std::uint32_t origins = 0;
        unsigned threads = 1;
        if (!u32_from_py(origins_arg, "origins", origins) || !threads_from_py(threads_arg, threads)) return nullptr;
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return nullptr;
        MatrixLoad& load = *state->load;
        const MatrixHeader& header = load.header();
        if (origins > header.zone_count - load.origins_read()) {
            PyErr_Format(PyExc_ValueError, "only %u origins are left to read (asked for %u)",
                         static_cast<unsigned>(header.zone_count - load.origins_read()), static_cast<unsigned>(origins));
            return nullptr;
        }
        Ref values = Ref::steal(zero_block(*np, header.tables.size(), origins, header.zone_count));
        if (!values) return nullptr;
        double* block = stack_data(values.get());
        const ParallelSettings settings = settings_for(threads);
        std::optional<Status> loaded = run_unlocked([&] { return load.run_origins(block, origins, false, settings); });
        if (!loaded) return nullptr;
        if (!*loaded) return raise_matrix_error(loaded->take_error());
        return values.release();
    });
}

// Table number in the file -> position in the result, for the load's chosen tables.
TablePositions chosen_positions(const MatrixLoad& load) {
    TablePositions positions{};
    for (const TableInfo& chosen : load.header().tables) {
        for (const TableInfo& table : load.file_header().tables) {
            if (table.name == chosen.name && positions[table.index] == 0) {
                positions[table.index] = chosen.index;
                break;
            }
        }
    }
    return positions;
}

constexpr Signature rows_index_signature{"rows_index()", std::array{"handle"}, std::array{"threads"}};

// Frames every row record once (payloads skipped) and keeps where each starts. A fault
// of the framing is the error a load of the chosen tables reports. Returns the bytes the
// index holds; a second call keeps the first index.
PyObject* engine_rows_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(rows_index_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [handle_arg, threads_arg] = *bound;
        RowSource* state = row_source_of(handle_arg);
        if (state == nullptr) return nullptr;
        unsigned threads = 1;
        if (!threads_from_py(threads_arg, threads)) return nullptr;
        if (!state->index) {
            const MatrixLoad& load = *state->load;
            const RandomAccessInput input = load.random_access();
            if (!input.available()) {
                PyErr_SetString(PyExc_ValueError,
                                "reading by origin needs a regular file or bytes in memory, not a pipe or device");
                return nullptr;
            }
            const TablePositions positions = chosen_positions(load);
            const ParallelSettings settings = settings_for(threads);
            std::optional<Result<RecordIndex>> built = run_unlocked([&] {
                return RecordIndex::build(input, load.file_header(), load.records_start(), positions, settings);
            });
            if (!built) return nullptr;
            if (!*built) return raise_matrix_error(built->take_error());
            state->index.emplace(std::move(built->value()));
        }
        return PyLong_FromSize_t(state->index->memory_bytes());
    });
}

constexpr Signature rows_read_signature{"rows_read()", std::array{"handle", "first", "count", "tables"},
                                        std::array{"threads"}};

// Origins first..first + count - 1 (1-based) of the file's tables numbered in `tables`
// (in the order given) as a new (len(tables), count, Z) array. Needs the index.
PyObject* engine_rows_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(rows_read_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [handle_arg, first_arg, count_arg, tables_arg, threads_arg] = *bound;
        RowSource* state = row_source_of(handle_arg);
        if (state == nullptr) return nullptr;
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        unsigned threads = 1;
        if (!u32_from_py(first_arg, "first", first) || !u32_from_py(count_arg, "count", count) ||
            !threads_from_py(threads_arg, threads)) {
            return nullptr;
        }
        if (!state->index) {
            PyErr_SetString(PyExc_RuntimeError, "the input has not been indexed");
            return nullptr;
        }
        const MatrixHeader& file_header = state->load->file_header();
        const std::uint32_t zones = file_header.zone_count;
        if (first < 1 || first > zones || count > zones - first + 1) {
            PyErr_Format(PyExc_ValueError, "origins %u to %u are not all among zones 1 to %u",
                         static_cast<unsigned>(first), static_cast<unsigned>(first + count - 1),
                         static_cast<unsigned>(zones));
            return nullptr;
        }
        Ref numbers = Ref::steal(PySequence_Tuple(tables_arg));
        if (!numbers) return nullptr;
        TablePositions positions{};
        const Py_ssize_t wanted = PyTuple_Size(numbers.get());
        for (Py_ssize_t i = 0; i < wanted; ++i) {
            const long number = PyLong_AsLong(PyTuple_GetItem(numbers.get(), i));
            if (number == -1 && PyErr_Occurred()) return nullptr;
            if (number < 1 || number > file_header.table_count() || positions[number] != 0) {
                PyErr_Format(PyExc_ValueError, "table numbers must be distinct, 1 to %d (got %ld)",
                             static_cast<int>(file_header.table_count()), number);
                return nullptr;
            }
            positions[number] = static_cast<std::uint8_t>(i + 1);
        }
        const NumpyApi* np = numpy_api();
        if (np == nullptr) return nullptr;
        Ref values = Ref::steal(zero_block(*np, static_cast<std::size_t>(wanted), count, zones));
        if (!values) return nullptr;
        double* block = stack_data(values.get());
        const ParallelSettings settings = settings_for(threads);
        const RandomAccessInput input = state->load->random_access();
        std::optional<Status> read = run_unlocked([&] {
            if (count == 0 || wanted == 0) return Status{};
            return state->index->read(input, block, static_cast<std::size_t>(wanted), first, count, positions,
                                      settings);
        });
        if (!read) return nullptr;
        if (!*read) return raise_matrix_error(read->take_error());
        return values.release();
    });
}

// ---- writes by origins ------------------------------------------------------------

struct RowSink {
    std::optional<RowStreamWriter> writer;
};

void free_row_sink(PyObject* capsule) noexcept {
    delete static_cast<RowSink*>(PyCapsule_GetPointer(capsule, row_sink_name));
}

constexpr Signature writer_open_signature{"writer_open()", std::array{"target", "zones", "tables"},
                                          std::array{"banner", "run_id", "start_writeback"}};

// Checks the header, opens the file at `target` in place and writes the header.
PyObject* engine_writer_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(writer_open_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [target_arg, zones_arg, tables_arg, banner_arg, run_id_arg, writeback_arg] = *bound;
        std::string path;
        if (!path_from_py(target_arg, "target", path)) return nullptr;
        Schema schema;
        std::uint16_t zones = 0;
        if (!u16_from_py(zones_arg, "zones", zones)) return nullptr;
        schema.zone_count = zones;
        if (!label_from_py(banner_arg, "banner", schema.banner) || !label_from_py(run_id_arg, "run_id", schema.run_id) ||
            !table_defs_from_py(tables_arg, schema.tables)) {
            return nullptr;
        }
        Writeback writeback = Writeback::when_the_kernel_chooses;
        if (!writeback_from_py(writeback_arg, writeback)) return nullptr;
        Result<MatrixHeader> header = MatrixHeader::from_schema(std::move(schema));
        if (!header) return raise_matrix_error(header.take_error());
        std::optional<Result<RowStreamWriter>> opened =
            run_unlocked([&] { return RowStreamWriter::open(path, std::move(header.value()), writeback); });
        if (!opened) return nullptr;
        if (!*opened) return raise_matrix_error(opened->take_error());
        auto state = std::make_unique<RowSink>();
        state->writer.emplace(std::move(opened->value()));
        Ref capsule = Ref::steal(PyCapsule_New(state.get(), row_sink_name, free_row_sink));
        if (!capsule) return nullptr;
        (void)state.release();  // the capsule owns the writer now
        return capsule.release();
    });
}

constexpr Signature writer_write_signature{"writer_write()", std::array{"handle", "values"}, std::array{"threads"}};

// The next origins' rows: a (T, n, Z) float64 array, any strides.
PyObject* engine_writer_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(writer_write_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [handle_arg, values_arg, threads_arg] = *bound;
        auto* state = static_cast<RowSink*>(PyCapsule_GetPointer(handle_arg, row_sink_name));
        if (state == nullptr) return nullptr;
        InputArray values;
        if (!values.accept(values_arg, "values", 3)) return nullptr;
        unsigned threads = 1;
        if (!threads_from_py(threads_arg, threads)) return nullptr;
        RowStreamWriter& writer = *state->writer;
        const MatrixHeader& header = writer.header();
        ArrayView view;
        if (!values.view(view)) return nullptr;
        if (!extent_is(view.shape[0], header.tables.size())) {
            PyErr_Format(PyExc_ValueError, "values must hold %zu tables (got %s)", header.tables.size(),
                         shape_text(view).c_str());
            return nullptr;
        }
        std::vector<StridedTable> layout;
        for (std::size_t t = 0; t < header.tables.size(); ++t) {
            layout.push_back({view.data + static_cast<NpyIntp>(t) * view.strides[0], view.strides[1], view.strides[2]});
        }
        const auto origins = static_cast<std::uint32_t>(std::min<NpyIntp>(view.shape[1], 0xFFFF'FFFF));
        const auto row_length = static_cast<std::uint64_t>(view.shape[2]);
        const ParallelSettings settings = settings_for(threads);
        WriteReport report;
        std::optional<Status> written =
            run_unlocked([&] { return writer.write_origins(layout, origins, row_length, settings, report); });
        if (!written) return nullptr;
        if (!*written) return raise_write_error(written->take_error(), report, header);
        Py_RETURN_NONE;
    });
}

constexpr Signature writer_finish_signature{"writer_finish()", std::array{"handle"}, std::array<const char*, 0>{}};

// Checks that every row was written, then writes the rest and closes the file.
PyObject* engine_writer_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(writer_finish_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [handle_arg] = *bound;
        auto* state = static_cast<RowSink*>(PyCapsule_GetPointer(handle_arg, row_sink_name));
        if (state == nullptr) return nullptr;
        std::optional<Status> finished = run_unlocked([&] { return state->writer->finish(); });
        if (!finished) return nullptr;
        if (!*finished) return raise_matrix_error(finished->take_error());
        Py_RETURN_NONE;
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

constexpr Signature region_limit_signature{"_region_limit()", std::array<const char*, 0>{}, std::array{"limit"}};

// Sets the largest bytes object a write to memory encodes into in place (for tests: 0,
// taken as 1, sends every write through blocks); returns the limit before.
PyObject* engine_region_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(region_limit_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [limit_arg] = *bound;
        const std::size_t old = region_limit.load(std::memory_order_relaxed);
        if (!size_from_py(limit_arg, "limit", region_limit)) return nullptr;
        return PyLong_FromSize_t(old);
    });
}

// ---- replaced files -------------------------------------------------------------

constexpr Signature slow_to_free_signature{"_slow_to_free()", std::array{"fd"}, std::array<const char*, 0>{}};

// Whether the file open at `fd` is freed, when its last link goes, in the call that drops
// it, at a cost worth moving off the caller's thread.
PyObject* engine_slow_to_free(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(slow_to_free_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [fd_arg] = *bound;
        const int fd = PyObject_AsFileDescriptor(fd_arg);
        if (fd < 0) return nullptr;
        bool slow = false;
        Py_BEGIN_ALLOW_THREADS
        slow = is_regular_file_on_ext(fd);
        Py_END_ALLOW_THREADS
        return PyBool_FromLong(slow);
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
     "write(target, zones, tables, values, banner=None, run_id=None, threads=1, start_writeback=False)\n--\n\n"
     "Write a matrix file at the path `target` (in place), or return its bytes when\n"
     "`target` is None; `values` is a (T, Z, Z) float64 array or a sequence of T (Z, Z) ones."},
    {"rows_open", as_cfunction(engine_rows_open), METH_FASTCALL | METH_KEYWORDS,
     "rows_open(source, tables=None)\n--\n\n"
     "Open a load by origins; returns (handle, zones, banner, run_id, tables, file_tables)."},
    {"rows_next", as_cfunction(engine_rows_next), METH_FASTCALL | METH_KEYWORDS,
     "rows_next(handle, origins, threads=1)\n--\n\n"
     "The chosen tables' rows of the next origins as a new (tables, origins, Z) array."},
    {"rows_index", as_cfunction(engine_rows_index), METH_FASTCALL | METH_KEYWORDS,
     "rows_index(handle, threads=1)\n--\n\n"
     "Index where every row record starts; returns the bytes the index holds."},
    {"rows_read", as_cfunction(engine_rows_read), METH_FASTCALL | METH_KEYWORDS,
     "rows_read(handle, first, count, tables, threads=1)\n--\n\n"
     "Origins first..first+count-1 of the tables numbered in `tables` as a new array."},
    {"writer_open", as_cfunction(engine_writer_open), METH_FASTCALL | METH_KEYWORDS,
     "writer_open(target, zones, tables, banner=None, run_id=None, start_writeback=False)\n--\n\n"
     "Open a write by origins at the path `target` (in place); returns a handle."},
    {"writer_write", as_cfunction(engine_writer_write), METH_FASTCALL | METH_KEYWORDS,
     "writer_write(handle, values, threads=1)\n--\n\n"
     "Write the next origins' rows from a (T, n, Z) float64 array."},
    {"writer_finish", as_cfunction(engine_writer_finish), METH_FASTCALL | METH_KEYWORDS,
     "writer_finish(handle)\n--\n\n"
     "Check that every row was written, then close the file."},
    {"_slow_to_free", as_cfunction(engine_slow_to_free), METH_FASTCALL | METH_KEYWORDS,
     "_slow_to_free(fd)\n--\n\n"
     "Whether the regular file open at `fd` is freed slowly, in the call that drops its\n"
     "last link (the ext file systems)."},
    {"_region_limit", as_cfunction(engine_region_limit), METH_FASTCALL | METH_KEYWORDS,
     "_region_limit(limit=None)\n--\n\n"
     "Set the largest bytes object a write to memory encodes into in place; returns the\n"
     "limit before."},
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
