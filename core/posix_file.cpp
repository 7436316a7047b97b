#include "core/posix_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "core/interrupt.hpp"

namespace orvanel {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

// close(2) is never retried: on Linux the descriptor is gone even when the call was
// interrupted, and the data has reached the kernel.
Status FileHandle::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return MatrixError::io_os(errno);
    return {};
}

Result<std::string> path_to_c_string(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return MatrixError::io_text("file name contained an unexpected NUL byte");
    return std::string(path);
}

Result<FileHandle> open_for_reading(std::string_view path) {
    auto c_path = path_to_c_string(path);
    if (!c_path) return c_path.take_error();
    for (;;) {
        const int fd = ::open(c_path.value().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return FileHandle(fd);
        const int err = errno;
        if (err != EINTR || stop_after_interrupt()) return MatrixError::io_os(err);
    }
}

std::optional<std::uint64_t> regular_file_size(const FileHandle& file) noexcept {
    struct stat st {};
    if (::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
    return std::nullopt;
}

void start_writeback(const FileHandle& file, std::uint64_t offset, std::uint64_t length) noexcept {
    (void)::sync_file_range(file.get(), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                            SYNC_FILE_RANGE_WRITE);
}

bool benefits_from_reserved_blocks(const FileHandle& file) noexcept { return is_regular_file_on_ext(file.get()); }

bool is_regular_file_on_ext(int fd) noexcept {
    // ext2, ext3 and ext4 share one magic number.
    struct stat st {};
    struct statfs fs {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fstatfs(fd, &fs) == 0 && fs.f_type == EXT4_SUPER_MAGIC;
}

bool reserve_blocks(const FileHandle& file, std::uint64_t offset, std::uint64_t length) noexcept {
    // fallocate(2) itself, never posix_fallocate, which writes the blocks where the file
    // system cannot reserve them.
    return ::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
}

void release_reserved_blocks(const FileHandle& file) noexcept {
    // Cutting a file to its own size frees what lies past its end.
    struct stat st {};
    if (::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) (void)::ftruncate(file.get(), st.st_size);
}

}  // namespace orvanel
