#include "python/loading.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/reader.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/matrix_core.hpp"
#include "python/ref.hpp"

namespace orvanel::py {

namespace {

// Everything a load needs, converted from Python beforehand, so that the load itself
// touches no Python object: either a file path or a bytes object (kept alive here;
// bytes are immutable, so its buffer can be read without the lock), and the table
// names of a selective load.
struct LoadRequest {
    std::string path;
    Ref data;
    std::optional<std::vector<std::string>> names;
};

// Reads the matrix with the interpreter lock released and wraps it in a new _MatrixCore
// once the lock is held again.
PyObject* run_load(const LoadRequest& request) {
    std::span<const std::uint8_t> bytes;
    if (request.data) {
        const char* start = PyBytes_AsString(request.data.get());
        const Py_ssize_t size = PyBytes_Size(request.data.get());
        if (start == nullptr || size < 0) return nullptr;
        bytes = {reinterpret_cast<const std::uint8_t*>(start), static_cast<std::size_t>(size)};
    }

    std::optional<Result<Matrix>> loaded = run_unlocked([&]() -> Result<Matrix> {
        Result<MatrixReader> reader = request.data ? MatrixReader::from_bytes(bytes) : MatrixReader::open(request.path);
        if (!reader) return reader.take_error();
        if (request.names) return MatrixReader::load_selected(std::move(reader).value(), *request.names);
        return MatrixReader::load_all(std::move(reader).value());
    });
    if (!loaded) return nullptr;
    if (!*loaded) return raise_matrix_error(loaded->take_error());
    return make_matrix_core(std::move(*loaded).value());
}

constexpr std::array path_params{"path"};
constexpr std::array bytes_params{"bytes"};
constexpr std::array path_names_params{"path", "table_names"};
constexpr std::array bytes_names_params{"bytes", "table_names"};

constexpr Signature open_signature{"_MatrixCore.open()", path_params};
constexpr Signature from_bytes_signature{"_MatrixCore.from_bytes()", bytes_params};
constexpr Signature open_tables_signature{"_MatrixCore.open_tables()", path_names_params};
constexpr Signature from_bytes_tables_signature{"_MatrixCore.from_bytes_tables()", bytes_names_params};

}  // namespace

PyObject* matrix_core_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(open_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [path] = *bound;
        LoadRequest request;
        if (!path_from_py(path, "path", request.path)) return nullptr;
        return run_load(request);
    });
}

PyObject* matrix_core_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(from_bytes_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [bytes] = *bound;
        LoadRequest request;
        if (!bytes_from_py(bytes, "bytes", request.data)) return nullptr;
        return run_load(request);
    });
}

PyObject* matrix_core_open_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(open_tables_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [path, table_names] = *bound;
        LoadRequest request;
        if (!path_from_py(path, "path", request.path)) return nullptr;
        if (!table_names_from_py(table_names, "table_names", request.names.emplace())) return nullptr;
        return run_load(request);
    });
}

PyObject* matrix_core_from_bytes_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const auto bound = bind_fast(from_bytes_tables_signature, args, nargs, kwnames);
        if (!bound) return nullptr;
        const auto [bytes, table_names] = *bound;
        LoadRequest request;
        if (!bytes_from_py(bytes, "bytes", request.data)) return nullptr;
        if (!table_names_from_py(table_names, "table_names", request.names.emplace())) return nullptr;
        return run_load(request);
    });
}

}  // namespace orvanel::py
