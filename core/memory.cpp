#include "core/memory.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace orvanel {

void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    if (bytes < 4 * huge_page) return;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (address + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (address + bytes) & ~(huge_page - 1);
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace orvanel
