// Loading a matrix into a value block the caller provides, with the records framed in
// order on the calling thread and their payloads decoded by a pool of threads. The
// outcome is that of MatrixReader for every input and any number of threads: the same
// values, and the same error (the first in file order) with the same offset.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/header.hpp"
#include "core/parallel.hpp"

namespace orvanel {

// Where a load's input can be read at any offset: a regular file (by its descriptor,
// which the load owns) or the caller's bytes. Neither for a FIFO or a device.
struct RandomAccessInput {
    int fd = -1;
    bool is_file = false;
    std::span<const std::uint8_t> memory;

    bool available() const noexcept { return !is_file || fd >= 0; }
};

class MatrixLoad {
public:
    // Opens the file and reads its header; a regular file is then read in large chunks
    // (several records decoded at once), anything else (a FIFO, a device) record by record
    // on the calling thread. `chunk_size` is the size of the chunks a file is read in (0:
    // the default).
    static Result<MatrixLoad> open(std::string_view path, std::size_t chunk_size = 0);
    // Reads the header from `data`, which must stay alive and unchanged while the load
    // lives; payloads are decoded where they are.
    static Result<MatrixLoad> from_bytes(std::span<const std::uint8_t> data);

    MatrixLoad(MatrixLoad&&) noexcept;
    MatrixLoad& operator=(MatrixLoad&&) noexcept;
    ~MatrixLoad();

    const MatrixHeader& file_header() const noexcept;

    // Chooses the tables to load: every one (`names` null) or the named ones, by the
    // rules and with the errors of MatrixReader::load_selected. Then makes sure the input
    // can hold the rows its header promises before anyone makes a value block for them:
    // when it cannot, the load must fail, and that failure is found (without a value
    // block) and returned.
    Status select(const std::vector<std::string>* names);

    // After select: the header of the result (the chosen tables in file order, numbered
    // from 1) and the number of doubles of its value block, or the error Matrix gives
    // when such a block cannot be addressed.
    const MatrixHeader& header() const noexcept;
    Result<std::size_t> value_count() const;

    // Reads the remaining records, decoding those of the chosen tables into `block`
    // (value_count() doubles, zero-filled, table-major: table, origin, destination). A
    // zero row is never written to. Consumes the load's input: call once.
    Status run(double* block, const ParallelSettings& settings);

    // Streaming, instead of run: reads the records of the next `origins` origins (every
    // table's row of each), decoding the chosen tables' rows into `block`, (chosen
    // tables, origins, Z) doubles, table-major. The block is zero-filled unless
    // `clear_zero_rows`, which writes zero rows out. The records of the last origin are
    // followed by the check that nothing comes after them. The outcome is the load's:
    // the first error in file order among the records read. A failure ends the load.
    Status run_origins(double* block, std::uint32_t origins, bool clear_zero_rows, const ParallelSettings& settings);
    // Origins whose records have all been read.
    std::uint32_t origins_read() const noexcept;

    // The offset of the first row record, and the input read at any offset.
    std::uint64_t records_start() const noexcept;
    RandomAccessInput random_access() const noexcept;

    struct Impl;  // defined where the load is implemented

private:
    explicit MatrixLoad(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvanel
