// File descriptors and file names as the operating system takes them, for the byte
// source, the byte sink and the replacement of files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"

namespace orvanel {

// Linux transfers at most this much in one read(2) or write(2); asking for more is
// pointless.
inline constexpr std::size_t max_system_io_size = 0x7FFFF000;

// Owns a POSIX file descriptor; closes it on destruction.
class FileHandle {
public:
    FileHandle() noexcept = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Closes now and reports a failure to close.
    Status close();

private:
    int fd_ = -1;
};

// Converts a path held as bytes to a C string, rejecting an embedded NUL byte.
Result<std::string> path_to_c_string(std::string_view path);

// Opens `path` for reading. Opening a FIFO blocks until a writer comes; a signal may end
// the wait (see stop_after_interrupt).
Result<FileHandle> open_for_reading(std::string_view path);

// The size of the file behind `file` when it is a regular file; none for a pipe, a
// device or a socket, whose size says nothing about what a read will give.
std::optional<std::uint64_t> regular_file_size(const FileHandle& file) noexcept;

// Asks the kernel to start writing bytes [offset, offset + length) of `file` out to its
// disk, without waiting for it. A hint only: a file that has no such write-back (a pipe, a
// device, a file system in memory) or a failure changes nothing.
void start_writeback(const FileHandle& file, std::uint64_t offset, std::uint64_t length) noexcept;

// Whether reserving a regular file's blocks ahead of its writes makes them cheaper: on
// the ext file systems, a write into reserved blocks skips the per-block bookkeeping of
// delayed allocation (about a quarter of the kernel's time for a large file). Elsewhere
// it is no gain (in memory, reserving zeroes pages the writes then fill).
bool benefits_from_reserved_blocks(const FileHandle& file) noexcept;

// Whether the descriptor `fd` refers to a regular file on one of the ext file systems.
// They free a file's cached pages and blocks in the call that drops its last link (a
// rename over it, an unlink, the last close), and with the `discard` mount option wait
// there for the device to discard every freed block: about 25 ms for a 130 MB file.
bool is_regular_file_on_ext(int fd) noexcept;

// Reserves the blocks of bytes [offset, offset + length) of `file` without changing its
// size; false if the file system refused (no room, or no such operation).
bool reserve_blocks(const FileHandle& file, std::uint64_t offset, std::uint64_t length) noexcept;

// Gives back the blocks reserved past the end of `file`: a hint, like the reserving.
void release_reserved_blocks(const FileHandle& file) noexcept;

}  // namespace orvanel
