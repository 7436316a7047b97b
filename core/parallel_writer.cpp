#include "core/parallel_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/byte_vector.hpp"
#include "core/encode.hpp"
#include "core/file_replace.hpp"
#include "core/framing.hpp"
#include "core/memory.hpp"
#include "core/posix_file.hpp"
#include "core/writer.hpp"
#include "core/worker_pool.hpp"

namespace orvanel {

namespace {

// The texts of a write the file accepts no byte of, as the serial writer has them.
constexpr const char* buffered_write_failed = "failed to write the buffered data";
constexpr const char* direct_write_failed = "failed to write whole buffer";

// The most one row record of `zones` values takes while it is encoded.
constexpr std::size_t record_room_for(std::size_t zones) noexcept {
    return record_header_size + max_payload_size_for(zones);
}

// Writes one row record, header and payload, at `out` (record_room_for bytes), encoding
// the payload in place; returns the payload's size. When that is over the limit the
// record is incomplete and the caller drops it.
std::size_t encode_record_at(TypeCode type_code, std::span<const double> row, std::uint16_t origin,
                             std::uint8_t table, PlaneScratch& scratch, std::uint8_t* out) {
    const std::size_t payload_size = encode_payload_into(type_code, row, scratch, out + record_header_size);
    if (payload_size <= max_payload_size) {
        fill_record_header(std::span<std::uint8_t, record_header_size>(out, record_header_size), origin, table,
                           payload_size);
    }
    return payload_size;
}

// Appends one row record to `out`, as encode_record_at.
std::size_t append_record(TypeCode type_code, std::span<const double> row, std::uint16_t origin, std::uint8_t table,
                          PlaneScratch& scratch, ByteVector& out) {
    const std::size_t start = out.size();
    out.resize(start + record_room_for(row.size()));
    const std::size_t payload_size = encode_record_at(type_code, row, origin, table, scratch, out.data() + start);
    out.resize(start + record_header_size + payload_size);
    return payload_size;
}

// Row `origin` (0-based) of a table as doubles: in place when it is an aligned run of
// doubles, else copied into `scratch_row` (bytewise: the values need not be aligned).
std::span<const double> row_of(const StridedTable& table, std::size_t origin, std::size_t zones, double* scratch_row) {
    const char* start = table.data + static_cast<std::ptrdiff_t>(origin) * table.row_stride;
    if ((table.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) || zones == 1) &&
        reinterpret_cast<std::uintptr_t>(start) % alignof(double) == 0) {
        return {reinterpret_cast<const double*>(start), zones};
    }
    for (std::size_t d = 0; d < zones; ++d) {
        std::memcpy(scratch_row + d, start + static_cast<std::ptrdiff_t>(d) * table.col_stride, sizeof(double));
    }
    return {scratch_row, zones};
}

// The records of consecutive rows, encoded by one thread; `ends` marks where each
// record ends in `bytes`.
struct EncodedBatch {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    ByteVector bytes;
    std::vector<std::uint32_t> ends;
    std::atomic<bool> done{false};
};

// Hands the file's bytes to a file, or to memory as pieces. The header is written as
// the serial writer writes it; records go through a staging buffer that is written in
// whole blocks ending at multiples of file_block_size in the file: large, aligned
// writes let the page cache take the file in large folios, at a fraction of the cost of
// many small writes that start and end inside a page. Where the writes fall changes
// neither the bytes nor the errors: a write error carries no offset.
class RecordOutput {
public:
    static constexpr std::size_t file_block_size = std::size_t{1} << 20;
    // How much is written before its write-back is started, under Writeback::while_writing.
    static constexpr std::size_t writeback_step = 8 * file_block_size;

    // Blocks reserved ahead of the writes, at a time, where that makes the writes cheaper.
    static constexpr std::size_t reserve_step = 8 * file_block_size;

    // A file not written out while it is written is not renamed over another: its blocks
    // may be reserved ahead. A file that replaces another keeps delayed allocation, on
    // which the file system's write-out at the rename relies.
    explicit RecordOutput(ByteSink& sink, Writeback writeback = Writeback::when_the_kernel_chooses)
        : sink_(&sink),
          writeback_(writeback),
          reserve_(!sink.is_memory() && writeback == Writeback::when_the_kernel_chooses &&
                   benefits_from_reserved_blocks(sink.handle())) {}
    explicit RecordOutput(WrittenPieces& pieces) : pieces_(&pieces) {}
    RecordOutput(const RecordOutput&) = delete;
    RecordOutput& operator=(const RecordOutput&) = delete;
    // A write that stopped part way gives back its reserved blocks too.
    ~RecordOutput() { release_reserved(); }

    Status header(std::span<const std::uint8_t> bytes) {
        if (pieces_) {
            pieces_->append(bytes);
            return {};
        }
        ORVANEL_TRY(sink_->write_all(bytes, direct_write_failed));
        written_ += bytes.size();
        return {};
    }

    // The first `count` records of a batch, copied out: the batch's memory is reused.
    Status records(EncodedBatch& batch, std::size_t count) {
        if (count == 0) return {};
        std::span<const std::uint8_t> bytes(batch.bytes.data(), batch.ends[count - 1]);
        if (pieces_) {
            pieces_->append(bytes);
            return {};
        }
        ensure_staging(file_block_size);
        while (!bytes.empty()) {
            // Room up to the next block boundary of the file.
            const std::size_t room = file_block_size - (written_ + buffered_) % file_block_size;
            const std::size_t n = std::min(room, bytes.size());
            std::memcpy(staging_.get() + buffered_, bytes.data(), n);
            buffered_ += n;
            bytes = bytes.subspan(n);
            if (n == room) ORVANEL_TRY(flush());
        }
        return {};
    }

    // Room at the end of the output for one record of at most `bytes` bytes, which the
    // caller encodes in place and keeps with keep_record: a record goes to its block of
    // the pieces, or to the staging buffer, with no buffer in between.
    std::uint8_t* record_room(std::size_t bytes) {
        if (pieces_) return pieces_->room(bytes);
        ensure_staging(file_block_size + bytes);
        return staging_.get() + buffered_;
    }

    // Keeps the `bytes` bytes just written at record_room; what reaches the next block
    // boundary of the file is written.
    Status keep_record(std::size_t bytes) {
        if (pieces_) {
            pieces_->commit(bytes);
            return {};
        }
        buffered_ += bytes;
        const std::size_t room = file_block_size - written_ % file_block_size;
        if (buffered_ < room) return {};
        const std::size_t rest = buffered_ - room;
        buffered_ = 0;
        ORVANEL_TRY(write_staged(room));
        std::memmove(staging_.get(), staging_.get() + room, rest);
        buffered_ = rest;
        return {};
    }

    // Writes what is staged.
    Status flush() {
        if (pieces_ || buffered_ == 0) return {};
        return write_staged(std::exchange(buffered_, 0));
    }

    // Gives back the reserved blocks past the end of the file; before the file is closed.
    void release_reserved() noexcept {
        if (sink_ && reserved_ > written_ && sink_->handle()) release_reserved_blocks(sink_->handle());
        reserved_ = 0;
    }

private:
    // Writes the first `n` staged bytes.
    Status write_staged(std::size_t n) {
        // Only whole blocks reserve: a small file is written as it comes.
        if (reserve_ && n >= file_block_size / 2 && written_ + n > reserved_) {
            reserve_ = reserve_blocks(sink_->handle(), reserved_, reserve_step);
            if (reserve_) reserved_ += reserve_step;
        }
        written_ += n;
        ORVANEL_TRY(sink_->write_all({staging_.get(), n}, buffered_write_failed));
        if (writeback_ == Writeback::while_writing && written_ - writeback_from_ >= writeback_step) {
            start_writeback(sink_->handle(), writeback_from_, written_ - writeback_from_);
            writeback_from_ = written_;
        }
        return {};
    }

    // A staging buffer of at least `capacity` bytes, keeping what is staged.
    void ensure_staging(std::size_t capacity) {
        if (staging_capacity_ >= capacity) return;
        auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        if (buffered_ > 0) std::memcpy(larger.get(), staging_.get(), buffered_);
        staging_ = std::move(larger);
        staging_capacity_ = capacity;
    }

    ByteSink* sink_ = nullptr;
    WrittenPieces* pieces_ = nullptr;
    Writeback writeback_ = Writeback::when_the_kernel_chooses;
    bool reserve_ = false;
    std::uint64_t reserved_ = 0;        // blocks are reserved up to here
    std::uint64_t writeback_from_ = 0;  // where the write-back not yet started begins
    std::uint64_t written_ = 0;         // bytes handed to the file so far
    std::size_t buffered_ = 0;          // staged bytes, not yet written
    std::unique_ptr<std::uint8_t[]> staging_;
    std::size_t staging_capacity_ = 0;
};

class WriteRun {
public:
    // Writes records [first_record, first_record + records) of the file, whose rows are
    // those of origins first_record / T + 1 on: row 0 of `tables` is that origin's.
    WriteRun(const MatrixHeader& header, std::span<const StridedTable> tables, const ParallelSettings& settings,
             std::uint64_t first_record, std::uint64_t records)
        : tables_(tables), zones_(header.zone_count), table_count_(header.table_count()), records_(records),
          first_record_(first_record), first_origin_(first_record / std::max<std::size_t>(header.table_count(), 1)),
          settings_(settings), scratch_(zones_) {
        type_codes_.reserve(header.tables.size());
        for (const TableInfo& table : header.tables) type_codes_.push_back(table.type_code);
    }

    Status run(RecordOutput& output, const MatrixHeader& header, WriteReport& report) {
        {
            std::vector<std::uint8_t> bytes;
            emit_header(header, bytes);
            ORVANEL_TRY(output.header(bytes));
        }
        ORVANEL_TRY(run_records(output, report));
        return output.flush();
    }

    // The records alone, leaving in the output's buffer what does not fill it.
    Status run_records(RecordOutput& output, WriteReport& report) {
        const std::size_t z = zones_;
        const unsigned threads = std::min(settings_.threads_for(records_ * z), max_parallel_threads);
        if (threads <= 1) return run_records_serially(output, report);
        // Batches in work or waiting to be written: their encoded bytes are the memory
        // the write needs beyond the values. They outlive the pool, whose threads use them.
        std::vector<EncodedBatch> batches(2 * threads);
        WorkerPool pool(threads - 1);
        WorkerPool* workers = pool.helpers() > 0 ? &pool : nullptr;
        const std::size_t slots = workers ? 2 * (workers->helpers() + 1) : 1;
        const std::uint64_t per_batch = std::max<std::uint64_t>(1, settings_.batch_cells / z);
        const std::uint64_t batch_count = (records_ + per_batch - 1) / per_batch;

        InterruptPoll poll;
        std::uint64_t next_submit = 0;
        Status outcome;
        for (std::uint64_t next_write = 0; next_write < batch_count; ++next_write) {
            if (poll.stop_requested()) {
                stop_.store(true, std::memory_order_relaxed);
                outcome = interrupted_error();
                break;
            }
            while (next_submit < batch_count && next_submit - next_write < slots &&
                   next_submit * per_batch <= failure_.record()) {
                EncodedBatch& batch = batches[next_submit % slots];
                batch.first = next_submit * per_batch;
                batch.end = std::min(records_, batch.first + per_batch);
                batch.done.store(false, std::memory_order_relaxed);
                ++next_submit;
                if (workers) {
                    workers->submit([this, &batch] { encode(batch); });
                } else {
                    encode(batch);
                }
            }
            EncodedBatch& batch = batches[next_write % slots];
            while (!batch.done.load(std::memory_order_acquire)) {
                if (!workers->run_one()) workers->wait_for_progress();
            }
            if (thrown_.load(std::memory_order_acquire)) break;
            const std::uint64_t failed = failure_.record();
            const bool fails_here = failed < batch.end;
            const std::size_t count = static_cast<std::size_t>((fails_here ? failed : batch.end) - batch.first);
            if (Status written = output.records(batch, count); !written) {
                outcome = std::move(written);
                break;
            }
            if (fails_here) {
                // As the serial writer, whose rows buffered before the failing one still
                // reach the sink when it is dropped.
                (void)output.flush();
                report.failed_record = first_record_ + failed;
                outcome = failure_.take();
                break;
            }
        }
        stop_.store(true, std::memory_order_relaxed);  // whatever is still in work is not needed
        pool.wait_all();
        if (thrown_.load(std::memory_order_acquire)) std::rethrow_exception(exception_);
        return outcome;
    }

private:
    // One thread: each record is encoded straight into the output, in file order.
    Status run_records_serially(RecordOutput& output, WriteReport& report) {
        const std::size_t z = zones_;
        const std::uint64_t per_poll = std::max<std::uint64_t>(1, settings_.batch_cells / z);
        ScratchPool::Lease lease = scratch_.lend();
        InterruptPoll poll;
        for (std::uint64_t k = 0; k < records_; ++k) {
            if (k % per_poll == 0 && poll.stop_requested()) return interrupted_error();
            const auto origin = static_cast<std::size_t>((first_record_ + k) / table_count_);
            const auto table = static_cast<std::size_t>((first_record_ + k) % table_count_);
            const std::span<const double> row = row_of(tables_[table], origin - first_origin_, z, lease.row.get());
            std::uint8_t* out = output.record_room(record_room_for(z));
            const std::size_t payload_size =
                encode_record_at(type_codes_[table], row, static_cast<std::uint16_t>(origin + 1),
                                 static_cast<std::uint8_t>(table + 1), *lease.scratch, out);
            if (payload_size > max_payload_size) {
                // As the serial writer, whose rows buffered before the failing one still
                // reach the sink when it is dropped.
                (void)output.flush();
                report.failed_record = first_record_ + k;
                return MatrixError::payload_too_large(payload_size);
            }
            ORVANEL_TRY(output.keep_record(record_header_size + payload_size));
        }
        return {};
    }

    void encode(EncodedBatch& batch) {
        try {
            encode_rows(batch);
        } catch (...) {
            std::lock_guard lock(exception_mutex_);
            if (!exception_) exception_ = std::current_exception();
            stop_.store(true, std::memory_order_relaxed);
            thrown_.store(true, std::memory_order_release);
        }
        batch.done.store(true, std::memory_order_release);
    }

    void encode_rows(EncodedBatch& batch) {
        batch.bytes.clear();
        batch.ends.clear();
        ScratchPool::Lease lease = scratch_.lend();
        const std::size_t z = zones_;
        for (std::uint64_t k = batch.first; k < batch.end; ++k) {
            // Nothing after a known failure is written.
            if (stop_.load(std::memory_order_relaxed) || k > failure_.record()) return;
            // Origin-major, table-minor, whatever the layout of the values.
            const auto origin = static_cast<std::size_t>((first_record_ + k) / table_count_);
            const auto table = static_cast<std::size_t>((first_record_ + k) % table_count_);
            const std::span<const double> row = row_of(tables_[table], origin - first_origin_, z, lease.row.get());
            const std::size_t payload_size =
                append_record(type_codes_[table], row, static_cast<std::uint16_t>(origin + 1),
                              static_cast<std::uint8_t>(table + 1), *lease.scratch, batch.bytes);
            if (payload_size > max_payload_size) {
                failure_.offer(k, MatrixError::payload_too_large(payload_size));
                return;
            }
            batch.ends.push_back(static_cast<std::uint32_t>(batch.bytes.size()));
        }
    }

    std::span<const StridedTable> tables_;
    std::vector<TypeCode> type_codes_;
    std::size_t zones_;
    std::size_t table_count_;
    std::uint64_t records_;
    std::uint64_t first_record_;
    std::size_t first_origin_;
    const ParallelSettings& settings_;
    ScratchPool scratch_;
    FirstFailure failure_;
    std::atomic<bool> stop_{false};
    // Memory that ran out on a thread is reported on the calling thread.
    std::mutex exception_mutex_;
    std::exception_ptr exception_;
    std::atomic<bool> thrown_{false};
};

Status write_all_rows(const MatrixHeader& header, std::span<const StridedTable> tables, RecordOutput& output,
                      const ParallelSettings& settings, WriteReport& report) {
    if (tables.size() != header.tables.size())
        return MatrixError::shape_mismatch("stack tables", header.tables.size(), tables.size());
    WriteRun run(header, tables, settings, 0, std::uint64_t{header.zone_count} * header.table_count());
    return run.run(output, header, report);
}

}  // namespace

Status write_values_to_file(std::string_view path, const MatrixHeader& header, std::span<const StridedTable> tables,
                            const ParallelSettings& settings, WriteReport& report, Writeback writeback) {
    ORVANEL_TRY(validate_for_writing(header));
    auto handle = open_for_writing_in_place(path);
    if (!handle) return handle.take_error();
    ByteSink sink = ByteSink::file(std::move(handle.value()));
    RecordOutput output(sink, writeback);
    ORVANEL_TRY(write_all_rows(header, tables, output, settings, report));
    output.release_reserved();
    return sink.handle().close();
}

Result<WrittenPieces> write_values_to_memory(const MatrixHeader& header, std::span<const StridedTable> tables,
                                             const ParallelSettings& settings, WriteReport& report) {
    ORVANEL_TRY(validate_for_writing(header));
    WrittenPieces pieces;
    RecordOutput output(pieces);
    ORVANEL_TRY(write_all_rows(header, tables, output, settings, report));
    return pieces;
}

std::optional<std::size_t> max_file_size(const MatrixHeader& header) {
    std::vector<std::uint8_t> header_bytes;
    emit_header(header, header_bytes);
    const std::uint64_t records = std::uint64_t{header.zone_count} * header.table_count();
    const std::size_t per_record = record_room_for(header.zone_count);
    std::size_t records_room = 0;
    if (__builtin_mul_overflow(records, per_record, &records_room)) return std::nullopt;
    std::size_t total = 0;
    if (__builtin_add_overflow(records_room, header_bytes.size(), &total)) return std::nullopt;
    return total;
}

Result<std::size_t> write_values_to_region(const MatrixHeader& header, std::span<const StridedTable> tables,
                                           const ParallelSettings& settings, WriteReport& report,
                                           std::span<std::uint8_t> region) {
    ORVANEL_TRY(validate_for_writing(header));
    WrittenPieces pieces(region);
    RecordOutput output(pieces);
    ORVANEL_TRY(write_all_rows(header, tables, output, settings, report));
    return pieces.size();
}

struct RowStreamWriter::State {
    State(ByteSink s, Writeback writeback) : sink(std::move(s)), output(sink, writeback) {}
    ByteSink sink;
    RecordOutput output;
};

RowStreamWriter::RowStreamWriter(MatrixHeader header, std::unique_ptr<State> state) noexcept
    : header_(std::move(header)), state_(std::move(state)) {}
RowStreamWriter::RowStreamWriter(RowStreamWriter&&) noexcept = default;
RowStreamWriter::~RowStreamWriter() = default;

Result<RowStreamWriter> RowStreamWriter::open(std::string_view path, MatrixHeader header, Writeback writeback) {
    ORVANEL_TRY(validate_for_writing(header));
    auto handle = open_for_writing_in_place(path);
    if (!handle) return handle.take_error();
    auto state = std::make_unique<State>(ByteSink::file(std::move(handle.value())), writeback);
    std::vector<std::uint8_t> bytes;
    emit_header(header, bytes);
    ORVANEL_TRY(state->output.header(bytes));
    return RowStreamWriter(std::move(header), std::move(state));
}

std::uint32_t RowStreamWriter::origins_left() const noexcept { return header_.zone_count - origins_written_; }

Status RowStreamWriter::write_origins(std::span<const StridedTable> tables, std::uint32_t origins,
                                      std::uint64_t row_length, const ParallelSettings& settings, WriteReport& report) {
    if (failed_) return MatrixError::io_text("the writer failed before: nothing more can be written");
    if (tables.size() != header_.tables.size())
        return MatrixError::shape_mismatch("stack tables", header_.tables.size(), tables.size());
    // As the serial writer checks a row: a finished matrix first, then the row's length.
    if (origins > 0 && origins_left() == 0) return MatrixError::writer_finished();
    if (row_length != header_.zone_count) return MatrixError::zone_count_mismatch(header_.zone_count, row_length);
    if (origins > origins_left()) return MatrixError::writer_finished();
    if (origins == 0) return {};
    const std::uint64_t t = header_.table_count();
    // Failed until the block is through: a failure, or memory that ran out on the way
    // (thrown), leaves the file part written.
    failed_ = true;
    WriteRun run(header_, tables, settings, std::uint64_t{origins_written_} * t, std::uint64_t{origins} * t);
    ORVANEL_TRY(run.run_records(state_->output, report));
    failed_ = false;
    origins_written_ += origins;
    return {};
}

Status RowStreamWriter::finish() {
    if (failed_) return MatrixError::io_text("the writer failed before: nothing more can be written");
    const std::uint32_t expected = std::uint32_t{header_.zone_count} * header_.table_count();
    const std::uint32_t wrote = origins_written_ * std::uint32_t{header_.table_count()};
    if (wrote != expected) return MatrixError::incomplete_matrix(expected, wrote);
    failed_ = true;  // nothing more may be written either way
    ORVANEL_TRY(state_->output.flush());
    state_->output.release_reserved();
    return state_->sink.handle().close();
}

void WrittenPieces::check_region_room(std::size_t bytes) const {
    if (bytes > region_.size() - size_) throw std::length_error("the file outgrew the room reserved for it");
}

void WrittenPieces::append(std::span<const std::uint8_t> bytes) {
    if (in_region_) {
        check_region_room(bytes.size());
        std::memcpy(region_.data() + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
        return;
    }
    while (!bytes.empty()) {
        if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) {
            const std::size_t capacity = next_block_capacity();
            blocks_.push_back(Block{allocate_block(capacity), 0, capacity});
        }
        Block& block = blocks_.back();
        const std::size_t n = std::min(bytes.size(), block.capacity - block.used);
        std::memcpy(block.data.get() + block.used, bytes.data(), n);
        block.used += n;
        size_ += n;
        bytes = bytes.subspan(n);
    }
}

std::uint8_t* WrittenPieces::room(std::size_t bytes) {
    if (in_region_) {
        check_region_room(bytes);
        return region_.data() + size_;
    }
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < bytes) {
        const std::size_t capacity = std::max(next_block_capacity(), bytes);
        blocks_.push_back(Block{allocate_block(capacity), 0, capacity});
    }
    return blocks_.back().data.get() + blocks_.back().used;
}

void WrittenPieces::commit(std::size_t bytes) noexcept {
    if (!in_region_) blocks_.back().used += bytes;
    size_ += bytes;
}

void WrittenPieces::move_into(std::uint8_t* out, unsigned threads) {
    // Consecutive blocks per task, a few tasks per thread: the copy is mostly the page
    // faults of `out`, which threads take in parallel.
    const unsigned workers = std::clamp(threads, 1u, max_parallel_threads);
    const std::size_t share = std::max<std::size_t>(size_ / (4 * workers), std::size_t{1} << 20);
    std::optional<WorkerPool> pool;
    if (workers > 1 && size_ > share) pool.emplace(workers - 1);
    std::size_t first = 0;
    std::size_t offset = 0;
    while (first < blocks_.size()) {
        std::size_t last = first;
        std::size_t bytes = 0;
        while (last < blocks_.size() && (bytes == 0 || bytes + blocks_[last].used <= share)) {
            bytes += blocks_[last++].used;
        }
        auto copy = [this, out, first, last, offset] {
            std::size_t at = offset;
            for (std::size_t k = first; k < last; ++k) {
                std::memcpy(out + at, blocks_[k].data.get(), blocks_[k].used);
                at += blocks_[k].used;
                blocks_[k].data.reset();
            }
        };
        if (pool) {
            pool->submit(copy);
        } else {
            copy();
        }
        first = last;
        offset += bytes;
    }
    if (pool) pool->wait_all();
    blocks_.clear();
    size_ = 0;
}

}  // namespace orvanel
