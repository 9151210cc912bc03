// memory.hpp: every byte the module owns comes from mimalloc.
//
// Containers use `MiAllocator` (through the `Vec` alias); result buffers that
// are handed to NumPy are `OwnedArray`s whose storage is released with
// `mi_free` by the array's owner object. Allocation failure throws
// `OutOfMemory` (a std::bad_alloc that knows how many bytes were asked for),
// which the module boundary turns into a MemoryError naming that size.
//
// Freed pages. A run's buffers are large and short-lived, and the next run asks for the
// same sizes again. By default mimalloc decommits the pages it purges, so every run faulted
// its buffers in afresh and the kernel zeroed them (on R-MAT 2^17 about 2,500 faults and 5%
// of a bmssp call). `reset_purged_pages` makes a purge reset the pages instead
// (MADV_FREE): the kernel takes them back whenever it needs the memory, and until then a
// later run reuses them without a fault.
#pragma once

#include <mimalloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace qh {

// An allocation the system refused: `bytes` is what was asked for (SIZE_MAX
// when the size itself overflowed, 0 when it is not known).
struct OutOfMemory : std::bad_alloc {
    std::size_t bytes = 0;
    explicit OutOfMemory(std::size_t asked) noexcept : bytes(asked) {}
};

// `count` elements of `size` bytes each, in bytes (SIZE_MAX on overflow).
inline std::size_t bytes_of(std::size_t count, std::size_t size) noexcept {
    std::size_t bytes = 0;
    return __builtin_mul_overflow(count, size, &bytes) ? SIZE_MAX : bytes;
}

// Standard allocator over mi_malloc/mi_free; stateless, all instances equal.
template <class T>
struct MiAllocator {
    using value_type = T;

    MiAllocator() noexcept = default;
    template <class U>
    MiAllocator(const MiAllocator<U>&) noexcept {}

    // Throws OutOfMemory when the request cannot be met (never returns null).
    [[nodiscard]] T* allocate(std::size_t count) {
        void* p = mi_mallocn(count, sizeof(T));
        if (p == nullptr) throw OutOfMemory(bytes_of(count, sizeof(T)));
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { mi_free(p); }

    template <class U>
    bool operator==(const MiAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using Vec = std::vector<T, MiAllocator<T>>;

// Purges reset freed pages rather than decommit them (above), unless the environment sets
// MIMALLOC_PURGE_DECOMMITS itself. Called once, when a module is loaded.
inline void reset_purged_pages() noexcept {
    if (std::getenv("MIMALLOC_PURGE_DECOMMITS") == nullptr) mi_option_disable(mi_option_purge_decommits);
}

// A fixed-length buffer of trivially copyable T that can give its storage
// away (`release`) to a new owner, who must free it with `mi_free`.
template <class T>
class OwnedArray {
    static_assert(std::is_trivially_copyable_v<T>, "OwnedArray holds plain values only");

public:
    OwnedArray() noexcept = default;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    OwnedArray(OwnedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    OwnedArray& operator=(OwnedArray&& other) noexcept {
        if (this != &other) {
            mi_free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~OwnedArray() { mi_free(data_); }

    // `count` elements with unspecified contents.
    static OwnedArray uninitialized(std::size_t count) {
        OwnedArray a;
        a.data_ = static_cast<T*>(mi_mallocn(count == 0 ? 1 : count, sizeof(T)));
        if (a.data_ == nullptr) throw OutOfMemory(bytes_of(count, sizeof(T)));
        a.size_ = count;
        return a;
    }
    // `count` elements with unspecified contents, the first at an address
    // that is a multiple of `alignment` (a power of two).
    static OwnedArray uninitialized_aligned(std::size_t count, std::size_t alignment) {
        OwnedArray a;
        const std::size_t bytes = bytes_of(count == 0 ? 1 : count, sizeof(T));
        if (bytes == SIZE_MAX) throw OutOfMemory(bytes);
        a.data_ = static_cast<T*>(mi_malloc_aligned(bytes, alignment));
        if (a.data_ == nullptr) throw OutOfMemory(bytes);
        a.size_ = count;
        return a;
    }
    // `count` elements, every byte zero.
    static OwnedArray zeroed(std::size_t count) {
        OwnedArray a;
        a.data_ = static_cast<T*>(mi_calloc(count == 0 ? 1 : count, sizeof(T)));
        if (a.data_ == nullptr) throw OutOfMemory(bytes_of(count, sizeof(T)));
        a.size_ = count;
        return a;
    }
    // `count` copies of `value`.
    static OwnedArray filled(std::size_t count, T value) {
        OwnedArray a = uninitialized(count);
        for (std::size_t i = 0; i < count; ++i) a.data_[i] = value;
        return a;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Gives up ownership; the caller frees the pointer with mi_free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qh
