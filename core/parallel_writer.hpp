// Writing a matrix straight from its values wherever they are (any layout of rows and
// columns), with the rows encoded by a pool of threads and written in order by the
// calling thread. The outcome is that of the serial writer for any number of threads:
// the same bytes and the same error (the writes themselves are larger: see RecordOutput).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/header.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "core/sink.hpp"

namespace orvanel {

// Where one table's values are: row o starts at data + o * row_stride, and its values
// are col_stride bytes apart (either stride may be negative or zero). Rows that are not
// plain aligned runs of doubles are copied into a scratch row before they are encoded.
struct StridedTable {
    const char* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

// What went wrong beyond the error itself: the record whose payload was too large.
struct WriteReport {
    std::uint64_t failed_record = FirstFailure::none;
};

// When the written file goes out to disk. A file that will be renamed over another is
// written out at the rename on some file systems (ext4 does so, so that the replaced
// file's name never points to a file whose blocks were never written), all at once and
// on the thread that renames. `while_writing` starts the write-back of each few
// megabytes as soon as they are written instead: the same work, done where it overlaps
// the encoding and while the pages are still in the processor's caches. A file left to
// the kernel replaces no other: where it makes the writes cheaper, its blocks are
// reserved a few megabytes ahead of them, and those past its end given back at the end.
enum class Writeback { when_the_kernel_chooses, while_writing };

// Both check the header (validate_for_writing) before anything is opened or written;
// `tables` has one entry per table of the header, each of Z rows of Z values.
//
// Writes the file at `path` in place: opened for writing, created with mode 0666 less
// the umask or truncated (the caller has chosen a path nobody reads from meanwhile: a
// fresh temporary file, or a FIFO or device).
Status write_values_to_file(std::string_view path, const MatrixHeader& header, std::span<const StridedTable> tables,
                            const ParallelSettings& settings, WriteReport& report,
                            Writeback writeback = Writeback::when_the_kernel_chooses);
// The file's bytes in order, gathered in a few large blocks as the writer hands them
// over: the header, then the records of each batch of rows once they are encoded. The
// blocks are never joined here: the caller makes the one block it needs and fills it
// with move_into. Large blocks ask for huge pages, so that taking in the file costs few
// page faults and the batches' own buffers are reused from one batch to the next.
//
// Or the bytes go straight into one region the caller owns, which has room for the
// largest file of the header (max_file_size): nothing is copied afterwards.
class WrittenPieces {
public:
    WrittenPieces() = default;
    explicit WrittenPieces(std::span<std::uint8_t> region) noexcept : region_(region), in_region_(true) {}

    // The number of bytes appended so far.
    std::size_t size() const noexcept { return size_; }
    void append(std::span<const std::uint8_t> bytes);
    // At least `bytes` bytes of room after the last byte appended, in one block, for
    // bytes written in place; commit keeps the first of them. Where a block has too
    // little room left, its end stays unused.
    std::uint8_t* room(std::size_t bytes);
    void commit(std::size_t bytes) noexcept;
    // Copies the bytes to `out` (`size()` bytes), on up to `threads` threads, freeing
    // each block once it is copied.
    void move_into(std::uint8_t* out, unsigned threads);

private:
    // Blocks double in size up to a limit: a small file takes little, a large one few
    // blocks, of which only the last is partly filled.
    std::size_t next_block_capacity() const noexcept {
        return std::clamp(size_, std::size_t{1} << 20, std::size_t{16} << 20);
    }

    struct Block {
        ByteBlock data;
        std::size_t used = 0;
        std::size_t capacity = 0;
    };
    // Where a region cannot take `bytes` more: never, in a region of max_file_size.
    void check_region_room(std::size_t bytes) const;

    std::vector<Block> blocks_;
    std::size_t size_ = 0;
    std::span<std::uint8_t> region_;
    bool in_region_ = false;
};

// A file written a block of origins at a time, in order: each block holds every table's
// rows of its origins. Its bytes are those write_values_to_file writes for the same
// values and its errors those of the serial writer fed row by row (a row too many:
// writer_finished; a row of the wrong length: zone_count_mismatch; rows missing at the
// end: incomplete_matrix), except that a block that would go past the last origin is
// refused whole. After a failure nothing more is written.
class RowStreamWriter {
public:
    // Checks the header, then opens the file in place and writes the header.
    static Result<RowStreamWriter> open(std::string_view path, MatrixHeader header,
                                        Writeback writeback = Writeback::when_the_kernel_chooses);

    RowStreamWriter(RowStreamWriter&&) noexcept;
    ~RowStreamWriter();

    // The next `origins` origins; `tables` as for write_values_to_file, row 0 of each
    // being the first of these origins; `row_length` the number of values of each row.
    Status write_origins(std::span<const StridedTable> tables, std::uint32_t origins, std::uint64_t row_length,
                         const ParallelSettings& settings, WriteReport& report);
    // Checks that every row was written, writes what is buffered and closes the file.
    Status finish();
    std::uint32_t origins_left() const noexcept;
    const MatrixHeader& header() const noexcept { return header_; }

    struct State;

private:
    RowStreamWriter(MatrixHeader header, std::unique_ptr<State> state) noexcept;
    MatrixHeader header_;
    std::unique_ptr<State> state_;
    std::uint32_t origins_written_ = 0;
    bool failed_ = false;
};

Result<WrittenPieces> write_values_to_memory(const MatrixHeader& header, std::span<const StridedTable> tables,
                                             const ParallelSettings& settings, WriteReport& report);

// The most bytes a file of `header` can take while it is written (every record at the
// most its row can take); none where that does not fit in a size_t.
std::optional<std::size_t> max_file_size(const MatrixHeader& header);

// Writes the file into `region`, which has max_file_size(header) bytes, and returns how
// many of them it holds: the bytes and errors of write_values_to_memory.
Result<std::size_t> write_values_to_region(const MatrixHeader& header, std::span<const StridedTable> tables,
                                           const ParallelSettings& settings, WriteReport& report,
                                           std::span<std::uint8_t> region);

}  // namespace orvanel
