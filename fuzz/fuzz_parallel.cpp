// The parallel reader and writer over arbitrary bytes, against the serial ones.
//
// Input: byte 0 chooses how the work is shared out, the rest is the file.
//   bits 0-1: 2 + n threads;
//   bits 2-3: batches of 1 + n rows;
//   bit 4:    only the first table is loaded (by name);
//   bit 5:    files are read in chunks of 4 KiB instead of the default size.
// Checks:
//   - loading from memory and from a file gives the serial reader's outcome: the same
//     values, or the same error (kind, message, offset);
//   - a loaded matrix that can be written is written by the parallel writer to the bytes
//     the serial writer gives, to memory and to a file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "core/parallel_reader.hpp"
#include "core/parallel_writer.hpp"
#include "core/reader.hpp"
#include "core/writer.hpp"
#include "fuzz/reference.hpp"

namespace {

using orvanel::Matrix;
using orvanel::MatrixError;
using orvanel::MatrixLoad;
using orvanel::MatrixReader;
using orvanel::ParallelSettings;
using orvanel::Result;
using orvanel::Status;

constexpr std::size_t max_values = 1 << 20;

int memory_fd() {
    static int fd = ::memfd_create("matrix", 0);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

// The path of a file in memory that holds `data`.
std::string memory_file(std::span<const std::uint8_t> data) {
    const int fd = memory_fd();
    FUZZ_CHECK(::ftruncate(fd, 0) == 0);
    FUZZ_CHECK(data.empty() || ::pwrite(fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
    return "/proc/self/fd/" + std::to_string(fd);
}

// A load's outcome: its error, or its header and values.
struct Outcome {
    bool ok = false;
    std::string error;
    orvanel::MatrixHeader header;
    std::vector<double> values;
};

Outcome failed(const MatrixError& error) {
    Outcome out;
    out.error = std::string(orvanel::error_name(error.kind())) + ": " + error.message();
    return out;
}

Outcome serial_load(std::span<const std::uint8_t> file, const std::vector<std::string>* names) {
    auto reader = MatrixReader::from_bytes(file);
    if (!reader) return failed(reader.error());
    auto matrix = names ? MatrixReader::load_selected(std::move(reader.value()), *names)
                        : MatrixReader::load_all(std::move(reader.value()));
    if (!matrix) return failed(matrix.error());
    Outcome out;
    out.ok = true;
    out.header = matrix.value().header();
    out.values.assign(matrix.value().values().begin(), matrix.value().values().end());
    return out;
}

Outcome parallel_load(Result<MatrixLoad> load, const std::vector<std::string>* names, const ParallelSettings& settings) {
    if (!load) return failed(load.error());
    if (Status chosen = load.value().select(names); !chosen) return failed(chosen.error());
    auto count = load.value().value_count();
    if (!count) return failed(count.error());
    Outcome out;
    out.values.assign(count.value(), 0.0);
    if (Status run = load.value().run(out.values.data(), settings); !run) return failed(run.error());
    out.ok = true;
    out.header = load.value().header();
    return out;
}

void check_same(const Outcome& want, const Outcome& got) {
    FUZZ_CHECK(want.ok == got.ok);
    if (!want.ok) {
        FUZZ_CHECK(want.error == got.error);
        return;
    }
    FUZZ_CHECK(want.header.banner == got.header.banner && want.header.run_id == got.header.run_id &&
               want.header.zone_count == got.header.zone_count && want.header.tables.size() == got.header.tables.size());
    for (std::size_t i = 0; i < want.header.tables.size(); ++i) {
        const auto &a = want.header.tables[i], &b = got.header.tables[i];
        FUZZ_CHECK(a.name == b.name && a.type_code == b.type_code && a.index == b.index);
    }
    FUZZ_CHECK(fuzz::same_bits(want.values, got.values));
}

void check_write(const Outcome& loaded, const ParallelSettings& settings) {
    if (!loaded.ok || loaded.values.size() > max_values) return;
    if (!orvanel::validate_for_writing(loaded.header).ok()) return;
    auto matrix = Matrix::for_loaded_header(loaded.header);
    FUZZ_CHECK(matrix.ok());
    std::copy(loaded.values.begin(), loaded.values.end(), matrix.value().values_mut().begin());
    auto serial = orvanel::write_matrix_bytes(matrix.value());

    std::vector<orvanel::StridedTable> tables;
    const std::size_t z = loaded.header.zone_count;
    for (std::size_t t = 0; t < loaded.header.tables.size(); ++t) {
        tables.push_back({reinterpret_cast<const char*>(loaded.values.data() + t * z * z),
                          static_cast<std::ptrdiff_t>(z * sizeof(double)), sizeof(double)});
    }
    orvanel::WriteReport report;
    auto parallel = orvanel::write_values_to_memory(loaded.header, tables, settings, report);
    FUZZ_CHECK(serial.ok() == parallel.ok());
    if (!serial.ok()) {
        FUZZ_CHECK(fuzz::same_error(serial.error(), parallel.error()));
        return;
    }
    const auto a = serial.value().bytes();
    std::vector<std::uint8_t> b(parallel.value().size());
    parallel.value().move_into(b.data(), settings.threads);
    FUZZ_CHECK(std::equal(a.begin(), a.end(), b.begin(), b.end()));
    const std::string path = memory_file({});
    FUZZ_CHECK(orvanel::write_values_to_file(path, loaded.header, tables, settings, report).ok());
    std::vector<std::uint8_t> written(a.size() + 1);
    FUZZ_CHECK(::pread(memory_fd(), written.data(), written.size(), 0) == static_cast<ssize_t>(a.size()));
    FUZZ_CHECK(std::equal(a.begin(), a.end(), written.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    const std::span<const std::uint8_t> file(data + 1, size - 1);

    auto probe = MatrixReader::from_bytes(file);
    std::vector<std::string> first;
    if (probe.ok() && !probe.value().header().tables.empty()) first.push_back(probe.value().header().tables[0].name);
    const std::vector<std::string>* names = (mode & 0x10) && !first.empty() ? &first : nullptr;
    const std::size_t zones = probe.ok() ? probe.value().header().zone_count : 1;

    ParallelSettings settings;
    settings.threads = 2 + (mode & 0x03);
    settings.min_parallel_cells = 1;
    settings.batch_cells = zones * (1 + ((mode >> 2) & 0x03));
    const std::size_t chunk = (mode & 0x20) ? 4096 : 0;

    const Outcome want = serial_load(file, names);
    check_same(want, parallel_load(MatrixLoad::from_bytes(file), names, settings));
    check_same(want, parallel_load(MatrixLoad::open(memory_file(file), chunk), names, settings));
    check_write(want, settings);
    return 0;
}
