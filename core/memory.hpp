// Large buffers: asking the kernel for huge pages where they pay.
#pragma once

#include <cstddef>

namespace orvanel {

// Marks the 2 MiB-aligned interior of a large block for transparent huge pages, so that
// filling it costs 512 times fewer page faults. A hint only: failure changes nothing.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace orvanel
