#include "core/posix_file.hpp"

#include <cerrno>
#include <unistd.h>

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

}  // namespace orvanel
