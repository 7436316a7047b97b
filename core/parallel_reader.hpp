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

    struct Impl;  // defined where the load is implemented

private:
    explicit MatrixLoad(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvanel
