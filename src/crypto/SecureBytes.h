#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

namespace veltrix::crypto {

// An allocator that wipes memory with OPENSSL_cleanse before giving it back, so that a buffer of
// secrets is wiped however it ends: destruction, reallocation on growth, or an exception.
template <typename T>
struct CleansingAllocator {
    using value_type = T;

    CleansingAllocator() noexcept = default;
    template <typename U>
    CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <typename U>
    bool operator==(const CleansingAllocator<U>&) const noexcept {
        return true;
    }
};

// Scratch bytes that hold key material, passwords or values derived from them.
using SecureBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Overwrites the bytes now and empties the buffer (its memory is wiped again when freed).
inline void wipe(SecureBytes& bytes) noexcept {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

}  // namespace veltrix::crypto
