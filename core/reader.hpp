// Loading a matrix from a file or a byte string, whole or by table names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/framing.hpp"
#include "core/header.hpp"
#include "core/matrix.hpp"
#include "core/plane.hpp"
#include "core/record_framing.hpp"
#include "core/source.hpp"

namespace orvanel {

class MatrixReader {
public:
    // Opens the file and reads its header. `path` holds the bytes of the file name.
    static Result<MatrixReader> open(std::string_view path);
    // Reads the header from `data`, which must stay alive and unchanged while the
    // reader lives.
    static Result<MatrixReader> from_bytes(std::span<const std::uint8_t> data);

    MatrixReader(MatrixReader&&) noexcept = default;
    MatrixReader& operator=(MatrixReader&&) noexcept = default;

    const MatrixHeader& header() const noexcept { return header_; }

    // The next row record, nothing at the confirmed end of the stream, or an error.
    Result<std::optional<RowRecordHead>> next_record();

    // Both consume the reader; a failed load returns no matrix at all.
    static Result<Matrix> load_all(MatrixReader reader);
    static Result<Matrix> load_selected(MatrixReader reader, std::span<const std::string> names);

private:
    MatrixReader(ByteSource source, MatrixHeader header);
    static Result<MatrixReader> start(Result<ByteSource> source);
    void advance() noexcept;
    // Could the rest of the input hold every row record still expected (5 bytes each)?
    bool input_could_hold_rows();
    Status decode_into(const RowRecordHead& head, std::span<double> out);
    // Reads every remaining record; decodes those of the tables `selection` maps to a
    // position (indexed by table number) into `block`, or into a scratch row when
    // `block` is null.
    Status walk(const std::uint8_t* selection, double* block);
    static Result<Matrix> load(MatrixReader reader, MatrixHeader result_header, const std::uint8_t* selection);

    ByteSource source_;
    MatrixHeader header_;
    std::vector<TypeCode> type_codes_;
    std::uint16_t zone_count_ = 0;
    std::uint8_t table_count_ = 0;
    RecordFraming framing_;
    std::vector<std::uint8_t> payload_buffer_;
    PlaneScratch scratch_;
};

}  // namespace orvanel
