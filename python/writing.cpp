#include "python/writing.hpp"

#include <array>
#include <cstring>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/memory.hpp"
#include "core/writer.hpp"
#include "python/arrays.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/hold.hpp"
#include "python/matrix_core.hpp"
#include "python/value_classes.hpp"

namespace orvanel::py {

namespace {

// A new bytes object holding `data`; a large one is filled on huge pages.
PyObject* bytes_from_buffer(std::span<const std::uint8_t> data) noexcept {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size()));
    if (bytes == nullptr) return nullptr;
    char* target = PyBytes_AsString(bytes);
    prefer_huge_pages(target, data.size());
    if (!data.empty()) std::memcpy(target, data.data(), data.size());
    return bytes;
}

using Mode = HoldGuard::Mode;

// ---- schema arguments -----------------------------------------------------------

// A banner or run identifier: absent or None selects the default, a str is used as it
// is (an empty one too).
bool label_from_py(PyObject* object, const char* param, std::optional<std::string>& out) {
    if (object == nullptr || object == Py_None) return true;
    return text_from_py(object, param, out.emplace());
}

bool zone_count_from_py(PyObject* object, Schema& schema) noexcept {
    std::uint16_t zone_count = 0;
    if (!u16_from_py(object, "zone_count", zone_count)) return false;
    schema.zone_count = zone_count;
    return true;
}

bool labels_from_py(PyObject* banner, PyObject* run_id, Schema& schema) {
    return label_from_py(banner, "banner", schema.banner) && label_from_py(run_id, "run_id", schema.run_id);
}

// An all-zero matrix for the schema: zone count range, table rules, then the one
// zero-filled allocation (std::bad_alloc when memory is short).
Result<Matrix> matrix_from_schema(Schema&& schema) {
    Result<MatrixHeader> header = MatrixHeader::from_schema(std::move(schema));
    if (!header) return header.take_error();
    return Matrix::create(std::move(header).value());
}

// The arguments of the stack methods after `path`.
struct StackArguments {
    PyObject* zone_count;
    PyObject* tables;
    PyObject* stack;
    PyObject* banner;
    PyObject* run_id;
};

// The temporary matrix of the stack methods. Converts zone_count, stack, banner,
// run_id, then tables; checks the stack's shape before the zone count range and the
// table rules; then copies the stack into a new matrix. False with an exception set on
// failure.
bool matrix_from_stack(const StackArguments& given, std::optional<Matrix>& out) {
    Schema schema;
    InputArray stack;
    if (!zone_count_from_py(given.zone_count, schema) || !stack.accept(given.stack, "stack", 3) ||
        !labels_from_py(given.banner, given.run_id, schema) || !table_defs_from_py(given.tables, schema.tables)) {
        return false;
    }
    // No Python code runs from here to the end of the copy.
    ArrayView view;
    if (!stack.view(view) || !check_stack_shape(view, schema.tables.size(), schema.zone_count)) return false;
    Result<Matrix> matrix = matrix_from_schema(std::move(schema));
    if (!matrix) {
        raise_matrix_error(matrix.take_error());
        return false;
    }
    copy_stack(view, matrix.value().values_mut());
    out.emplace(std::move(matrix).value());
    return true;
}

// ---- results of writing ---------------------------------------------------------

PyObject* none_or_raise(std::optional<Status>&& written) noexcept {
    if (!written) return nullptr;
    if (!*written) return raise_matrix_error(written->take_error());
    Py_RETURN_NONE;
}

// The written file as one new bytes object. The file is held twice at the peak, as
// the buffer and as the bytes; the buffer is freed before the bytes are handed on.
PyObject* bytes_or_raise(std::optional<Result<GrowableBuffer>>&& written) noexcept {
    if (!written) return nullptr;
    if (!*written) return raise_matrix_error(written->take_error());
    const GrowableBuffer buffer = std::move(*written).value();
    written.reset();
    return bytes_from_buffer(buffer.bytes());
}

// ---- signatures -----------------------------------------------------------------

constexpr std::array schema_params{"zone_count", "tables"};
constexpr std::array label_params{"banner", "run_id"};
using SchemaSignature = Signature<schema_params.size(), label_params.size()>;

constexpr SchemaSignature create_signature{"_MatrixCore.create()", schema_params, label_params};
constexpr SchemaSignature validate_schema_signature{"_MatrixCore.validate_schema()", schema_params, label_params};
constexpr Signature write_from_stack_signature{"_MatrixCore.write_from_stack()",
                                               std::array{"path", "zone_count", "tables", "stack"}, label_params};
constexpr Signature to_bytes_from_stack_signature{"_MatrixCore.to_bytes_from_stack()",
                                                  std::array{"zone_count", "tables", "stack"}, label_params};
constexpr Signature write_signature{"_MatrixCore.write()", std::array{"path"}};
constexpr Signature to_bytes_signature{"_MatrixCore.to_bytes()"};
constexpr Signature bytes_signature{"_MatrixCore.__bytes__()"};

// Binds (zone_count, tables, banner, run_id) and converts zone_count, banner, run_id,
// then tables.
bool schema_from_args(const SchemaSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Schema& schema) {
    const auto bound = bind_fast(signature, args, nargs, kwnames);
    if (!bound) return false;
    const auto [zone_count, tables, banner, run_id] = *bound;
    return zone_count_from_py(zone_count, schema) && labels_from_py(banner, run_id, schema) &&
           table_defs_from_py(tables, schema.tables);
}

PyObject* to_bytes_impl(const Signature<>& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        if (!bind_fast(signature, args, nargs, kwnames)) return nullptr;
        MatrixCoreState& state = matrix_core_state(self);
        // Held shared until the lock is back, so no exclusive hold can be taken meanwhile.
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        return bytes_or_raise(run_unlocked([&] { return write_matrix_bytes(state.matrix); }));
    });
}

}  // namespace

PyObject* matrix_core_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Schema schema;
        if (!schema_from_args(create_signature, args, nargs, kwnames, schema)) return nullptr;
        Result<Matrix> matrix = matrix_from_schema(std::move(schema));
        if (!matrix) return raise_matrix_error(matrix.take_error());
        return make_matrix_core(std::move(matrix).value());
    });
}

PyObject* matrix_core_validate_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Schema schema;
        if (!schema_from_args(validate_schema_signature, args, nargs, kwnames, schema)) return nullptr;
        Result<MatrixHeader> header = MatrixHeader::from_schema(std::move(schema));
        if (!header) return raise_matrix_error(header.take_error());
        if (Status s = validate_tables(header.value().tables); !s) return raise_matrix_error(s.take_error());
        return make_schema_result(std::move(header).value());
    });
}

PyObject* matrix_core_write_from_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(write_from_stack_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [path_arg, zone_count, tables, stack, banner, run_id] = *bound;
        std::string path;
        std::optional<Matrix> matrix;
        if (!path_from_py(path_arg, "path", path) ||
            !matrix_from_stack({zone_count, tables, stack, banner, run_id}, matrix)) {
            return nullptr;
        }
        // The file is touched only here, after every argument and schema check passed.
        return none_or_raise(run_unlocked([&] {
            Status written = write_matrix_file(*matrix, path);
            matrix.reset();
            return written;
        }));
    });
}

PyObject* matrix_core_to_bytes_from_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(to_bytes_from_stack_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [zone_count, tables, stack, banner, run_id] = *bound;
        std::optional<Matrix> matrix;
        if (!matrix_from_stack({zone_count, tables, stack, banner, run_id}, matrix)) return nullptr;
        return bytes_or_raise(run_unlocked([&] {
            Result<GrowableBuffer> written = write_matrix_bytes(*matrix);
            matrix.reset();
            return written;
        }));
    });
}

PyObject* matrix_core_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(write_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [path_arg] = *bound;
        MatrixCoreState& state = matrix_core_state(self);
        // Held shared until the lock is back, so no exclusive hold can be taken meanwhile.
        HoldGuard hold(state.hold, Mode::shared);
        if (!hold) return nullptr;
        std::string path;
        if (!path_from_py(path_arg, "path", path)) return nullptr;
        return none_or_raise(run_unlocked([&] { return write_matrix_file(state.matrix, path); }));
    });
}

PyObject* matrix_core_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return to_bytes_impl(to_bytes_signature, self, args, nargs, kwnames);
}

PyObject* matrix_core_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return to_bytes_impl(bytes_signature, self, args, nargs, kwnames);
}

}  // namespace orvanel::py
