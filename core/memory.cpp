#include "core/memory.hpp"

#include <new>
#include <sys/mman.h>

namespace orvanel {

void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t huge_page = huge_page_size;
    if (bytes < 4 * huge_page) return;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (address + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (address + bytes) & ~(huge_page - 1);
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

ByteBlock allocate_block(std::size_t bytes) {
    if (bytes < huge_page_size) {
        ByteBlock block(static_cast<std::uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes)));
        if (!block) throw std::bad_alloc();
        return block;
    }
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (bytes + huge_page_size - 1) & ~(huge_page_size - 1);
    ByteBlock block(static_cast<std::uint8_t*>(std::aligned_alloc(huge_page_size, rounded)));
    if (!block) throw std::bad_alloc();
    (void)::madvise(block.get(), rounded, MADV_HUGEPAGE);
    return block;
}

}  // namespace orvanel
