// Heap memory with an alignment, and advice to the kernel about large blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tw {

// Aligned blocks through the C++17 aligned operator new: C11 aligned_alloc is missing on Windows.
inline void* aligned_allocate(size_t bytes, size_t alignment) {
  return ::operator new(bytes, std::align_val_t{alignment});
}
inline void aligned_free(void* p, size_t alignment) noexcept {
  ::operator delete(p, std::align_val_t{alignment});
}

inline constexpr size_t kHugePageAdviceBytes = size_t{4} << 20;

// Offers the whole pages inside [data, data + bytes) for transparent huge pages (Linux only;
// elsewhere a no-op). Failures only cost speed. The memory must still be untouched.
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePageAdviceBytes) return;
  constexpr uintptr_t kPage = 4096;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace tw
