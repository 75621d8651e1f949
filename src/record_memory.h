// Heap memory for the storage's record array. Large blocks are offered to the kernel for
// transparent huge pages: a scan of tens of megabytes otherwise misses the TLB on every 4 KiB
// page, which costs it a measurable share of its time against NumPy arrays, whose allocator
// asks for huge pages the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/memory.h"

namespace tw {

// std::allocator with the advice above; the memory must still be untouched when advised, so
// advice comes straight after allocation, before the container writes anything.
template <class T>
struct RecordAllocator {
  using value_type = T;

  RecordAllocator() noexcept = default;
  template <class U>
  RecordAllocator(const RecordAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
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
