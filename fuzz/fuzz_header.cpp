// Header parsing over arbitrary bytes.
//
// The five records are read from memory and from a file holding the same bytes; both
// must agree. A header that parses is consistent (tables numbered 1..T, Z and T non-zero,
// the source left just after the fifth record), and emitting it gives records that parse
// back to the same header; an end-of-data failure is reported at the input's length.
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "core/header.hpp"
#include "core/source.hpp"
#include "fuzz/reference.hpp"

namespace {

using orvanel::ByteSource;
using orvanel::MatrixHeader;
using orvanel::Result;

bool same_header(const MatrixHeader& a, const MatrixHeader& b) {
    if (a.banner != b.banner || a.run_id != b.run_id || a.zone_count != b.zone_count) return false;
    if (a.tables.size() != b.tables.size()) return false;
    for (std::size_t i = 0; i < a.tables.size(); ++i) {
        const auto &x = a.tables[i], &y = b.tables[i];
        if (x.name != y.name || !(x.type_code == y.type_code) || x.index != y.index) return false;
    }
    return true;
}

// A file holding `data`, reachable by path, without touching the disk.
std::string memory_file(std::span<const std::uint8_t> data) {
    static int fd = ::memfd_create("header", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::ftruncate(fd, 0) == 0);
    FUZZ_CHECK(data.empty() || ::pwrite(fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    ByteSource memory = ByteSource::from_memory(input);
    Result<MatrixHeader> header = orvanel::read_header(memory);

    auto file = ByteSource::open_file(memory_file(input));
    FUZZ_CHECK(file.ok());
    Result<MatrixHeader> from_file = orvanel::read_header(file.value());
    FUZZ_CHECK(header.ok() == from_file.ok());
    FUZZ_CHECK(memory.counter() == file.value().counter());

    if (!header.ok()) {
        const orvanel::MatrixError& error = header.error();
        FUZZ_CHECK(fuzz::same_error(error, from_file.error()));
        FUZZ_CHECK(error.offset().has_value() && *error.offset() <= size);
        if (error.kind() == orvanel::ErrorKind::unexpected_eof) FUZZ_CHECK(*error.offset() == size);
        return 0;
    }
    const MatrixHeader& h = header.value();
    FUZZ_CHECK(same_header(h, from_file.value()));
    FUZZ_CHECK(h.zone_count > 0 && !h.tables.empty() && h.tables.size() <= 255);
    for (std::size_t i = 0; i < h.tables.size(); ++i) FUZZ_CHECK(h.tables[i].index == i + 1);

    std::vector<std::uint8_t> emitted;
    orvanel::emit_header(h, emitted);
    ByteSource again = ByteSource::from_memory(emitted);
    Result<MatrixHeader> reparsed = orvanel::read_header(again);
    FUZZ_CHECK(reparsed.ok());
    FUZZ_CHECK(same_header(h, reparsed.value()));
    FUZZ_CHECK(again.counter() == emitted.size());
    return 0;
}
