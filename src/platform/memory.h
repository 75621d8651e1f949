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

// Advice given to every new block of an Allocator: none.
struct NoAdvice {
  static void advise(void*, size_t) noexcept {}
};

// An allocator for the standard containers that reports an impossible size as bad_alloc, which
// every C++ runtime has (libstdc++ 11 and later report it through a function of their own,
// which would raise the oldest Linux the wheel installs on). `Advice::advise` sees every new
// block before the container writes to it. `Align` (0: the default) starts every block on a
// boundary of that many bytes.
template <class T, class Advice = NoAdvice, size_t Align = 0>
struct Allocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = Allocator<U, Advice, Align>;
  };

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U, Advice, Align>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* data = nullptr;
    if constexpr (Align == 0) {
      data = ::operator new(n * sizeof(T));
    } else {
      data = aligned_allocate(n * sizeof(T), Align);
    }
    Advice::advise(data, n * sizeof(T));
    return static_cast<T*>(data);
  }
  void deallocate(T* data, size_t) noexcept {
    if constexpr (Align == 0) {
      ::operator delete(data);
    } else {
      aligned_free(data, Align);
    }
  }

  template <class U>
  friend bool operator==(const Allocator&, const Allocator<U, Advice, Align>&) noexcept {
    return true;
  }
};

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

struct HugePageAdvice {
  static void advise(void* data, size_t bytes) noexcept { advise_huge_pages(data, bytes); }
};

}  // namespace tw
