// Where a writer's bytes go: a file descriptor or a growable memory buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "core/posix_file.hpp"

namespace orvanel {

inline constexpr std::size_t write_buffer_size = 65'536;

// A malloc'd byte buffer that grows geometrically. Large blocks grow and shrink by
// remapping, without copying, so building a file in memory never needs twice its size.
class GrowableBuffer {
public:
    GrowableBuffer() noexcept = default;
    // Throws std::bad_alloc when memory is short.
    void append(std::span<const std::uint8_t> bytes);
    void shrink_to_fit() noexcept;
    std::size_t size() const noexcept { return size_; }
    std::span<const std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t, FreeDeleter> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The underlying sink of a writer.
class ByteSink {
public:
    static ByteSink file(FileHandle handle) noexcept;
    static ByteSink memory() noexcept;

    ByteSink(ByteSink&&) noexcept = default;
    ByteSink& operator=(ByteSink&&) noexcept = default;

    bool is_memory() const noexcept { return !file_; }
    // Writes every byte, retrying interrupted writes. A write the file accepts no byte of
    // fails with io and `no_progress_text`.
    Status write_all(std::span<const std::uint8_t> bytes, const char* no_progress_text);

    FileHandle& handle() noexcept { return file_; }
    GrowableBuffer& buffer() noexcept { return memory_; }

private:
    ByteSink() noexcept = default;
    FileHandle file_;
    GrowableBuffer memory_;
};

}  // namespace orvanel
