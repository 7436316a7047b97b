#include "core/parallel_reader.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <variant>

#include "core/decode.hpp"
#include "core/file_chunks.hpp"
#include "core/matrix.hpp"
#include "core/payload.hpp"
#include "core/table_selection.hpp"
#include "core/record_framing.hpp"
#include "core/source.hpp"
#include "core/worker_pool.hpp"

namespace orvanel {

namespace {

// One payload to decode, with everything a thread needs for it.
struct DecodeItem {
    const std::uint8_t* payload;
    std::uint32_t size;
    // Bytes after the payload that may be read (and are never written meanwhile).
    std::uint32_t readable_after;
    double* out;  // null: into a scratch row, when no value block is made
    std::uint64_t record;         // the record's number in the file, from 0
    std::uint64_t payload_start;  // the payload's offset, for its errors
    TypeCode type_code;
};

// Consecutive payloads of one chunk of a file (or of memory), decoded by one thread.
struct DecodeBatch {
    std::vector<DecodeItem> items;
    FileChunk* chunk = nullptr;
    std::uint64_t chunk_serial = 0;
    std::size_t cells = 0;
};


std::uint32_t clamp_u32(std::size_t n) noexcept {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, 0xFFFF'FFFF));
}

}  // namespace

// Where one run of a load puts its rows and where it stops.
struct RowWindow {
    double* block = nullptr;      // null: into a scratch row, when no value block is made
    std::uint32_t first_row = 1;  // the origin of the block's first row of each table
    std::uint32_t rows = 0;       // rows of each table the block holds
    // Framing stops once this many records have been read, unless that is every record:
    // then it goes on to confirm that nothing follows the last.
    std::uint32_t record_limit = 0;
    bool clear_zero_rows = false;  // the block was not zero-filled: zero rows are written
};

struct MatrixLoad::Impl {
    std::variant<ByteSource, FileChunks> source;
    const std::uint8_t* memory_begin = nullptr;  // the caller's bytes, for memory input
    const std::uint8_t* memory_end = nullptr;
    bool record_by_record = false;              // a FIFO or device: no reading ahead
    MatrixHeader file_header;
    MatrixHeader result_header;
    TablePositions selection{};
    std::vector<TypeCode> type_codes;  // by table number - 1
    RecordFraming framing;
    std::vector<std::uint8_t> spill;
    std::uint64_t records_start = 0;  // offset of the first row record
    bool selected = false;
    bool consumed = false;
    bool streaming = false;  // run_origins has started

    Impl(std::variant<ByteSource, FileChunks> s, MatrixHeader header)
        : source(std::move(s)), file_header(std::move(header)), framing(file_header) {
        for (const TableInfo& table : file_header.tables) type_codes.push_back(table.type_code);
    }

    std::uint64_t counter() const {
        return std::visit([](const auto& s) { return s.counter(); }, source);
    }
    bool input_could_hold_rows() {
        return std::visit(
            [&](auto& s) { return s.can_supply(std::uint64_t{framing.records_left()} * record_header_size); },
            source);
    }
    Status walk(const RowWindow& window, const ParallelSettings& settings);
};

namespace {

// One load's records: framed here, decoded here or by the pool.
template <class Source>
class LoadRun {
public:
    LoadRun(MatrixLoad::Impl& load, Source& source, const RowWindow& window, const ParallelSettings& settings)
        : load_(load), source_(source), window_(window), block_(window.block), settings_(settings),
          zones_(load.file_header.zone_count), scratch_(zones_) {}

    Status run() {
        const std::size_t z = zones_;
        std::uint64_t chosen_rows = 0;
        for (const TableInfo& table : load_.file_header.tables) {
            chosen_rows += load_.selection[table.index] ? window_.rows : 0;
        }
        const std::uint32_t total = load_.framing.records_read() + load_.framing.records_left();
        const bool to_the_end = window_.record_limit >= total;
        const unsigned threads = load_.record_by_record ? 1 : settings_.threads_for(chosen_rows * z);
        std::optional<WorkerPool> pool;
        if (threads > 1) pool.emplace(std::min(threads, max_parallel_threads) - 1);
        pool_ = pool && pool->helpers() > 0 ? &*pool : nullptr;
        // Alone, the calling thread keeps one scratch for the whole load.
        if (!pool_) own_lease_.emplace(scratch_.lend());
        // Batches in work at once: enough to keep every thread busy while the calling
        // thread frames the next, few enough to bound the file chunks they hold.
        max_in_work_ = pool_ ? 2 * (pool_->helpers() + 1) : 1;
        batch_limit_ = pool_ ? std::max<std::size_t>(settings_.batch_cells, 1) : 1;

        std::optional<MatrixError> framing_error;
        std::uint64_t framing_error_record = 0;
        InterruptPoll poll;
        bool stopped = false;
        for (;;) {
            if (failure_.failed() || stop_.load(std::memory_order_relaxed)) break;
            if (poll.stop_requested()) {
                stopped = true;
                break;
            }
            const std::uint64_t record = load_.framing.records_read();
            if (!to_the_end && record >= window_.record_limit) break;
            auto next = load_.framing.next(source_, load_.spill);
            if (!next) {
                framing_error.emplace(next.take_error());
                framing_error_record = record;
                break;
            }
            if (!next.value()) break;
            const RowRecordHead& head = *next.value();
            // The block starts zero-filled and every row arrives once, so a zero row
            // needs no work at all: its pages are never touched.
            const std::uint8_t position = load_.selection[head.table];
            if (position && !is_zero_row_payload(head.payload)) {
                add(head, record, position);
            } else if (position && window_.clear_zero_rows && block_) {
                std::fill_n(row_out(head, position), z, 0.0);
            }
            load_.framing.advance();
        }
        if (stopped) {
            stop_.store(true, std::memory_order_relaxed);
        } else if (!failure_.failed()) {
            dispatch();
        }
        release_unsent();
        if (pool) pool->wait_all();
        // Memory that ran out on a thread is reported here.
        if (exception_) std::rethrow_exception(exception_);
        if (stopped) return interrupted_error();
        if (failure_.failed() && (!framing_error || failure_.record() < framing_error_record)) return failure_.take();
        if (framing_error) return std::move(*framing_error);
        return {};
    }

private:
    void add(const RowRecordHead& head, std::uint64_t record, std::uint8_t position) {
        const std::size_t z = zones_;
        FileChunk* chunk = nullptr;
        std::uint64_t serial = 0;
        std::size_t readable_after = 0;
        const std::uint8_t* end = head.payload.data() + head.payload.size();
        if constexpr (std::is_same_v<Source, FileChunks>) {
            chunk = &source_.chunk();
            serial = source_.chunk_serial();
            readable_after = source_.stable_after(end);
        } else {
            readable_after = static_cast<std::size_t>(load_.memory_end - end);
        }
        if (!batch_.items.empty() && (batch_.chunk_serial != serial || batch_.cells >= batch_limit_)) dispatch();
        if (batch_.items.empty() && chunk) {
            batch_.chunk = chunk;
            batch_.chunk_serial = serial;
            chunk->users.fetch_add(1, std::memory_order_relaxed);
        }
        double* out = block_ ? row_out(head, position) : nullptr;
        batch_.items.push_back({head.payload.data(), clamp_u32(head.payload.size()), clamp_u32(readable_after), out,
                                record, head.record_start + record_header_size, load_.type_codes[head.table - 1]});
        batch_.cells += z;
        if (batch_.cells >= batch_limit_) dispatch();
    }

    // Where the row of a record goes in the block: (table position, origin) of the window.
    double* row_out(const RowRecordHead& head, std::uint8_t position) const noexcept {
        const std::size_t z = zones_;
        return block_ + ((std::size_t{position} - 1) * window_.rows + (head.row - window_.first_row)) * z;
    }

    // Hands the batch to a thread, or decodes it here when there is no pool.
    void dispatch() {
        if (batch_.items.empty()) return;
        if (!pool_) {
            decode(batch_);
            batch_.items.clear();
            batch_.chunk = nullptr;
            batch_.cells = 0;
            return;
        }
        while (in_work_.load(std::memory_order_acquire) >= max_in_work_) {
            if (!pool_->run_one()) pool_->wait_for_progress();
        }
        in_work_.fetch_add(1, std::memory_order_relaxed);
        auto batch = std::make_shared<DecodeBatch>(std::move(batch_));
        batch_ = DecodeBatch{};
        pool_->submit([this, batch] {
            try {
                decode(*batch);
            } catch (...) {
                std::lock_guard lock(exception_mutex_);
                if (!exception_) exception_ = std::current_exception();
                stop_.store(true, std::memory_order_relaxed);
            }
            in_work_.fetch_sub(1, std::memory_order_release);
        });
    }

    // A batch never handed out still holds its chunk.
    void release_unsent() {
        if (batch_.chunk) batch_.chunk->users.fetch_sub(1, std::memory_order_release);
        batch_ = DecodeBatch{};
    }

    void decode(DecodeBatch& batch) {
        if (own_lease_) {
            decode_with(batch, *own_lease_);
            return;
        }
        ScratchPool::Lease lease = scratch_.lend();
        decode_with(batch, lease);
    }

    void decode_with(DecodeBatch& batch, ScratchPool::Lease& lease) {
        const std::size_t z = zones_;
        for (const DecodeItem& item : batch.items) {
            // Nothing after a known failure can change the outcome.
            if (stop_.load(std::memory_order_relaxed) || item.record > failure_.record()) break;
            const std::span<double> out(item.out ? item.out : lease.row.get(), z);
            Status decoded =
                decode_payload(item.type_code, {item.payload, item.size}, item.readable_after, *lease.scratch, out);
            if (!decoded) {
                failure_.offer(item.record, decoded.take_error().at(item.payload_start));
                break;
            }
        }
        if (batch.chunk) batch.chunk->users.fetch_sub(1, std::memory_order_release);
        batch.chunk = nullptr;
    }

    MatrixLoad::Impl& load_;
    Source& source_;
    const RowWindow& window_;
    double* block_;
    const ParallelSettings& settings_;
    std::size_t zones_;
    ScratchPool scratch_;
    std::optional<ScratchPool::Lease> own_lease_;
    WorkerPool* pool_ = nullptr;
    std::size_t max_in_work_ = 1;
    std::size_t batch_limit_ = 1;
    std::atomic<std::size_t> in_work_{0};
    std::atomic<bool> stop_{false};
    FirstFailure failure_;
    DecodeBatch batch_;
    std::mutex exception_mutex_;
    std::exception_ptr exception_;
};

}  // namespace

Status MatrixLoad::Impl::walk(const RowWindow& window, const ParallelSettings& settings) {
    return std::visit(
        [&](auto& s) {
            LoadRun<std::remove_reference_t<decltype(s)>> run(*this, s, window, settings);
            return run.run();
        },
        source);
}

namespace {

// Every remaining record, into a whole block or into a scratch row.
RowWindow whole_window(const MatrixHeader& header, double* block) noexcept {
    RowWindow window;
    window.block = block;
    window.first_row = 1;
    window.rows = header.zone_count;
    window.record_limit = std::numeric_limits<std::uint32_t>::max();
    return window;
}

}  // namespace

MatrixLoad::MatrixLoad(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
MatrixLoad::MatrixLoad(MatrixLoad&&) noexcept = default;
MatrixLoad& MatrixLoad::operator=(MatrixLoad&&) noexcept = default;
MatrixLoad::~MatrixLoad() = default;

Result<MatrixLoad> MatrixLoad::open(std::string_view path, std::size_t chunk_size) {
    auto chunks = FileChunks::open(path, chunk_size ? chunk_size : default_chunk_size);
    if (!chunks) return chunks.take_error();
    auto header = read_header(chunks.value());
    if (!header) return header.take_error();
    const bool regular = chunks.value().is_regular();
    const std::uint64_t records_start = chunks.value().counter();
    auto impl = std::make_unique<Impl>(std::move(chunks.value()), std::move(header.value()));
    impl->record_by_record = !regular;
    impl->records_start = records_start;
    return MatrixLoad(std::move(impl));
}

Result<MatrixLoad> MatrixLoad::from_bytes(std::span<const std::uint8_t> data) {
    ByteSource source = ByteSource::from_memory(data);
    auto header = read_header(source);
    if (!header) return header.take_error();
    const std::uint64_t records_start = source.counter();
    auto impl = std::make_unique<Impl>(std::move(source), std::move(header.value()));
    impl->memory_begin = data.data();
    impl->memory_end = data.data() + data.size();
    impl->records_start = records_start;
    return MatrixLoad(std::move(impl));
}

const MatrixHeader& MatrixLoad::file_header() const noexcept { return impl_->file_header; }
const MatrixHeader& MatrixLoad::header() const noexcept { return impl_->result_header; }

Status MatrixLoad::select(const std::vector<std::string>* names) {
    Impl& load = *impl_;
    MatrixHeader& header = load.result_header;
    header.banner = load.file_header.banner;
    header.run_id = load.file_header.run_id;
    header.zone_count = load.file_header.zone_count;
    header.tables.clear();
    load.selection = {};
    if (names == nullptr) {
        header.tables = load.file_header.tables;
        for (const TableInfo& table : load.file_header.tables) load.selection[table.index] = table.index;
    } else {
        auto indices = resolve_table_names(load.file_header, *names);
        if (!indices) return indices.take_error();
        std::array<bool, 256> chosen{};
        for (std::uint8_t index : indices.value()) chosen[index] = true;
        // The selected tables in file order, numbered 1..k.
        for (const TableInfo& table : load.file_header.tables) {
            if (!chosen[table.index]) continue;
            const auto position = static_cast<std::uint8_t>(header.tables.size() + 1);
            load.selection[table.index] = position;
            header.tables.push_back({table.name, table.type_code, position});
        }
    }
    load.selected = true;
    if (!load.input_could_hold_rows()) {
        // The input is too short to hold the rows the header promises, so the load must
        // fail: find the failure without a value block the data cannot fill.
        load.consumed = true;
        ORVANEL_TRY(load.walk(whole_window(load.file_header, nullptr), ParallelSettings{}));
        return MatrixError::io_text("file changed while it was being read").at(load.counter());
    }
    return {};
}

Result<std::size_t> MatrixLoad::value_count() const {
    const auto count = orvanel::value_count(impl_->result_header.zone_count, impl_->result_header.tables.size());
    if (!count) return MatrixError::invalid_par("matrix dimensions exceed addressable memory on this platform");
    return *count;
}

Status MatrixLoad::run(double* block, const ParallelSettings& settings) {
    if (!impl_->selected || impl_->consumed || impl_->streaming) {
        return MatrixError::io_text("the load has already been run");
    }
    impl_->consumed = true;
    return impl_->walk(whole_window(impl_->file_header, block), settings);
}

std::uint32_t MatrixLoad::origins_read() const noexcept {
    const std::uint32_t tables = impl_->file_header.table_count();
    return tables ? impl_->framing.records_read() / tables : 0;
}

Status MatrixLoad::run_origins(double* block, std::uint32_t origins, bool clear_zero_rows,
                               const ParallelSettings& settings) {
    Impl& load = *impl_;
    if (!load.selected || load.consumed) return MatrixError::io_text("the load has already been run");
    const std::uint32_t done = origins_read();
    const std::uint32_t zones = load.file_header.zone_count;
    if (origins > zones - done) return MatrixError::io_text("the load has fewer origins left");
    load.streaming = true;
    RowWindow window;
    window.block = block;
    window.first_row = done + 1;
    window.rows = origins;
    window.record_limit = (done + origins) * std::uint32_t{load.file_header.table_count()};
    window.clear_zero_rows = clear_zero_rows;
    Status outcome = load.walk(window, settings);
    // After a failure nothing more can be read: the reading position is undefined.
    if (!outcome.ok() || done + origins == zones) load.consumed = true;
    return outcome;
}

std::uint64_t MatrixLoad::records_start() const noexcept { return impl_->records_start; }

RandomAccessInput MatrixLoad::random_access() const noexcept {
    const Impl& load = *impl_;
    RandomAccessInput input;
    if (const auto* chunks = std::get_if<FileChunks>(&load.source)) {
        if (chunks->is_regular()) input.fd = chunks->descriptor();
        input.is_file = true;
    } else {
        input.memory = {load.memory_begin, load.memory_end};
    }
    return input;
}

}  // namespace orvanel
