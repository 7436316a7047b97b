// Moving between values and byte planes: byte k of value i <-> plane k, position i.
// The kernels transpose 8 values at a time as an 8x8 byte matrix held in eight 64-bit
// words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvanel {

// Transposes the 8x8 byte matrix whose row j is words[j] (byte k = column k). The
// operation is its own inverse.
inline void transpose8x8(std::uint64_t (&w)[8]) noexcept {
    const auto swap = [&](int i, int j, int shift, std::uint64_t mask) {
        const std::uint64_t t = ((w[i] >> shift) ^ w[j]) & mask;
        w[j] ^= t;
        w[i] ^= t << shift;
    };
    for (int i = 0; i < 8; i += 2) swap(i, i + 1, 8, 0x00FF00FF00FF00FFull);
    for (int i : {0, 1, 4, 5}) swap(i, i + 2, 16, 0x0000FFFF0000FFFFull);
    for (int i = 0; i < 4; ++i) swap(i, i + 4, 32, 0x00000000FFFFFFFFull);
}

// Writes bytes 0..plane_count-1 of word(i) for i < n into planes[k][i]; returns the OR
// of all words so the caller knows which planes hold a non-zero byte. `word(i, w)`
// returns false to abandon the split (the planes then hold partial content).
template <class Word>
inline bool split_planes(std::size_t n, int plane_count, std::uint8_t* const* planes, std::uint64_t& or_all,
                         Word&& word) {
    std::uint64_t acc = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w[8];
        for (int j = 0; j < 8; ++j) {
            if (!word(i + j, w[j])) return false;
            acc |= w[j];
        }
        transpose8x8(w);
        for (int k = 0; k < plane_count; ++k) std::memcpy(planes[k] + i, &w[k], 8);
    }
    if (i < n) {
        std::uint64_t w[8] = {};
        const std::size_t rest = n - i;
        for (std::size_t j = 0; j < rest; ++j) {
            if (!word(i + j, w[j])) return false;
            acc |= w[j];
        }
        transpose8x8(w);
        for (int k = 0; k < plane_count; ++k) std::memcpy(planes[k] + i, &w[k], rest);
    }
    or_all = acc;
    return true;
}

// Calls sink(i, word) for i < n with word byte k taken from planes[k][i].
template <class Sink>
inline void join_planes(std::size_t n, const std::uint8_t* const* planes, Sink&& sink) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w[8];
        for (int k = 0; k < 8; ++k) std::memcpy(&w[k], planes[k] + i, 8);
        transpose8x8(w);
        for (int j = 0; j < 8; ++j) sink(i + j, w[j]);
    }
    if (i < n) {
        const std::size_t rest = n - i;
        std::uint64_t w[8] = {};
        for (int k = 0; k < 8; ++k) std::memcpy(&w[k], planes[k] + i, rest);
        transpose8x8(w);
        for (std::size_t j = 0; j < rest; ++j) sink(i + j, w[j]);
    }
}

}  // namespace orvanel
