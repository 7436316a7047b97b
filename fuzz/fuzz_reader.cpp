// The matrix reader over arbitrary bytes: whole loads and loads of selected tables.
//
// Input: byte 0 chooses the table names of the selected load, the rest is the file.
//   bits 0-5: table k (0-based) is named when bit k mod 6 is set;
//   bit 6:    the names are given in reverse order;
//   bit 7:    a name taken from the input's last bytes is added at the end.
// Checks:
//   - loading from memory and from a file holding the same bytes gives the same matrix
//     or the same error (kind, message, offset);
//   - a selected load agrees with the whole load: the same header error; the selection
//     errors of an empty or unknown name; the same values for the tables it holds when
//     the whole load succeeds; and never success where the whole load failed on
//     anything but a row payload;
//   - a loaded matrix that can be written is written, read back to exactly the values
//     the encoding rules give, and written again to the same bytes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "core/reader.hpp"
#include "core/writer.hpp"
#include "fuzz/reference.hpp"

namespace {

using orvanel::ErrorKind;
using orvanel::Matrix;
using orvanel::MatrixError;
using orvanel::MatrixReader;
using orvanel::Result;

constexpr std::size_t max_rewritten_values = 1 << 20;

std::string memory_file(std::span<const std::uint8_t> data) {
    static int fd = ::memfd_create("matrix", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::ftruncate(fd, 0) == 0);
    FUZZ_CHECK(data.empty() || ::pwrite(fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
    return "/proc/self/fd/" + std::to_string(fd);
}

Result<Matrix> load_all(Result<MatrixReader> reader) {
    if (!reader) return reader.take_error();
    return MatrixReader::load_all(std::move(reader.value()));
}

Result<Matrix> load_selected(Result<MatrixReader> reader, const std::vector<std::string>& names) {
    if (!reader) return reader.take_error();
    return MatrixReader::load_selected(std::move(reader.value()), names);
}

bool same_tables(const Matrix& a, const Matrix& b) {
    if (a.banner() != b.banner() || a.run_id() != b.run_id() || a.zone_count() != b.zone_count()) return false;
    if (a.tables().size() != b.tables().size()) return false;
    for (std::size_t i = 0; i < a.tables().size(); ++i) {
        const auto &x = a.tables()[i], &y = b.tables()[i];
        if (x.name != y.name || !(x.type_code == y.type_code) || x.index != y.index) return false;
    }
    return true;
}

void check_same(Result<Matrix>& a, Result<Matrix>& b) {
    FUZZ_CHECK(a.ok() == b.ok());
    if (!a.ok()) {
        FUZZ_CHECK(fuzz::same_error(a.error(), b.error()));
        return;
    }
    FUZZ_CHECK(same_tables(a.value(), b.value()));
    FUZZ_CHECK(fuzz::same_bits(a.value().values(), b.value().values()));
}

bool is_payload_kind(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::invalid_preamble:
    case ErrorKind::invalid_descriptor:
    case ErrorKind::plane_size:
    case ErrorKind::zero_run_count:
    case ErrorKind::invalid_float32_marker:
    case ErrorKind::unexpected_eof:
    case ErrorKind::trailing_bytes:
        return true;
    default:
        return false;
    }
}

std::vector<std::string> chosen_names(std::uint8_t mode, const orvanel::MatrixHeader& header,
                                      std::span<const std::uint8_t> file) {
    std::vector<std::string> names;
    for (std::size_t k = 0; k < header.tables.size(); ++k) {
        if (mode & (1u << (k % 6))) names.push_back(header.tables[k].name);
    }
    if (mode & 0x40) std::reverse(names.begin(), names.end());
    if (mode & 0x80) {
        const std::size_t n = std::min<std::size_t>(file.size(), 4);
        names.emplace_back(reinterpret_cast<const char*>(file.data() + file.size() - n), n);
    }
    return names;
}

// The selected load's expected outcome, from the header and the whole load.
void check_selected(const orvanel::MatrixHeader& header, const std::vector<std::string>& names,
                    Result<Matrix>& all, Result<Matrix>& selected) {
    if (names.empty()) {
        FUZZ_CHECK(!selected.ok());
        FUZZ_CHECK(fuzz::same_error(selected.error(), MatrixError::invalid_table_count(
                                                          "at least one table name must be provided")));
        return;
    }
    std::vector<bool> chosen(256, false);
    for (const std::string& name : names) {
        auto found = std::find_if(header.tables.begin(), header.tables.end(),
                                  [&](const orvanel::TableInfo& t) { return t.name == name; });
        if (found == header.tables.end()) {
            FUZZ_CHECK(!selected.ok());
            FUZZ_CHECK(fuzz::same_error(selected.error(), MatrixError::table_not_found(name)));
            return;
        }
        chosen[found->index] = true;
    }
    if (all.ok()) {
        FUZZ_CHECK(selected.ok());
        const Matrix& whole = all.value();
        const Matrix& part = selected.value();
        FUZZ_CHECK(part.banner() == whole.banner() && part.run_id() == whole.run_id() &&
                   part.zone_count() == whole.zone_count());
        std::size_t k = 0;
        for (const orvanel::TableInfo& table : whole.tables()) {
            if (!chosen[table.index]) continue;
            FUZZ_CHECK(k < part.tables().size());
            const orvanel::TableInfo& got = part.tables()[k];
            FUZZ_CHECK(got.name == table.name && got.type_code == table.type_code && got.index == k + 1);
            FUZZ_CHECK(fuzz::same_bits(part.table_values(got.index), whole.table_values(table.index)));
            ++k;
        }
        FUZZ_CHECK(k == part.tables().size());
        return;
    }
    // The whole load failed: the selected one fails no earlier, and where the whole load
    // failed on framing, with the same error; it may only succeed past a payload it does
    // not decode.
    if (selected.ok()) {
        FUZZ_CHECK(is_payload_kind(all.error().kind()));
        return;
    }
    const auto whole_at = all.error().offset(), part_at = selected.error().offset();
    FUZZ_CHECK(whole_at.has_value() && part_at.has_value() && *whole_at <= *part_at);
    // (A payload fault of a table not loaded may sit where the next record starts.)
    if (*whole_at == *part_at && !is_payload_kind(all.error().kind()))
        FUZZ_CHECK(fuzz::same_error(all.error(), selected.error()));
}

void check_rewrite(const Matrix& matrix) {
    if (matrix.values().size() > max_rewritten_values) return;
    if (!orvanel::validate_for_writing(matrix.header()).ok()) return;
    auto bytes = orvanel::write_matrix_bytes(matrix);
    FUZZ_CHECK(bytes.ok());
    auto again = load_all(MatrixReader::from_bytes(bytes.value().bytes()));
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(same_tables(matrix, again.value()));
    for (const orvanel::TableInfo& table : matrix.tables()) {
        for (std::uint16_t o = 1; o <= matrix.zone_count(); ++o) {
            const fuzz::Expected want = fuzz::expected_encoding(table.type_code, matrix.row(table.index, o));
            FUZZ_CHECK(fuzz::same_bits(again.value().row(table.index, o), want.read_back));
        }
    }
    auto bytes_again = orvanel::write_matrix_bytes(again.value());
    FUZZ_CHECK(bytes_again.ok());
    const auto first = bytes.value().bytes(), second = bytes_again.value().bytes();
    FUZZ_CHECK(first.size() == second.size() && std::equal(first.begin(), first.end(), second.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    const std::span<const std::uint8_t> file(data + 1, size - 1);

    Result<Matrix> all = load_all(MatrixReader::from_bytes(file));
    Result<Matrix> all_from_file = load_all(MatrixReader::open(memory_file(file)));
    check_same(all, all_from_file);
    if (!all.ok()) FUZZ_CHECK(all.error().offset().has_value() && *all.error().offset() <= file.size());

    auto reader = MatrixReader::from_bytes(file);
    if (!reader.ok()) {
        Result<Matrix> selected = load_selected(std::move(reader), {"x"});
        FUZZ_CHECK(!all.ok() && !selected.ok() && fuzz::same_error(all.error(), selected.error()));
        return 0;
    }
    const orvanel::MatrixHeader header = reader.value().header();
    const std::vector<std::string> names = chosen_names(mode, header, file);
    Result<Matrix> selected = load_selected(std::move(reader), names);
    Result<Matrix> selected_from_file = load_selected(MatrixReader::open(memory_file(file)), names);
    check_same(selected, selected_from_file);
    check_selected(header, names, all, selected);

    if (all.ok()) check_rewrite(all.value());
    return 0;
}
