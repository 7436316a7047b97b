// The core used from several threads at once, for ThreadSanitizer (tools/run_sanitized.sh).
//
// The extension releases the interpreter lock while it loads and writes, so these run
// concurrently in a Python process: writes of files (to the same and to different
// paths), writes to memory, loads of files that other threads are replacing, and reads
// of one shared matrix. Every load must give one of the matrices written there, whole.
// Then the parallel reader and writer, each sharing its rows out to a pool of threads,
// from two threads at once: loads from memory and from files (read in chunks several
// times smaller than the file) with faults in rows that different threads decode, and
// writes to memory and to files; each must give what the serial reader and writer give.
// Exits non-zero on a wrong result; the sanitizer reports any data race.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel_reader.hpp"
#include "core/parallel_writer.hpp"
#include "core/reader.hpp"
#include "core/writer.hpp"

using namespace orvanel;

namespace {

constexpr int threads = 6;
constexpr int rounds = 40;
constexpr std::uint16_t zones = 30;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "thread check failed: %s\n", what);
        std::exit(1);
    }
}

Matrix make_matrix(double seed) {
    auto header = MatrixHeader::make(zones);
    require(header.ok(), "header");
    header.value().tables.push_back({"d", TypeCode::double_precision(), 1});
    header.value().tables.push_back({"f", TypeCode::fixed(2), 2});
    auto matrix = Matrix::create(std::move(header.value()));
    require(matrix.ok(), "create");
    double* v = matrix.value().values_mut().data();
    for (std::size_t i = 0; i < matrix.value().values().size(); ++i) v[i] = seed + static_cast<double>(i) / 4;
    return std::move(matrix.value());
}

bool same_values(const Matrix& a, const Matrix& b) {
    const auto x = a.values(), y = b.values();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
}

// The values of `matrix` as the parallel writer takes them.
std::vector<StridedTable> layout_of(const Matrix& matrix) {
    std::vector<StridedTable> tables;
    const std::size_t z = matrix.zone_count();
    for (std::uint8_t t = 1; t <= matrix.table_count(); ++t) {
        tables.push_back({reinterpret_cast<const char*>(matrix.table_values(t).data()),
                          static_cast<std::ptrdiff_t>(z * sizeof(double)), sizeof(double)});
    }
    return tables;
}

std::string error_text(const MatrixError& error) { return std::string(error_name(error.kind())) + error.message(); }

// The serial reader's outcome for `bytes`: the values, or the error's kind and text.
std::string serial_outcome(std::span<const std::uint8_t> bytes, std::vector<double>& values) {
    auto reader = MatrixReader::from_bytes(bytes);
    if (!reader) return error_text(reader.error());
    auto loaded = MatrixReader::load_all(std::move(reader.value()));
    if (!loaded) return error_text(loaded.error());
    values.assign(loaded.value().values().begin(), loaded.value().values().end());
    return "ok";
}

std::string parallel_outcome(Result<MatrixLoad> load, const ParallelSettings& settings, std::vector<double>& values) {
    if (!load) return error_text(load.error());
    if (Status chosen = load.value().select(nullptr); !chosen) return error_text(chosen.error());
    auto count = load.value().value_count();
    if (!count) return error_text(count.error());
    values.assign(count.value(), 0.0);
    if (Status run = load.value().run(values.data(), settings); !run) return error_text(run.error());
    return "ok";
}

// Parallel loads and writes of `matrix` (2 tables) compared with serial ones; `tag`
// names the files of this thread.
void check_parallel(const Matrix& matrix, const std::string& tag) {
    ParallelSettings settings;
    settings.threads = 4;
    settings.min_parallel_cells = 1;
    settings.batch_cells = matrix.zone_count();
    const std::vector<StridedTable> tables = layout_of(matrix);
    auto serial = write_matrix_bytes(matrix);
    require(serial.ok(), "serial write");
    const auto expected = serial.value().bytes();

    WriteReport report;
    auto pieces = write_values_to_memory(matrix.header(), tables, settings, report);
    require(pieces.ok(), "parallel write to memory");
    std::vector<std::uint8_t> got(pieces.value().size());
    pieces.value().move_into(got.data(), settings.threads);
    require(std::equal(got.begin(), got.end(), expected.begin(), expected.end()), "parallel write: same bytes");
    const std::string file = tag + ".mat";
    require(write_values_to_file(file, matrix.header(), tables, settings, report).ok(), "parallel write to a file");

    // The file as written, and with faults in one or two rows near its end.
    const std::vector<std::uint8_t> data(expected.begin(), expected.end());
    for (int variant = 0; variant < 3; ++variant) {
        std::vector<std::uint8_t> input = data;
        if (variant >= 1) input[input.size() - 900] ^= 0x5A;
        if (variant == 2) input[input.size() - 200] ^= 0xA5;
        std::vector<double> want, from_memory, from_file;
        const std::string expected_outcome = serial_outcome(input, want);
        require(parallel_outcome(MatrixLoad::from_bytes(input), settings, from_memory) == expected_outcome,
                "parallel load from memory: same outcome");
        FILE* f = std::fopen(file.c_str(), "wb");
        require(f != nullptr && std::fwrite(input.data(), 1, input.size(), f) == input.size() && std::fclose(f) == 0,
                "file of the faulty input");
        require(parallel_outcome(MatrixLoad::open(file), settings, from_file) == expected_outcome,
                "parallel load from a file: same outcome");
        if (expected_outcome == "ok") require(want == from_memory && want == from_file, "parallel load: same values");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    std::vector<Matrix> matrices;
    for (int k = 0; k < threads; ++k) matrices.push_back(make_matrix(1000.0 * k));
    const Matrix& shared = matrices[0];
    const std::string common = dir + "/common.mat";
    require(write_matrix_file(shared, common).ok(), "first write");

    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k) {
        pool.emplace_back([&, k] {
            const std::string own = dir + "/own" + std::to_string(k) + ".mat";
            for (int r = 0; r < rounds; ++r) {
                require(write_matrix_file(matrices[k], r % 2 ? own : common).ok(), "write");
                auto bytes = write_matrix_bytes(shared);
                require(bytes.ok(), "write to memory");
                auto again = MatrixReader::from_bytes(bytes.value().bytes());
                require(again.ok(), "header from memory");
                auto copy = MatrixReader::load_all(std::move(again.value()));
                require(copy.ok() && same_values(copy.value(), shared), "load from memory");

                // The common file is replaced by the other threads meanwhile: whatever is
                // there is one of the matrices, complete.
                auto reader = MatrixReader::open(common);
                require(reader.ok(), "open");
                std::vector<std::string> names = {"f"};
                auto loaded = r % 3 ? MatrixReader::load_all(std::move(reader.value()))
                                    : MatrixReader::load_selected(std::move(reader.value()), names);
                require(loaded.ok(), "load from file");
                bool known = false;
                for (const Matrix& m : matrices) {
                    const auto got = loaded.value().values();
                    const auto want = r % 3 ? m.values() : m.table_values(2);
                    known = known || std::equal(got.begin(), got.end(), want.begin(), want.end());
                }
                require(known, "a loaded file holds one of the written matrices");
                require(shared.table_total(1) == matrices[0].table_total(1), "shared reads");
            }
        });
    }
    for (std::thread& t : pool) t.join();

    // Larger matrices for the parallel reader and writer: their files span several of the
    // chunks a file is read in.
    std::vector<std::thread> parallel;
    for (int k = 0; k < 2; ++k) {
        parallel.emplace_back([&, k] {
            auto header = MatrixHeader::make(700);
            require(header.ok(), "header");
            header.value().tables.push_back({"d", TypeCode::double_precision(), 1});
            header.value().tables.push_back({"s", TypeCode::single(), 2});
            auto matrix = Matrix::create(std::move(header.value()));
            require(matrix.ok(), "create");
            double* v = matrix.value().values_mut().data();
            for (std::size_t i = 0; i < matrix.value().values().size(); ++i) {
                v[i] = static_cast<double>((i * 7919 + static_cast<std::size_t>(k)) % 100003) / 8;
            }
            for (int r = 0; r < 3; ++r) check_parallel(matrix.value(), dir + "/parallel" + std::to_string(k));
        });
    }
    for (std::thread& t : parallel) t.join();
    std::puts("thread check: no wrong result");
    return 0;
}
