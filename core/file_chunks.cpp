#include "core/file_chunks.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/interrupt.hpp"

namespace orvanel {

// Only the padding is cleared: the rest is written by reads before anyone looks at it.
FileChunk::FileChunk(std::size_t size) : data(new std::uint8_t[size + chunk_padding]), capacity(size) {
    std::memset(data.get() + size, 0, chunk_padding);
}

Result<FileChunks> FileChunks::open(std::string_view path, std::size_t chunk_size) {
    auto file = open_for_reading(path);
    if (!file) return file.take_error();
    FileChunks source;
    source.file_ = std::move(file.value());
    source.file_size_ = regular_file_size(source.file_);
    source.chunk_size_ = chunk_size;
    return source;
}

// Every error a read reports carries the number of bytes read from the file before it,
// which is where a ByteSource, having consumed its buffer, reports it too.
Result<std::size_t> FileChunks::read_some(std::uint8_t* dst, std::size_t n) {
    const std::uint64_t at = counter_ + (len_ - pos_);
    if (const int err = std::exchange(deferred_errno_, 0)) return MatrixError::io_os(err).at(at);
    n = std::min(n, max_system_io_size);
    for (;;) {
        const ssize_t got = ::read(file_.get(), dst, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        const int err = errno;
        if (err != EINTR || stop_after_interrupt()) return MatrixError::io_os(err).at(at);
    }
}

void FileChunks::move_to_chunk_with_room(std::size_t n) {
    const std::size_t unread = len_ - pos_;
    // A small file gets a chunk of its own size, not a whole one.
    std::size_t size = chunk_size_;
    if (file_size_) {
        const std::uint64_t read_so_far = counter_ + unread;
        const std::uint64_t rest = *file_size_ > read_so_far ? *file_size_ - read_so_far : 0;
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, std::max<std::uint64_t>(rest + unread, 4096)));
    }
    const std::size_t wanted = std::max(size, n);
    FileChunk* next = nullptr;
    for (const auto& chunk : chunks_) {
        if (chunk.get() != current_ && chunk->capacity >= wanted && chunk->users.load(std::memory_order_acquire) == 0) {
            next = chunk.get();
            break;
        }
    }
    if (next == nullptr) {
        // Chunks too small for a record this long are not kept.
        std::erase_if(chunks_, [&](const std::unique_ptr<FileChunk>& chunk) {
            return chunk.get() != current_ && chunk->capacity < wanted &&
                   chunk->users.load(std::memory_order_acquire) == 0;
        });
        chunks_.push_back(std::make_unique<FileChunk>(wanted));
        next = chunks_.back().get();
    }
    if (unread) std::memcpy(next->data.get(), current_->data.get() + pos_, unread);
    current_ = next;
    pos_ = 0;
    len_ = unread;
    ++serial_;
}

Result<bool> FileChunks::ensure(std::size_t n) {
    if (len_ - pos_ >= n) return true;
    if (current_ == nullptr || current_->capacity - pos_ < n) move_to_chunk_with_room(n);
    // Reads fill the chunk as far as they go: few, large reads.
    while (len_ - pos_ < n) {
        auto got = read_some(current_->data.get() + len_, current_->capacity - len_);
        if (!got) return got.take_error();
        if (got.value() == 0) return false;
        len_ += got.value();
    }
    return true;
}

bool FileChunks::can_supply(std::uint64_t n) {
    if (file_size_) return *file_size_ >= counter_ && *file_size_ - counter_ >= n;
    if (deferred_errno_ != 0) return true;
    auto there = ensure(static_cast<std::size_t>(n));
    if (!there) {
        // Reported when the reads reach it, as a ByteSource does.
        deferred_errno_ = there.error().os_code();
        return true;
    }
    return there.value();
}

Status FileChunks::read_exact(std::span<std::uint8_t> dst) {
    auto there = ensure(dst.size());
    if (!there) return there.take_error();
    if (!there.value()) {
        counter_ += len_ - pos_;
        pos_ = len_;
        return MatrixError::unexpected_eof().at(counter_);
    }
    if (!dst.empty()) std::memcpy(dst.data(), current_->data.get() + pos_, dst.size());
    pos_ += dst.size();
    counter_ += dst.size();
    return {};
}

Result<std::span<const std::uint8_t>> FileChunks::read_view(std::size_t n, std::vector<std::uint8_t>&) {
    auto there = ensure(n);
    if (!there) return there.take_error();
    if (!there.value()) {
        counter_ += len_ - pos_;
        pos_ = len_;
        return MatrixError::unexpected_eof().at(counter_);
    }
    std::span<const std::uint8_t> view(current_->data.get() + pos_, n);
    pos_ += n;
    counter_ += n;
    return view;
}

Result<bool> FileChunks::has_more() {
    auto there = ensure(1);
    if (!there) return there.take_error();
    return there.value();
}

std::size_t FileChunks::stable_after(const std::uint8_t* end) const noexcept {
    const std::uint8_t* base = current_->data.get();
    const auto used = static_cast<std::size_t>(end - base);
    // Bytes up to len_ are never written again; the padding never is. Bytes in between
    // may still receive file data.
    if (len_ == current_->capacity) return current_->capacity + chunk_padding - used;
    return len_ - used;
}

}  // namespace orvanel
