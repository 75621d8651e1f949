// Heap memory for the storage's record array. Large blocks are offered to the kernel for
// transparent huge pages: a scan of tens of megabytes otherwise misses the TLB on every 4 KiB
// page, which costs it a measurable share of its time against NumPy arrays, whose allocator
// asks for huge pages the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tw {

inline constexpr size_t kHugePageAdviceBytes = size_t{4} << 20;

// Advises the whole pages inside [data, data + bytes); failures only cost speed.
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePageAdviceBytes) return;
  constexpr uintptr_t kPage = 4096;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// std::allocator with the advice above; the memory must still be untouched when advised, so
// advice comes straight after allocation, before the container writes anything.
template <class T>
struct RecordAllocator {
  using value_type = T;

  RecordAllocator() noexcept = default;
  template <class U>
  RecordAllocator(const RecordAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    void* data = ::operator new(n * sizeof(T));
    advise_huge_pages(data, n * sizeof(T));
    return static_cast<T*>(data);
  }
  void deallocate(T* data, size_t) noexcept { ::operator delete(data); }

  template <class U>
  friend bool operator==(const RecordAllocator&, const RecordAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace tw
