// Core-only speed of the payload codec, step by step, and of writing and reading a
// realistic matrix, without Python.
// Build: cmake -B build/bench -DORVANEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build build/bench
// Run:   build/bench/bench_core [zones] [repetitions] [table] [kernel set]
//        (table: TRIPS, TIME, COST or COUNT; kernel set: portable, sse2 or avx2;
//        defaults 3000, 5, all tables, every set the processor has)
//
// Per table and kernel set, in ns per cell (the best of the repetitions):
//   encode  convert  zero-row check, conversion and split into byte planes
//           tokens   token coding of the stored planes
//           whole    encode_payload_into
//   decode  expand   token expansion into planes
//           assemble planes to values
//           whole    decode_payload, with 32 readable bytes after each payload and with none
// then the whole-file write and read through the writer and reader (the process's own
// kernel set). The anchor is a memcpy of the same values measured in the same run:
// ratios to it compare runs on a busy or a different machine. Each step is a function
// of its own, so `valgrind --tool=callgrind` gives instructions per step.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/decode.hpp"
#include "core/encode.hpp"
#include "core/kernels.hpp"
#include "core/payload.hpp"
#include "core/reader.hpp"
#include "core/writer.hpp"

using namespace orvanel;
using Clock = std::chrono::steady_clock;

namespace {

#define STEP __attribute__((noinline))

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

struct Table {
    const char* name;
    TypeCode type_code;
};

const Table tables[] = {{"TRIPS", TypeCode::fixed(2)},
                        {"TIME", TypeCode::double_precision()},
                        {"COST", TypeCode::single()},
                        {"COUNT", TypeCode::fixed(0)}};

// Trips: 70 % zeros in random places, the rest cents; times with four decimals; costs in
// single precision; small whole counts.
Matrix build(std::uint16_t zones) {
    auto header = MatrixHeader::make(zones).value();
    for (std::uint8_t t = 0; t < 4; ++t) header.tables.push_back({tables[t].name, tables[t].type_code, std::uint8_t(t + 1)});
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

// What the encoder does before token coding; returns the descriptor of the planes to
// code (0 for a zero row, or a row that falls back to raw doubles: not in these tables).
STEP std::uint8_t step_convert(TypeCode tc, const double* row, std::size_t n, PlaneScratch& scratch,
                               const CodecKernels& k) {
    bool zero = true;
    for (std::size_t i = 0; i < n && zero; ++i) zero = row[i] == 0.0;
    if (zero) return 0;
    std::uint8_t* p[8];
    for (int j = 0; j < 8; ++j) p[j] = scratch.plane_data(j);
    std::uint64_t or_all = 0;
    int count = 5;
    if (tc.is_double()) {
        or_all = k.split_double(row, n, p);
        count = 8;
    } else if (tc.is_single()) {
        if (!k.split_float(row, n, p)) return 0;
        or_all = ~std::uint64_t{0};
    } else if (!k.split_fixed(row, n, tc.precision, p, &or_all)) {
        return 0;
    }
    std::uint8_t d = 0;
    for (int j = 0; j < count; ++j) {
        if ((or_all >> (8 * j)) & 0xFF) d |= plane_bit(j);
    }
    return d;
}

STEP std::size_t step_tokens(TypeCode tc, std::uint8_t d, std::size_t n, PlaneScratch& scratch, std::uint8_t* out,
                             const CodecKernels& k) {
    std::size_t size = 3;
    const int stored = tc.is_single() ? 4 : 8;
    for (int j = 0; j < stored; ++j) {
        if (d & plane_bit(j)) size += encode_plane_fast(scratch.plane(j), scratch.bits(), out + size, k);
    }
    if (tc.is_single()) size += encode_uniform_plane(float32_marker, n, out + size);
    return size;
}

STEP std::size_t step_encode(TypeCode tc, std::span<const double> row, PlaneScratch& scratch, std::uint8_t* out,
                             const CodecKernels& k) {
    return encode_payload_into(tc, row, scratch, out, k);
}

STEP void step_expand(std::span<const std::uint8_t> payload, std::size_t readable_after, PlaneScratch& scratch,
                      int plane_count, const CodecKernels& k) {
    std::size_t pos = 3;
    for (int j = 0; j < plane_count; ++j) {
        if (payload[2] & plane_bit(j))
            pos = k.expand_plane(payload.data(), payload.size(), readable_after, pos, scratch.plane_data(j),
                                 scratch.zone_count());
    }
    if (pos != payload.size()) std::abort();
}

STEP void step_assemble(TypeCode tc, std::uint8_t d, PlaneScratch& scratch, double* out, const CodecKernels& k) {
    const std::uint8_t* p[8];
    for (int j = 0; j < 8; ++j) p[j] = d & plane_bit(j) ? scratch.plane_data(j) : scratch.zero_plane().data();
    const std::size_t n = scratch.zone_count();
    if (tc.is_double()) {
        k.join_double(p, n, out);
    } else if (tc.is_single()) {
        k.join_float(p, n, out);
    } else {
        k.join_fixed(p, d & plane_bit(4) ? p[4] : nullptr, n, out);
    }
}

STEP void step_decode(TypeCode tc, std::span<const std::uint8_t> payload, std::size_t readable_after,
                      PlaneScratch& scratch, std::span<double> out, const CodecKernels& k) {
    if (!decode_payload(tc, payload, readable_after, scratch, out, k)) std::abort();
}

STEP void step_anchor(double* to, const double* from, std::size_t n) { std::memcpy(to, from, n * sizeof(double)); }

template <class F>
double best_of(int reps, F&& f) {
    double best = 1e30;
    for (int i = 0; i < reps; ++i) best = std::min(best, f());
    return best;
}

enum { convert, tokens, encode, expand, assemble, decode32, decode0, steps };

void bench_table(const Matrix& m, int t, const CodecKernels& k, int reps, double anchor) {
    const Table& table = tables[t];
    const std::size_t z = m.zone_count();
    const double cells = double(z) * double(z);
    PlaneScratch scratch(z);
    std::vector<std::uint8_t> out(max_payload_size_for(z));

    // The payloads one after another in one buffer with room after the last, as a
    // reader that owns its buffer holds them.
    std::vector<std::size_t> starts;
    std::vector<std::uint8_t> all;
    for (std::uint16_t o = 1; o <= z; ++o) {
        const std::size_t size = encode_payload_into(table.type_code, m.row(std::uint8_t(t + 1), o), scratch, out.data(), k);
        starts.push_back(all.size());
        all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size));
    }
    starts.push_back(all.size());
    all.resize(all.size() + decode_overread);
    const auto payload = [&](std::size_t o) {
        return std::span<const std::uint8_t>(all.data() + starts[o], starts[o + 1] - starts[o]);
    };

    // The steps row by row; then each whole operation in a pass of its own over every
    // row, so that it starts, like the steps, with the row out of cache.
    double best[steps];
    std::fill(best, best + steps, 1e30);
    std::vector<double> values(z);
    const int plane_count = table.type_code.is_double() ? 8 : 5;
    for (int rep = 0; rep < reps; ++rep) {
        double sum[steps] = {};
        for (std::uint16_t o = 1; o <= z; ++o) {
            const std::span<const double> row = m.row(std::uint8_t(t + 1), o);
            const double t0 = now();
            const std::uint8_t d = step_convert(table.type_code, row.data(), z, scratch, k);
            const double t1 = now();
            if (d) step_tokens(table.type_code, d, z, scratch, out.data(), k);
            const double t2 = now();
            sum[convert] += t1 - t0;
            sum[tokens] += t2 - t1;
        }
        for (std::size_t o = 0; o < z; ++o) {
            const std::span<const std::uint8_t> p = payload(o);
            if (is_zero_row_payload(p)) continue;
            const double t0 = now();
            step_expand(p, decode_overread, scratch, plane_count, k);
            const double t1 = now();
            step_assemble(table.type_code, p[2], scratch, values.data(), k);
            const double t2 = now();
            sum[expand] += t1 - t0;
            sum[assemble] += t2 - t1;
        }
        double t0 = now();
        for (std::uint16_t o = 1; o <= z; ++o) step_encode(table.type_code, m.row(std::uint8_t(t + 1), o), scratch, out.data(), k);
        sum[encode] = now() - t0;
        for (const std::size_t after : {decode_overread, std::size_t{0}}) {
            t0 = now();
            for (std::size_t o = 0; o < z; ++o) step_decode(table.type_code, payload(o), after, scratch, values, k);
            sum[after ? decode32 : decode0] = now() - t0;
        }
        for (int s = 0; s < steps; ++s) best[s] = std::min(best[s], sum[s]);
    }
    const auto ns = [&](int s) { return best[s] / cells * 1e9; };
    std::printf("%-5s %-8s %5.2f B/cell | encode %5.2f %5.2f %5.2f | decode %5.2f %5.2f %5.2f %5.2f | x memcpy: encode %4.1f decode %4.1f\n",
                table.name, k.name, double(starts.back()) / cells, ns(convert), ns(tokens), ns(encode), ns(expand),
                ns(assemble), ns(decode32), ns(decode0), ns(encode) / anchor, ns(decode32) / anchor);
}

}  // namespace

int main(int argc, char** argv) {
    const auto zones = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 3000);
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string only_table = argc > 3 ? argv[3] : "";
    const std::string only_set = argc > 4 ? argv[4] : "";
    const Matrix m = build(zones);
    const std::size_t cells = m.values().size();

    std::vector<double> copy(cells);
    step_anchor(copy.data(), m.values().data(), cells);
    const double anchor =
        best_of(reps, [&] {
            const double t0 = now();
            step_anchor(copy.data(), m.values().data(), cells);
            return now() - t0;
        }) / double(cells) * 1e9;

    std::printf("zones %u, %zu cells per table, kernels in use: %s\n", zones, std::size_t{zones} * zones,
                codec_kernels().name);
    std::printf("anchor: memcpy of the values %.3f ns/cell\n", anchor);
    std::printf("table kernels  payload | encode convert tokens whole | decode expand assemble whole(32) whole(0)  (ns/cell)\n");
    for (const CodecKernels* const* k = available_codec_kernels(); *k; ++k) {
        if (!only_set.empty() && only_set != (*k)->name) continue;
        for (int t = 0; t < 4; ++t) {
            if (!only_table.empty() && only_table != tables[t].name) continue;
            bench_table(m, t, **k, reps, anchor);
        }
    }
    if (!only_table.empty() || !only_set.empty()) return 0;

    std::size_t file_size = 0;
    const double write_s = best_of(reps, [&] {
        const double t0 = now();
        file_size = write_matrix_bytes(m).value().size();
        return now() - t0;
    });
    const GrowableBuffer bytes = std::move(write_matrix_bytes(m).value());
    const double read_s = best_of(reps, [&] {
        const double t0 = now();
        auto loaded = MatrixReader::load_all(std::move(MatrixReader::from_bytes(bytes.bytes()).value()));
        if (!loaded) std::abort();
        return now() - t0;
    });
    const double all = double(cells);
    std::printf("file %.1f MB; whole file, all tables: write %.2f ns/cell (%.1f x memcpy), read %.2f ns/cell (%.1f x memcpy)\n",
                double(file_size) / 1e6, write_s / all * 1e9, write_s / all * 1e9 / anchor, read_s / all * 1e9,
                read_s / all * 1e9 / anchor);
}
