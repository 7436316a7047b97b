// The core used from several threads at once, for ThreadSanitizer (tools/run_sanitized.sh).
//
// The extension releases the interpreter lock while it loads and writes, so these run
// concurrently in a Python process: writes of files (to the same and to different
// paths), writes to memory, loads of files that other threads are replacing, and reads
// of one shared matrix. Every load must give one of the matrices written there, whole.
// Exits non-zero on a wrong result; the sanitizer reports any data race.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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
    std::puts("thread check: no wrong result");
    return 0;
}
