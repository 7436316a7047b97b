#include "core/source.hpp"

#include "core/interrupt.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvanel {

Result<ByteSource> ByteSource::open_file(std::string_view path) {
    auto file = open_for_reading(path);
    if (!file) return file.take_error();
    ByteSource source;
    source.is_file_ = true;
    source.file_ = std::move(file.value());
    source.file_size_ = regular_file_size(source.file_);
    source.buffer_.resize(read_buffer_size);
    return source;
}

ByteSource ByteSource::from_memory(std::span<const std::uint8_t> data) noexcept {
    ByteSource source;
    source.mem_ = data;
    return source;
}

bool ByteSource::can_supply(std::uint64_t n) {
    if (!is_file_) return mem_.size() - mem_pos_ >= n;
    if (file_size_) return *file_size_ >= counter_ && *file_size_ - counter_ >= n;
    if (buf_len_ - buf_pos_ >= n) return true;
    // Move the unread bytes to the front and read on until n bytes are buffered.
    std::memmove(buffer_.data(), buffer_.data() + buf_pos_, buf_len_ - buf_pos_);
    buf_len_ -= buf_pos_;
    buf_pos_ = 0;
    if (buffer_.size() < n) buffer_.resize(n);
    while (buf_len_ < n && deferred_errno_ == 0) {
        auto got = read_some(buffer_.data() + buf_len_, n - buf_len_);
        if (!got) {
            deferred_errno_ = got.error().os_code();
            return true;
        }
        if (got.value() == 0) return false;
        buf_len_ += got.value();
    }
    return true;
}

Result<std::size_t> ByteSource::read_some(std::uint8_t* dst, std::size_t n) {
    if (const int err = std::exchange(deferred_errno_, 0)) return MatrixError::io_os(err).at(counter_);
    n = std::min(n, max_system_io_size);
    for (;;) {
        const ssize_t got = ::read(file_.get(), dst, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        const int err = errno;
        if (err != EINTR || stop_after_interrupt()) return MatrixError::io_os(err).at(counter_);
    }
}

Status ByteSource::fill_buffer() {
    auto got = read_some(buffer_.data(), read_buffer_size);
    if (!got) return got.take_error();
    buf_pos_ = 0;
    buf_len_ = got.value();
    return {};
}

Status ByteSource::read_exact(std::span<std::uint8_t> dst) {
    std::uint8_t* out = dst.data();
    std::size_t need = dst.size();
    if (!is_file_) {
        const std::size_t take = std::min(need, mem_.size() - mem_pos_);
        if (take) std::memcpy(out, mem_.data() + mem_pos_, take);
        mem_pos_ += take;
        counter_ += take;
        if (take < need) return MatrixError::unexpected_eof().at(counter_);
        return {};
    }
    while (need > 0) {
        if (buf_pos_ < buf_len_) {
            const std::size_t take = std::min(need, buf_len_ - buf_pos_);
            std::memcpy(out, buffer_.data() + buf_pos_, take);
            buf_pos_ += take;
            counter_ += take;
            out += take;
            need -= take;
            continue;
        }
        if (need >= read_buffer_size) {
            // A large request bypasses the buffer and lands in place.
            auto got = read_some(out, need);
            if (!got) return got.take_error();
            if (got.value() == 0) return MatrixError::unexpected_eof().at(counter_);
            counter_ += got.value();
            out += got.value();
            need -= got.value();
            continue;
        }
        ORVANEL_TRY(fill_buffer());
        if (buf_len_ == 0) return MatrixError::unexpected_eof().at(counter_);
    }
    return {};
}

Result<std::span<const std::uint8_t>> ByteSource::read_view(std::size_t n, std::vector<std::uint8_t>& spill) {
    if (!is_file_) {
        const std::size_t avail = mem_.size() - mem_pos_;
        if (avail < n) {
            mem_pos_ = mem_.size();
            counter_ += avail;
            return MatrixError::unexpected_eof().at(counter_);
        }
        std::span<const std::uint8_t> view = mem_.subspan(mem_pos_, n);
        mem_pos_ += n;
        counter_ += n;
        return view;
    }
    if (buf_len_ - buf_pos_ >= n) {
        std::span<const std::uint8_t> view(buffer_.data() + buf_pos_, n);
        buf_pos_ += n;
        counter_ += n;
        return view;
    }
    if (spill.size() < n) spill.resize(n);
    ORVANEL_TRY(read_exact({spill.data(), n}));
    return std::span<const std::uint8_t>(spill.data(), n);
}

Result<bool> ByteSource::has_more() {
    if (!is_file_) return mem_pos_ < mem_.size();
    if (buf_pos_ < buf_len_) return true;
    ORVANEL_TRY(fill_buffer());
    return buf_len_ > 0;
}

}  // namespace orvanel
