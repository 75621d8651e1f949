// Bytes that end where an inaccessible page begins, so that a kernel reading past them faults.
#pragma once

#include <cstddef>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

class GuardedBytes {
 public:
  explicit GuardedBytes(size_t size) {
    const size_t page = page_size();
    length_ = (size + page - 1) / page * page + page;
#if defined(_WIN32)
    void* map = VirtualAlloc(nullptr, length_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (map == nullptr) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(map);
    DWORD old = 0;
    if (!VirtualProtect(base_ + length_ - page, page, PAGE_NOACCESS, &old)) throw std::bad_alloc();
#else
    void* map = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(map);
    if (mprotect(base_ + length_ - page, page, PROT_NONE) != 0) throw std::bad_alloc();
#endif
    data_ = base_ + length_ - page - size;
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  ~GuardedBytes() {
#if defined(_WIN32)
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, length_);
#endif
  }
  unsigned char* data() const { return data_; }

 private:
  static size_t page_size() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
  }
  unsigned char* base_;
  unsigned char* data_;
  size_t length_;
};
