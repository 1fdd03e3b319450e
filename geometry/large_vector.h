// Vectors for the per-triangle and per-node arrays of large meshes. From a
// few megabytes up, their memory is asked for in transparent huge pages
// (where the kernel grants them on request, as Linux does in its default
// "madvise" mode): a million-triangle mesh otherwise takes tens of
// thousands of page faults per call, and the tree walk's random reads a TLB
// miss each. Small vectors are ordinary allocations. Contents and results
// never depend on which memory a vector gets.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace geom {

// Bytes from which an allocation is aligned to, and advised as, huge pages.
inline constexpr std::size_t kHugePageFrom = std::size_t{4} << 20;

void* allocate_large(std::size_t bytes);
void deallocate_large(void* p, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { deallocate_large(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// A fixed array of default-initialized elements: for buffers that are filled
// sparsely or in an order of their own, whose pages are only touched (and,
// for large ones, faulted in) where written.
template <class T>
class LargeBuffer {
    static_assert(std::is_trivially_destructible_v<T>);

public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t n) : data_(LargeAllocator<T>().allocate(n)), size_(n) {
        std::uninitialized_default_construct_n(data_, n);
    }
    LargeBuffer(LargeBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    LargeBuffer& operator=(LargeBuffer&& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        return *this;
    }
    ~LargeBuffer() {
        if (data_ != nullptr) LargeAllocator<T>().deallocate(data_, size_);
    }

    std::size_t size() const { return size_; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace geom
