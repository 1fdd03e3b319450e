#include "geometry/large_vector.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace geom {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
}  // namespace

void* allocate_large(std::size_t bytes) {
    if (bytes < kHugePageFrom) return ::operator new(bytes);
    // Whole aligned huge pages, so no other allocation shares them; the
    // advice must come before the first touch to take effect.
    const std::size_t size = rounded(bytes);
    void* p = ::operator new(size, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    (void)madvise(p, size, MADV_HUGEPAGE);  // a hint: refused, the pages are ordinary ones
#endif
    return p;
}

void deallocate_large(void* p, std::size_t bytes) noexcept {
    if (bytes < kHugePageFrom)
        ::operator delete(p);
    else
        ::operator delete(p, std::align_val_t{kHugePage});
}

}  // namespace geom
