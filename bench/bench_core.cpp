// Core-only throughput of writing and reading a realistic matrix, without Python.
// Build: cmake -B build/bench -DORVANEL_BENCH=ON && cmake --build build/bench
// Run:   build/bench/bench_core [zones]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/reader.hpp"
#include "core/writer.hpp"

using namespace orvanel;
using Clock = std::chrono::steady_clock;

namespace {

Matrix build(std::uint16_t zones) {
    auto header = MatrixHeader::make(zones).value();
    header.tables = {{"TRIPS", TypeCode::fixed(2), 1},
                     {"TIME", TypeCode::double_precision(), 2},
                     {"COST", TypeCode::single(), 3},
                     {"COUNT", TypeCode::fixed(0), 4}};
    Matrix m = std::move(Matrix::create(header).value());
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::gamma_distribution<double> gamma(0.6, 8.0);
    std::poisson_distribution<int> poisson(3.0);
    const std::size_t cells = std::size_t{zones} * zones;
    double* v = m.values_mut().data();
    for (std::size_t i = 0; i < cells; ++i) {
        v[i] = uniform(rng) < 0.7 ? 0.0 : std::round(gamma(rng) * 100.0) / 100.0;
        v[cells + i] = std::round((5.0 + 115.0 * uniform(rng)) * 1e4) / 1e4;
        v[2 * cells + i] = static_cast<float>(0.5 + 49.5 * uniform(rng));
        v[3 * cells + i] = poisson(rng);
    }
    return m;
}

template <class F>
double median_seconds(int reps, F&& f) {
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = Clock::now();
        f();
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const auto zones = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 3000);
    const Matrix m = build(zones);
    const double gb = static_cast<double>(m.values().size()) * 8 / 1e9;
    std::size_t file_size = 0;
    const double write_s = median_seconds(5, [&] { file_size = write_matrix_bytes(m).value().size(); });
    const GrowableBuffer bytes = std::move(write_matrix_bytes(m).value());
    const double read_s = median_seconds(5, [&] {
        auto loaded = MatrixReader::load_all(std::move(MatrixReader::from_bytes(bytes.bytes()).value()));
        if (!loaded) std::abort();
    });
    std::vector<double> copy(m.values().size());
    const double copy_s = median_seconds(5, [&] { std::copy(m.values().begin(), m.values().end(), copy.begin()); });
    std::printf("zones %u, %.3f GB of values, file %.1f MB\n", zones, gb, file_size / 1e6);
    std::printf("write  %7.3f s  %6.2f GB/s\n", write_s, gb / write_s);
    std::printf("read   %7.3f s  %6.2f GB/s\n", read_s, gb / read_s);
    std::printf("memcpy %7.3f s  %6.2f GB/s\n", copy_s, gb / copy_s);
}
