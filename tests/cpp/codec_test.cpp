// The payload codec's kernels against plain references, for every kernel set this
// processor can run: values to planes and back, the token coder and token expansion,
// and whole payloads (bytes, values and errors). Inputs are sized exactly, so that a
// build with AddressSanitizer catches any access past what a kernel may touch.
// `make test` and `make sanitize` run it; exits non-zero on the first failed group.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/decode.hpp"
#include "core/encode.hpp"
#include "core/kernels.hpp"
#include "core/payload.hpp"
#include "core/plane.hpp"
#include "fuzz/reference.hpp"

namespace {

using namespace orvanel;
using Bytes = std::vector<std::uint8_t>;

int failures = 0;
std::string context;

void fail(int line, const char* what) {
    if (++failures <= 25) std::fprintf(stderr, "FAILED line %d: %s [%s]\n", line, what, context.c_str());
}
#define EXPECT(cond) do { if (!(cond)) fail(__LINE__, #cond); } while (0)

template <class... Args>
std::string format(const char* f, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, f, args...);
    return buffer;
}

std::mt19937_64 rng(20240917);

std::uint64_t random_word() { return rng(); }
std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

std::vector<const CodecKernels*> kernel_sets() {
    std::vector<const CodecKernels*> sets;
    for (const CodecKernels* const* k = available_codec_kernels(); *k; ++k) sets.push_back(*k);
    return sets;
}

// Lengths around every block size and the padding.
const std::size_t lengths[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 95, 127, 128, 129, 1000, 4099};

// Doubles of every class, including values at the single-precision and fixed-point
// rounding ties and limits, which make up a share of each test row.
std::vector<double> special_values(int precision) {
    const double s = fuzz::pow10[precision];
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double largest_single = 3.4028234663852886e38, single_tie = 0x1.ffffffp+127;  // the tie rounds to infinity
    return {0.0, -0.0, inf, -inf, 5e-324, -2.2250738585072014e-308, std::numeric_limits<double>::max(),
            std::bit_cast<double>(0x7FF8000000000001ull),  // quiet NaN with payload
            std::bit_cast<double>(0xFFF0000000000123ull),  // signalling, negative
            largest_single, single_tie, std::nextafter(single_tie, 0.0), 1e39,
            0x1p-150, 3 * 0x1p-150, 1 + 0x1p-24,  // single ties: subnormal to 0, to even, between singles
            0.1, -1.5, 0.125, 1.005, 1e300, -1e-300,
            4294967295.0 / s, 4294967295.4 / s, 4294967295.5 / s, 4294967296.0 / s, -4294967295.0 / s,  // fixed limits
            0.5 / s, 1.5 / s, 2.5 / s, -0.5 / s, -0.4 / s};                                                // fixed ties
}

// A row of n values: random cents, a share of zeros and of `specials`.
std::vector<double> mixed_row(std::size_t n, const std::vector<double>& specials, int special_share) {
    std::vector<double> row(n);
    for (double& v : row) {
        const std::size_t pick = below(100);  // below 60 and not special: the value stays zero
        if (pick < static_cast<std::size_t>(special_share)) v = specials[below(specials.size())];
        else if (pick >= 60) v = static_cast<double>(static_cast<std::int64_t>(random_word() % 2000001) - 1000000) / 100.0;
    }
    return row;
}

// Every kernel set at every length, against the value-by-value rules: rows of cents with a
// share of the special values (those that single precision or the fixed-point precision
// holds, in the large shares), and rows of random words, whose OR tells the planes apart
// (some byte positions are zero in every word).
void test_planes() {
    for (const CodecKernels* k : kernel_sets()) {
        for (int p = 0; p <= 9; ++p) {
            // The specials, and for the large shares those a row holds without falling back.
            std::vector<double> singles[] = {special_values(p), special_values(p)}, fixed[] = {singles[0], singles[0]};
            std::erase_if(singles[1], [](double v) { return !fuzz::fits_single(v); });
            std::erase_if(fixed[1], [p](double v) { return !fuzz::fixed_word(v, p).has_value(); });
            for (std::size_t n : lengths) {
                for (int share : {-1, 0, 3, 35}) {
                    context = format("%s p=%d n=%zu share=%d", k->name, p, n, share);
                    std::vector<double> doubles = mixed_row(n, singles[share > 10], std::max(share, 0));
                    const std::uint64_t keep = random_word() | 0xFF;
                    for (double& v : doubles) v = share < 0 ? std::bit_cast<double>(random_word() & keep) : v;
                    const std::vector<double> row = mixed_row(n, fixed[share > 10], std::max(share, 0));
                    if (const char* difference = fuzz::kernel_difference(*k, doubles, row, static_cast<unsigned>(p)))
                        fail(__LINE__, difference);
                }
            }
        }
        // One overflowing value at each position of the first blocks.
        for (std::size_t at = 0; at < 70; ++at) {
            context = format("%s overflow at %zu", k->name, at);
            std::vector<double> row(70, 1.0);
            row[at] = at % 2 ? -1e39 : 0x1.ffffffp+127;
            fuzz::Planes planes(row.size(), 0xA5, PlaneScratch::padding);
            EXPECT(!k->split_float(row.data(), row.size(), planes.p));
            row[at] = -std::numeric_limits<double>::infinity();
            EXPECT(k->split_float(row.data(), row.size(), planes.p));
        }
    }
}

// Planes that exercise the coder: runs of every length at every alignment, runs and
// literals around the token limit, and the worst case for size.
std::vector<Bytes> token_planes() {
    std::vector<Bytes> planes;
    for (std::size_t n : {1, 2, 3, 4, 5, 6, 63, 64, 65, 130}) {
        Bytes noise(n);
        for (auto& b : noise) b = static_cast<std::uint8_t>(below(3));  // runs arise by chance
        planes.push_back(noise);
    }
    for (std::size_t run = 1; run <= 70; ++run) {
        for (std::size_t at : {0, 1, 2, 15, 31, 62, 63, 64}) {
            Bytes p(at + run + 5);
            for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 1);
            std::memset(p.data() + at, 0xEE, run);
            planes.push_back(p);
        }
    }
    Bytes worst;  // a one-byte literal, then a run of three: 6 bytes of tokens per 4
    for (int i = 0; i < 1000; ++i) worst.insert(worst.end(), {std::uint8_t(i), 0xCC, 0xCC, 0xCC});
    planes.push_back(worst);
    Bytes pairs;  // pairs never make a run: one literal up to the limit
    for (std::size_t i = 0; i < 40000; ++i) pairs.push_back(static_cast<std::uint8_t>(i / 2));
    planes.push_back(pairs);
    for (std::size_t n : {32766, 32767, 32768, 32769, 32770, 65535}) planes.push_back(Bytes(n, 0x42));
    // A run that starts just before the literal limit, and one that starts on it.
    for (std::size_t start : {32765, 32766, 32767, 32768}) {
        Bytes p = pairs;
        p.resize(start + 40000, 0);
        std::memset(p.data() + start, 0x99, 40000);
        planes.push_back(p);
    }
    Bytes long_run_then_pairs(70000, 3);
    for (std::size_t i = 65535; i < long_run_then_pairs.size(); ++i) long_run_then_pairs[i] = std::uint8_t(i / 2);
    planes.push_back(long_run_then_pairs);
    return planes;
}

void test_token_coder() {
    for (const CodecKernels* k : kernel_sets()) {
        for (const Bytes& plane : token_planes()) {
            const std::size_t n = plane.size();
            context = format("%s n=%zu first=%u", k->name, n, plane[0]);
            Bytes want;
            fuzz::ref_encode_plane(plane, want);
            EXPECT(want.size() <= max_coded_plane_size(n));

            Bytes core(max_coded_plane_size(n));
            core.resize(encode_plane_into(plane, core.data()));
            EXPECT(core == want);

            PlaneScratch scratch(n);
            std::memcpy(scratch.plane_data(0), plane.data(), n);
            std::memset(scratch.plane_data(0) + n, 0x5A, PlaneScratch::padding);
            Bytes out(max_coded_plane_size(n) + token_overwrite);
            const std::size_t size = encode_plane_fast(scratch.plane(0), scratch.bits(), out.data(), *k);
            EXPECT(size == want.size() && std::equal(want.begin(), want.end(), out.begin()));
        }
    }
}

// `tokens` in a block of exactly tokens.size() + readable_after bytes, after `lead`
// bytes that are not part of the plane.
struct Input {
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t size;
    Input(std::size_t lead, const Bytes& tokens, std::size_t readable_after) : size(lead + tokens.size()) {
        block = std::make_unique<std::uint8_t[]>(size + readable_after);
        std::memset(block.get(), 0x80, lead);
        if (!tokens.empty()) std::memcpy(block.get() + lead, tokens.data(), tokens.size());
        for (std::size_t i = 0; i < readable_after; ++i) block[size + i] = static_cast<std::uint8_t>(random_word());
    }
};

// Expands with every set and both readable_after values; the result must be the
// reference's: the same bytes and end, or a failure where the reference fails.
void expect_expansion(const Bytes& tokens, std::size_t zones) {
    Bytes want(zones);
    auto ref = decode_plane(tokens, want);
    for (const CodecKernels* k : kernel_sets()) {
        for (std::size_t readable_after : {std::size_t{0}, decode_overread}) {
            for (std::size_t lead : {0, 3}) {
                context = format("%s zones=%zu tokens=%zu after=%zu lead=%zu", k->name, zones, tokens.size(),
                                 readable_after, lead);
                const Input in(lead, tokens, readable_after);
                PlaneScratch scratch(zones);
                const std::size_t end = k->expand_plane(in.block.get(), in.size, readable_after, lead,
                                                        scratch.plane_data(0), zones);
                EXPECT(end == (ref ? lead + ref.value() : expand_failed));
                EXPECT(!ref || std::memcmp(scratch.plane_data(0), want.data(), zones) == 0);
            }
        }
    }
}

void test_expansion() {
    for (const Bytes& plane : token_planes()) {
        Bytes tokens;
        fuzz::ref_encode_plane(plane, tokens);
        expect_expansion(tokens, plane.size());
        tokens.insert(tokens.end(), {1, 2, 3});  // bytes after the plane are not read as tokens
        expect_expansion(tokens, plane.size());
    }
    // Token counts on both sides of the 32-byte step, in random order.
    for (int round = 0; round < 200; ++round) {
        Bytes tokens;
        std::size_t zones = 0;
        for (std::size_t t = below(12); t-- > 0;) {
            const std::size_t count = 1 + (below(4) ? below(40) : below(300));
            if (below(2)) {
                tokens.insert(tokens.end(), {std::uint8_t(count), std::uint8_t(0x80 | count >> 8), std::uint8_t(below(256))});
            } else {
                tokens.insert(tokens.end(), {std::uint8_t(count), std::uint8_t(count >> 8)});
                for (std::size_t i = 0; i < count; ++i) tokens.push_back(static_cast<std::uint8_t>(random_word()));
            }
            zones += count;
        }
        if (zones == 0) continue;
        expect_expansion(tokens, zones);
        // A count of zero, a count too large, too few tokens (cut tokens: damaged payloads).
        Bytes zero_count = tokens;
        zero_count[0] = 0;
        zero_count[1] &= 0x80;
        expect_expansion(zero_count, zones);
        expect_expansion(tokens, zones - 1);
        expect_expansion(tokens, zones + 1);
    }
}

void test_payloads() {
    const std::vector<const CodecKernels*> sets = kernel_sets();
    for (int code = 0; code < 12; ++code) {
        const TypeCode tc = fuzz::type_code_from_byte(static_cast<std::uint8_t>(code));
        const std::vector<double> specials = special_values(tc.is_fixed() ? tc.precision : 2);
        for (std::size_t n : {1, 2, 3, 17, 64, 100, 1000}) {
            for (int share : {0, 1, 20, 100}) {
                std::vector<double> row = mixed_row(n, specials, share);
                if (share == 100 && n > 2) row[n / 2] = -0.0;
                const fuzz::Expected want = fuzz::expected_encoding(tc, row);
                PlaneScratch scratch(n);
                for (const CodecKernels* k : sets) {
                    context = format("%s code=%d n=%zu share=%d", k->name, code, n, share);
                    const std::size_t room = max_payload_size_for(n);
                    Bytes out(room + 16, 0x3C);
                    const std::size_t size = encode_payload_into(tc, row, scratch, out.data(), *k);
                    EXPECT(size == want.payload.size() && std::equal(want.payload.begin(), want.payload.end(), out.begin()));
                    for (std::size_t i = room; i < out.size(); ++i) EXPECT(out[i] == 0x3C);
                    EXPECT(size + encode_overwrite <= room);

                    // Read back from a block that ends where the payload ends, and from one
                    // with room after it.
                    for (std::size_t readable_after : {std::size_t{0}, decode_overread}) {
                        const Input in(0, want.payload, readable_after);
                        std::vector<double> values(n, -3.0);
                        const Status s = decode_payload(tc, {in.block.get(), in.size}, readable_after, scratch, values, *k);
                        EXPECT(s.ok() && fuzz::same_bits(values, want.read_back));
                    }
                }
            }
        }
    }
}

// Damaged payloads: the same error as the reference (kind, fields, message), and the
// output untouched.
void test_payload_errors() {
    const std::vector<const CodecKernels*> sets = kernel_sets();
    for (int round = 0; round < 1500; ++round) {
        const TypeCode tc = fuzz::type_code_from_byte(static_cast<std::uint8_t>(below(12)));
        const std::size_t n = 1 + below(below(4) ? 40 : 400);
        const std::vector<double> row = mixed_row(n, special_values(2), static_cast<int>(below(30)));
        Bytes payload = fuzz::expected_encoding(fuzz::type_code_from_byte(static_cast<std::uint8_t>(below(12))), row).payload;
        switch (below(5)) {  // case 4: the payload of another type, or of the same
        case 0: payload.resize(below(payload.size() + 1)); break;
        case 1: payload[below(payload.size())] ^= static_cast<std::uint8_t>(1u << below(8)); break;
        case 2: payload.push_back(static_cast<std::uint8_t>(random_word())); break;
        case 3:
            if (payload.size() > 3) payload[3 + below(payload.size() - 3)] = static_cast<std::uint8_t>(random_word());
            break;
        default: break;
        }
        std::vector<double> want;
        const std::optional<MatrixError> ref = fuzz::ref_decode_payload(tc, payload, n, want);
        PlaneScratch scratch(n);
        for (const CodecKernels* k : sets) {
            for (std::size_t readable_after : {std::size_t{0}, decode_overread}) {
                context = format("%s round=%d after=%zu", k->name, round, readable_after);
                const Input in(0, payload, readable_after);
                std::vector<double> values(n, -3.0);
                Status s = decode_payload(tc, {in.block.get(), in.size}, readable_after, scratch, values, *k);
                EXPECT(s.ok() == !ref.has_value());
                if (s.ok()) {
                    EXPECT(fuzz::same_bits(values, want));
                    continue;
                }
                EXPECT(ref && fuzz::same_error(s.error(), *ref));
                EXPECT(!s.error().offset().has_value());
                for (double v : values) EXPECT(fuzz::bits(v) == fuzz::bits(-3.0));
            }
        }
    }
}

}  // namespace

int main() {
    const std::pair<const char*, void (*)()> groups[] = {
        {"values to planes and back", test_planes},
        {"token coder", test_token_coder},
        {"token expansion", test_expansion},
        {"payloads", test_payloads},
        {"damaged payloads", test_payload_errors},
    };
    std::printf("kernel sets:");
    for (const CodecKernels* k : kernel_sets()) std::printf(" %s", k->name);
    std::printf(" (in use: %s)\n", codec_kernels().name);
    for (const auto& [name, run] : groups) {
        const int before = failures;
        run();
        std::printf("%-40s %s\n", name, failures == before ? "ok" : "FAILED");
    }
    return failures ? 1 : 0;
}
