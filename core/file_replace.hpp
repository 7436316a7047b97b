// Writing a file so that a failure never destroys what was at its path before.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/posix_file.hpp"

namespace orvanel {

// A regular file (or a path where none exists yet) is written to a temporary file in
// the same directory and renamed over the target on commit; a symbolic link is followed
// and the file it points to replaced. Anything else (a FIFO, a device) is written in
// place. Without a commit the temporary file is removed and the target is untouched.
class FileReplacement {
public:
    static Result<FileReplacement> begin(std::string_view path);

    FileReplacement(FileReplacement&& other) noexcept;
    FileReplacement& operator=(FileReplacement&&) = delete;
    FileReplacement(const FileReplacement&) = delete;
    ~FileReplacement();

    FileHandle& handle() noexcept { return file_; }
    // Closes the file and moves it into place.
    Status commit();

private:
    FileReplacement() = default;
    FileHandle file_;
    std::string temp_path_;    // empty when writing in place
    std::string target_path_;
};

// Opens `path` for writing as it is: created with mode 0666 less the umask, or
// truncated; a symbolic link is followed. Waits for a reader of a FIFO (a signal may end
// the wait, see core/interrupt.hpp).
Result<FileHandle> open_for_writing_in_place(std::string_view path);

}  // namespace orvanel
