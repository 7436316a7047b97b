#include "core/row_index.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "core/decode.hpp"
#include "core/interrupt.hpp"
#include "core/posix_file.hpp"
#include "core/payload.hpp"
#include "core/record_framing.hpp"
#include "core/worker_pool.hpp"

namespace orvanel {

namespace {

// Bytes of input read at once around the record headers of a file: a window that holds
// many headers of short records; one that holds a header and little else when records
// are long, since their payloads are skipped.
constexpr std::size_t scan_window = 64 * 1024;
constexpr std::size_t scan_window_long_records = 512;
constexpr std::size_t long_record = 8 * 1024;

// File bytes read at once for decoding, and the zeroed room after them that the decoder
// may read.
constexpr std::size_t piece_bytes = std::size_t{8} << 20;
constexpr std::size_t piece_padding = 64;
static_assert(piece_padding >= decode_overread);

// Reads `n` bytes at `offset`, fewer only at the end of the file; retried on EINTR
// unless the interrupt check says stop. Errors carry `error_offset`.
Result<std::size_t> read_at(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t offset,
                            std::uint64_t error_offset) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, dst + got, std::min(n - got, max_system_io_size), static_cast<off_t>(offset + got));
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            continue;
        }
        if (r == 0) break;
        const int err = errno;
        if (err != EINTR || stop_after_interrupt()) return MatrixError::io_os(err).at(error_offset);
    }
    return got;
}

// The byte source RecordFraming reads the record headers from: exactly the bytes, the
// errors and the offsets a sequential reader meets, except that payloads are not read.
// Their views are empty for a file; in memory they are the bytes themselves.
class ScanSource {
public:
    ScanSource(const RandomAccessInput& input, std::uint64_t start, std::uint64_t size)
        : input_(input), size_(size), counter_(start) {
        if (input_.is_file) window_ = std::make_unique<std::uint8_t[]>(scan_window);
    }

    std::uint64_t counter() const noexcept { return counter_; }

    Status read_exact(std::span<std::uint8_t> dst) {
        const std::size_t n = dst.size();
        if (!input_.is_file) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - counter_));
            if (take) std::memcpy(dst.data(), input_.memory.data() + counter_, take);
            counter_ += take;
            if (take < n) return MatrixError::unexpected_eof().at(counter_);
            return {};
        }
        if (counter_ < window_start_ || counter_ + n > window_end_) {
            const std::size_t want = last_payload_ > long_record ? scan_window_long_records : scan_window;
            auto got = read_at(input_.fd, window_.get(), std::max(want, n), counter_, counter_);
            if (!got) return got.take_error();
            window_start_ = counter_;
            window_end_ = counter_ + got.value();
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, window_end_ - counter_));
        if (take) std::memcpy(dst.data(), window_.get() + (counter_ - window_start_), take);
        counter_ += take;
        if (take < n) return MatrixError::unexpected_eof().at(counter_);
        return {};
    }

    // Skips `n` bytes, failing as a read of them would at the end of the input.
    Result<std::span<const std::uint8_t>> read_view(std::size_t n, std::vector<std::uint8_t>&) {
        if (size_ - std::min(size_, counter_) < n) {
            counter_ = std::max(counter_, size_);
            return MatrixError::unexpected_eof().at(counter_);
        }
        std::span<const std::uint8_t> view;
        if (!input_.is_file) view = input_.memory.subspan(static_cast<std::size_t>(counter_), n);
        counter_ += n;
        last_payload_ = n;
        return view;
    }

    Result<bool> has_more() { return counter_ < size_; }

private:
    const RandomAccessInput& input_;
    std::uint64_t size_;
    std::uint64_t counter_;
    std::unique_ptr<std::uint8_t[]> window_;
    std::uint64_t window_start_ = 0;
    std::uint64_t window_end_ = 0;
    std::size_t last_payload_ = 0;
};

// One payload to decode.
struct Item {
    const std::uint8_t* payload;
    std::uint32_t size;
    std::uint32_t readable_after;
    double* out;  // null: into a scratch row
    std::uint64_t record;
    std::uint64_t payload_start;
    TypeCode type_code;
};

// Decodes items on the calling thread and the pool's; the first failure in record order
// is kept.
class ItemDecoder {
public:
    ItemDecoder(std::size_t zones, WorkerPool* pool, std::size_t batch_cells)
        : zones_(zones), pool_(pool), per_batch_(std::max<std::size_t>(1, batch_cells / std::max<std::size_t>(zones, 1))),
          scratch_(zones) {}

    // Decodes every item (stopping early after a failure) and returns once all are done.
    void run(std::span<const Item> items) {
        if (!pool_) {
            decode(items);
            return;
        }
        for (std::size_t i = 0; i < items.size(); i += per_batch_) {
            const std::span<const Item> batch = items.subspan(i, std::min(per_batch_, items.size() - i));
            pool_->submit([this, batch] {
                try {
                    decode(batch);
                } catch (...) {
                    std::lock_guard lock(exception_mutex_);
                    if (!exception_) exception_ = std::current_exception();
                    stop_.store(true, std::memory_order_relaxed);
                }
            });
        }
        pool_->wait_all();
        if (exception_) std::rethrow_exception(exception_);
    }

    FirstFailure& failure() noexcept { return failure_; }

private:
    void decode(std::span<const Item> items) {
        ScratchPool::Lease lease = scratch_.lend();
        for (const Item& item : items) {
            if (stop_.load(std::memory_order_relaxed) || item.record > failure_.record()) return;
            const std::span<const std::uint8_t> payload(item.payload, item.size);
            // As in a load: a zero row needs no work, its values are zero already.
            if (is_zero_row_payload(payload)) continue;
            const std::span<double> out(item.out ? item.out : lease.row.get(), zones_);
            Status decoded = decode_payload(item.type_code, payload, item.readable_after, *lease.scratch, out);
            if (!decoded) {
                failure_.offer(item.record, decoded.take_error().at(item.payload_start));
                return;
            }
        }
    }

    std::size_t zones_;
    WorkerPool* pool_;
    std::size_t per_batch_;
    ScratchPool scratch_;
    FirstFailure failure_;
    std::atomic<bool> stop_{false};
    std::mutex exception_mutex_;
    std::exception_ptr exception_;
};

Result<std::uint64_t> input_size(const RandomAccessInput& input) {
    if (!input.is_file) return std::uint64_t{input.memory.size()};
    struct stat st {};
    if (::fstat(input.fd, &st) != 0) return MatrixError::io_os(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

RecordIndex::RecordIndex(const MatrixHeader& header) : zones_(header.zone_count), tables_(header.table_count()) {
    for (const TableInfo& table : header.tables) type_codes_.push_back(table.type_code);
}

Result<RecordIndex> RecordIndex::build(const RandomAccessInput& input, const MatrixHeader& file_header,
                                       std::uint64_t records_start, const TablePositions& chosen,
                                       const ParallelSettings& settings) {
    auto size = input_size(input);
    if (!size) return size.take_error();
    RecordIndex index(file_header);
    RecordFraming framing(file_header);
    // Room for the records the input can hold (five bytes each at least), not for what a
    // header promises.
    const std::uint64_t room = size.value() > records_start ? (size.value() - records_start) / record_header_size : 0;
    index.starts_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(framing.records_left(), room) + 1));
    ScanSource source(input, records_start, size.value());
    std::vector<std::uint8_t> spill;
    InterruptPoll poll;
    for (;;) {
        if (poll.stop_requested()) return interrupted_error();
        const std::uint64_t start = source.counter();
        auto next = framing.next(source, spill);
        if (!next) {
            // The records before the fault are whole: a load decodes them before it
            // meets the fault, and its error is the first of theirs, if any.
            MatrixError fault = next.take_error();
            index.starts_.push_back(start);
            ORVANEL_TRY(index.decode(input, 0, framing.records_read(), chosen, nullptr, 1, index.zones_, settings));
            return fault;
        }
        if (!next.value()) break;
        index.starts_.push_back(start);
        framing.advance();
    }
    index.starts_.push_back(source.counter());
    return index;
}

Status RecordIndex::read(const RandomAccessInput& input, double* out, std::size_t out_tables, std::uint32_t first,
                         std::uint32_t count, const TablePositions& positions, const ParallelSettings& settings) const {
    (void)out_tables;  // the positions say where each row goes
    const std::uint64_t t = tables_;
    return decode(input, (std::uint64_t{first} - 1) * t, (std::uint64_t{first} - 1 + count) * t, positions, out, first,
                  count, settings);
}

Status RecordIndex::decode(const RandomAccessInput& input, std::uint64_t first_record, std::uint64_t end_record,
                           const TablePositions& positions, double* out, std::uint32_t first_row, std::uint32_t rows,
                           const ParallelSettings& settings) const {
    const std::size_t z = zones_;
    const std::uint64_t t = tables_;
    std::uint64_t chosen_rows = 0;
    for (std::uint64_t r = first_record; r < end_record && r < first_record + t; ++r) {
        chosen_rows += positions[r % t + 1] ? (end_record - r + t - 1) / t : 0;
    }
    const unsigned threads = std::min(settings.threads_for(chosen_rows * z), max_parallel_threads);
    std::optional<WorkerPool> pool;
    if (threads > 1) pool.emplace(threads - 1);
    WorkerPool* workers = pool && pool->helpers() > 0 ? &*pool : nullptr;
    ItemDecoder decoder(z, workers, settings.batch_cells);

    // Pieces of consecutive records, at most piece_bytes of input each (a file's are read
    // into one buffer), decoded one after another: the first failure is in the first
    // piece that has one.
    std::unique_ptr<std::uint8_t[]> buffer;
    if (input.is_file) {
        buffer = std::make_unique<std::uint8_t[]>(piece_bytes + 2 * 65'536 + piece_padding);
    }
    std::vector<Item> items;
    InterruptPoll poll;
    std::uint64_t r = first_record;
    while (r < end_record) {
        if (poll.stop_requested()) return interrupted_error();
        // Records of chosen tables from r on, while the piece's bytes fit.
        items.clear();
        while (r < end_record && !positions[r % t + 1]) ++r;
        if (r == end_record) break;
        const std::uint64_t piece_start = starts_[r];
        std::uint64_t piece_end = piece_start;
        for (; r < end_record; ++r) {
            const std::uint8_t position = positions[r % t + 1];
            if (!position) continue;
            if (starts_[r + 1] - piece_start > piece_bytes && !items.empty()) break;
            const std::uint64_t payload_start = starts_[r] + record_header_size;
            const auto size = static_cast<std::uint32_t>(starts_[r + 1] - payload_start);
            double* row = nullptr;
            if (out) {
                const std::uint64_t origin = r / t + 1;
                row = out + ((std::size_t{position} - 1) * rows + (origin - first_row)) * z;
            }
            // Payload addresses are filled in once the piece's bytes are where they stay.
            items.push_back({nullptr, size, 0, row, r, payload_start, type_codes_[r % t]});
            piece_end = starts_[r + 1];
        }
        const std::uint8_t* base;
        std::uint64_t readable_end;
        if (input.is_file) {
            const auto length = static_cast<std::size_t>(piece_end - piece_start);
            auto got = read_at(input.fd, buffer.get(), length, piece_start, piece_start);
            if (!got) return got.take_error();
            // The file ends early: it changed since it was indexed.
            if (got.value() < length) return MatrixError::unexpected_eof().at(piece_start + got.value());
            std::memset(buffer.get() + length, 0, piece_padding);
            base = buffer.get() - piece_start;  // address of file offset 0, for offsets in the piece
            readable_end = piece_end + piece_padding;
        } else {
            base = input.memory.data();
            readable_end = input.memory.size();
        }
        for (Item& item : items) {
            const std::uint64_t end = item.payload_start + item.size;
            item.payload = base + item.payload_start;
            item.readable_after = static_cast<std::uint32_t>(std::min<std::uint64_t>(readable_end - end, 0xFFFF'FFFF));
        }
        decoder.run(items);
        if (decoder.failure().failed()) return decoder.failure().take();
    }
    return {};
}

}  // namespace orvanel
