#include "core/sink.hpp"

#include "core/interrupt.hpp"
#include "core/memory.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace orvanel {

void GrowableBuffer::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (capacity_ - size_ < bytes.size()) {
        std::size_t capacity = capacity_ ? capacity_ : write_buffer_size;
        while (capacity - size_ < bytes.size()) capacity *= 2;
        auto* grown = static_cast<std::uint8_t*>(std::realloc(data_.get(), capacity));
        if (!grown) throw std::bad_alloc();
        (void)data_.release();
        data_.reset(grown);
        capacity_ = capacity;
        prefer_huge_pages(grown, capacity);
    }
    std::memcpy(data_.get() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void GrowableBuffer::shrink_to_fit() noexcept {
    if (size_ == 0 || size_ == capacity_) return;
    if (auto* shrunk = static_cast<std::uint8_t*>(std::realloc(data_.get(), size_))) {
        (void)data_.release();
        data_.reset(shrunk);
        capacity_ = size_;
    }
}

ByteSink ByteSink::file(FileHandle handle) noexcept {
    ByteSink sink;
    sink.file_ = std::move(handle);
    return sink;
}

ByteSink ByteSink::memory() noexcept { return ByteSink(); }

Status ByteSink::write_all(std::span<const std::uint8_t> bytes, const char* no_progress_text) {
    if (is_memory()) {
        memory_.append(bytes);
        return {};
    }
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t wrote = ::write(file_.get(), p, std::min(left, max_system_io_size));
        if (wrote < 0) {
            const int err = errno;
            if (err == EINTR && !stop_after_interrupt()) continue;
            return MatrixError::io_os(err);
        }
        if (wrote == 0) return MatrixError::io_text(no_progress_text);
        p += wrote;
        left -= static_cast<std::size_t>(wrote);
    }
    return {};
}

}  // namespace orvanel
