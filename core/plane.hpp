// Byte planes: the scratch planes a row is split into or assembled from, and the run and
// literal token coding of one plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace orvanel {

struct CodecKernels;

// A token codes at most this many bytes: its count has 15 bits.
inline constexpr std::uint16_t max_token_count = 32'767;

// Bytes the fast token coder may store past the end of the tokens it writes.
inline constexpr std::size_t token_overwrite = 16;

// Scratch space for one row, reused for every row of one reader or writer (one per
// thread): 8 byte planes of Z bytes, a ninth plane that stays all zero and stands in for
// planes a payload leaves out, and a staging area for payloads appended to a vector.
//
// Every plane starts on a 64-byte boundary and is followed by `padding` bytes that belong
// to it: kernels load and store whole vectors past a plane's last byte (up to `padding`
// bytes beyond it), so those bytes hold anything. The padding of the zero plane stays
// zero too.
class PlaneScratch {
public:
    static constexpr std::size_t padding = 64;
    static constexpr std::size_t alignment = 64;

    explicit PlaneScratch(std::size_t zone_count);
    PlaneScratch(PlaneScratch&&) noexcept = default;
    PlaneScratch& operator=(PlaneScratch&&) noexcept = default;

    std::span<std::uint8_t> plane(int k) noexcept { return {plane_data(k), zones_}; }
    std::uint8_t* plane_data(int k) noexcept { return base_ + static_cast<std::size_t>(k) * stride_; }
    std::span<const std::uint8_t> zero_plane() const noexcept { return {base_ + 8 * stride_, zones_}; }
    std::size_t zone_count() const noexcept { return zones_; }
    // Room for one bit per plane byte and a word more, for the token coder.
    std::uint64_t* bits() noexcept { return bits_.get(); }

    // At least `bytes` bytes of room for a payload on its way into a vector, made on
    // first use and kept.
    std::uint8_t* staging(std::size_t bytes);

private:
    std::size_t zones_;
    std::size_t stride_;  // distance between planes: Z plus padding, rounded up to the alignment
    std::unique_ptr<std::uint8_t[]> storage_;
    std::uint8_t* base_;  // storage_ at the alignment
    std::unique_ptr<std::uint64_t[]> bits_;
    std::unique_ptr<std::uint8_t[]> staging_;
    std::size_t staging_size_ = 0;
};

// Expands the tokens at the start of `in` into exactly out.size() bytes. Returns the
// number of input bytes used. Errors carry no offset. Reads nothing past `in` and
// writes nothing past `out`: the exact reference every faster expansion must agree with.
Result<std::size_t> decode_plane(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// Most bytes the token coding of a plane of n bytes can take: a literal of one byte
// followed by a run of three costs 6 bytes for 4, and a plane may end in a literal.
constexpr std::size_t max_coded_plane_size(std::size_t n) noexcept { return n + n / 2 + 2; }

// Writes `plane` as run and literal tokens at `out` (room for max_coded_plane_size
// bytes); returns the number of bytes written.
std::size_t encode_plane_into(std::span<const std::uint8_t> plane, std::uint8_t* out) noexcept;

// Appends `plane` to `out` as run and literal tokens.
void encode_plane(std::span<const std::uint8_t> plane, std::vector<std::uint8_t>& out);

// The same tokens as encode_plane_into, found from bitmaps of equal neighbours (which
// go to `bits`, room for plane.size() / 64 + 2 words): only the start of each token is
// visited. `plane` is a PlaneScratch plane, read up to its padding; `out` has room for
// max_coded_plane_size(plane.size()) + token_overwrite bytes.
std::size_t encode_plane_fast(std::span<const std::uint8_t> plane, std::uint64_t* bits, std::uint8_t* out,
                              const CodecKernels& kernels) noexcept;

// The tokens of a plane of n bytes that all hold `value`: runs of at most
// max_token_count, and a literal for the last one or two bytes.
std::size_t encode_uniform_plane(std::uint8_t value, std::size_t n, std::uint8_t* out) noexcept;

}  // namespace orvanel
