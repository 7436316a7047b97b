// Large buffers: asking the kernel for huge pages where they pay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace orvanel {

inline constexpr std::size_t huge_page_size = std::size_t{2} << 20;

// Marks the 2 MiB-aligned interior of a large block for transparent huge pages, so that
// filling it costs 512 times fewer page faults. A hint only: failure changes nothing.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

// Owns memory from malloc, calloc, realloc or aligned_alloc.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using ByteBlock = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// An uninitialised block of `bytes`. One of a huge page or more starts on a huge-page
// boundary and is marked for huge pages whole: a block placed anywhere by malloc loses up
// to a huge page at each end to small pages, hundreds of page faults per block. Throws
// std::bad_alloc when memory is short.
ByteBlock allocate_block(std::size_t bytes);

}  // namespace orvanel
