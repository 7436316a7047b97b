// A forward-only byte source over a file or a memory block, with the byte counter
// from which every read error takes its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/posix_file.hpp"

namespace orvanel {

inline constexpr std::size_t read_buffer_size = 65'536;

class ByteSource {
public:
    // Opens a file read-only. Failure: io without offset.
    static Result<ByteSource> open_file(std::string_view path);
    // Reads `data` in place; the caller keeps it alive and unchanged.
    static ByteSource from_memory(std::span<const std::uint8_t> data) noexcept;

    ByteSource(ByteSource&&) noexcept = default;
    ByteSource& operator=(ByteSource&&) noexcept = default;

    // Bytes consumed since the first byte.
    std::uint64_t counter() const noexcept { return counter_; }

    // Whether at least `n` more bytes can be read. Exact for memory and regular files;
    // for a pipe or device it reads ahead into the buffer (up to `n` bytes), so the
    // answer costs memory of the order of `n` and never a read error: one met while
    // reading ahead is reported when the reads reach it.
    bool can_supply(std::uint64_t n);

    // Fills `dst` completely. A short input fails with unexpected_eof, a failed read with
    // io; both carry the counter, which includes the bytes of a partial read.
    Status read_exact(std::span<std::uint8_t> dst);

    // The next `n` bytes, read exactly as read_exact would; the view stays valid until
    // the next read. Points into the input or the read buffer when it can, else into
    // `spill`.
    Result<std::span<const std::uint8_t>> read_view(std::size_t n, std::vector<std::uint8_t>& spill);

    // Probes whether any byte remains, without counting it. A failed probe fails with io
    // at the counter.
    Result<bool> has_more();

private:
    ByteSource() = default;
    Status fill_buffer();                                 // one system read into the buffer
    Result<std::size_t> read_some(std::uint8_t* dst, std::size_t n);  // one system read, retried on EINTR

    // Memory input: [mem_pos_, mem_.size()) is unread.
    std::span<const std::uint8_t> mem_;
    std::size_t mem_pos_ = 0;
    // File input, read through the buffer: [buf_pos_, buf_len_) is unread.
    FileHandle file_;
    std::vector<std::uint8_t> buffer_;
    std::size_t buf_pos_ = 0;
    std::size_t buf_len_ = 0;
    std::optional<std::uint64_t> file_size_;
    int deferred_errno_ = 0;  // a read error met while reading ahead
    std::uint64_t counter_ = 0;
    bool is_file_ = false;
};

}  // namespace orvanel
