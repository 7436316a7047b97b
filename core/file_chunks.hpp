// A forward-only byte source over a file, read in large chunks that stay valid as long
// as anyone uses them: views handed out for one record remain readable while later
// records are read, so that other threads can decode them meanwhile.
//
// It reads exactly as ByteSource does for a file (the same bytes, the same errors with
// the same offsets, the same answer of can_supply), only in larger pieces.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/posix_file.hpp"

namespace orvanel {

// One block of file bytes. `users` counts the holders besides the source (work in
// progress on records inside it); the source reuses a chunk only when it is 0.
struct FileChunk {
    explicit FileChunk(std::size_t capacity);
    std::unique_ptr<std::uint8_t[]> data;  // capacity + chunk_padding bytes
    std::size_t capacity;
    std::atomic<int> users{0};
};

// Bytes after the end of every chunk that may be read (never written): room for a
// decoder that reads a little past the end of its input.
inline constexpr std::size_t chunk_padding = 64;
inline constexpr std::size_t default_chunk_size = std::size_t{2} << 20;

class FileChunks {
public:
    // Opens a file read-only, as ByteSource::open_file does (the same errors).
    static Result<FileChunks> open(std::string_view path, std::size_t chunk_size = default_chunk_size);

    FileChunks(FileChunks&&) noexcept = default;
    FileChunks& operator=(FileChunks&&) noexcept = default;

    std::uint64_t counter() const noexcept { return counter_; }
    // A regular file (as opposed to a FIFO or a device).
    bool is_regular() const noexcept { return file_size_.has_value(); }
    // The open file, for reads at an offset (pread) that leave the reading position be.
    int descriptor() const noexcept { return file_.get(); }
    bool can_supply(std::uint64_t n);
    Status read_exact(std::span<std::uint8_t> dst);
    // The next `n` bytes, always inside one chunk (`spill` is never used); the view
    // stays valid while the chunk has users or until the next read.
    Result<std::span<const std::uint8_t>> read_view(std::size_t n, std::vector<std::uint8_t>& spill);
    Result<bool> has_more();

    // The chunk of the last view, and how many bytes after a position in it hold file
    // bytes that are never written again (or padding): what a decoder may read past the
    // end of a payload that ends at `end`.
    FileChunk& chunk() noexcept { return *current_; }
    std::size_t stable_after(const std::uint8_t* end) const noexcept;
    // Changes each time reading moves to another chunk.
    std::uint64_t chunk_serial() const noexcept { return serial_; }

private:
    FileChunks() = default;
    // Makes `n` unread bytes available in the current chunk if the file has them: true
    // when they are there, false at the end of the file first.
    Result<bool> ensure(std::size_t n);
    // Moves the unread bytes to a chunk (a free one, or a new one) with room for `n`.
    void move_to_chunk_with_room(std::size_t n);
    Result<std::size_t> read_some(std::uint8_t* dst, std::size_t n);

    FileHandle file_;
    std::optional<std::uint64_t> file_size_;
    std::size_t chunk_size_ = default_chunk_size;
    std::vector<std::unique_ptr<FileChunk>> chunks_;
    FileChunk* current_ = nullptr;
    std::size_t pos_ = 0;  // [pos_, len_) of the current chunk is unread
    std::size_t len_ = 0;
    std::uint64_t counter_ = 0;
    std::uint64_t serial_ = 0;
    int deferred_errno_ = 0;  // a read error met while reading ahead
};

}  // namespace orvanel
