// A byte vector whose growth leaves new bytes uninitialised: room reserved for data that
// is about to be written over costs no clearing pass.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvanel {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;

    // Value-initialisation (what resize asks for) becomes default-initialisation: none.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using ByteVector = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

}  // namespace orvanel
