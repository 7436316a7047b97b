#include "core/file_replace.hpp"

#include "core/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvanel {

namespace {

constexpr int max_link_depth = 40;
constexpr mode_t new_file_mode = 0666;

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the path of the file that will be replaced.
Result<std::string> resolve_links(std::string path) {
    for (int depth = 0; depth < max_link_depth; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        const ssize_t len = ::readlink(path.c_str(), target.data(), target.size());
        if (len < 0) return MatrixError::io_os(errno);
        target.resize(static_cast<std::size_t>(len));
        path = (!target.empty() && target[0] == '/') ? target : directory_of(path) + "/" + target;
    }
    return MatrixError::io_os(ELOOP);
}

// Opening a FIFO for writing blocks until a reader comes; a signal may end the wait.
// A regular file is emptied only when it holds something: truncating an empty file
// (the fresh temporary file of a replacement) would make some file systems write the
// whole file out when it is closed, as they do for a file rewritten in place.
Result<FileHandle> open_in_place(const std::string& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, new_file_mode);
        if (fd >= 0) {
            FileHandle file(fd);
            struct stat st {};
            if (::fstat(fd, &st) != 0) return MatrixError::io_os(errno);
            if (S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) return MatrixError::io_os(errno);
            return file;
        }
        const int err = errno;
        if (err != EINTR || stop_after_interrupt()) return MatrixError::io_os(err);
    }
}

// A temporary name is ".", the target's name, ".", up to 10 digits and ".tmp"; the
// target's name is shortened so that the whole fits the longest name a directory
// takes, cut between characters so that UTF-8 text stays valid.
constexpr std::size_t max_name_length = NAME_MAX;
constexpr std::size_t temp_name_extra = 1 + 1 + 10 + 4;

std::string temp_name_stem(const std::string& base) {
    std::size_t keep = std::min(base.size(), max_name_length - temp_name_extra);
    while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
    return base.substr(0, keep);
}

// Creates a fresh hidden file beside `target`; permission bits 0666 less the umask.
int create_temp(const std::string& target, std::string& temp_path) {
    // Threads write files at the same time (with the interpreter lock released).
    static std::atomic<unsigned> counter{0};
    const std::string prefix = directory_of(target) + "/." + temp_name_stem(base_of(target)) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long serial = counter.fetch_add(1, std::memory_order_relaxed) + 1ul;
        const unsigned long tag = static_cast<unsigned long>(::getpid()) * 1000003ul ^
                                  static_cast<unsigned long>(std::time(nullptr)) * 7919ul ^ serial * 104729ul;
        temp_path = prefix + std::to_string(tag % 1000000007ul) + ".tmp";
        const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
        if (fd >= 0) return fd;
        const int err = errno;
        if ((err != EEXIST && err != EINTR) || (err == EINTR && stop_after_interrupt())) {
            errno = err;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : file_(std::move(other.file_)),
      temp_path_(std::move(other.temp_path_)),
      target_path_(std::move(other.target_path_)) {
    other.temp_path_.clear();
}

FileReplacement::~FileReplacement() {
    if (!temp_path_.empty()) {
        (void)file_.close();
        ::unlink(temp_path_.c_str());
    }
}

Result<FileReplacement> FileReplacement::begin(std::string_view path) {
    auto c_path = path_to_c_string(path);
    if (!c_path) return c_path.take_error();
    auto target = resolve_links(std::move(c_path.value()));
    if (!target) return target.take_error();

    FileReplacement replacement;
    replacement.target_path_ = std::move(target.value());
    struct stat st {};
    const bool exists = ::stat(replacement.target_path_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        auto handle = open_in_place(replacement.target_path_);
        if (!handle) return handle.take_error();
        replacement.file_ = std::move(handle.value());
        return replacement;
    }

    const int fd = create_temp(replacement.target_path_, replacement.temp_path_);
    if (fd < 0) {
        const int err = errno;
        replacement.temp_path_.clear();
        // A writable file in a directory we may not add to is still written, in place.
        if (exists && (err == EACCES || err == EPERM || err == EROFS)) {
            auto handle = open_in_place(replacement.target_path_);
            if (!handle) return handle.take_error();
            replacement.file_ = std::move(handle.value());
            return replacement;
        }
        return MatrixError::io_os(err);
    }
    replacement.file_ = FileHandle(fd);
    if (exists) (void)::fchmod(fd, st.st_mode & 07777);
    return replacement;
}

Result<FileHandle> open_for_writing_in_place(std::string_view path) {
    auto c_path = path_to_c_string(path);
    if (!c_path) return c_path.take_error();
    return open_in_place(c_path.value());
}

Status FileReplacement::commit() {
    ORVANEL_TRY(file_.close());
    if (temp_path_.empty()) return {};
    if (::rename(temp_path_.c_str(), target_path_.c_str()) != 0) return MatrixError::io_os(errno);
    temp_path_.clear();
    return {};
}

}  // namespace orvanel
