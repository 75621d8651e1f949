// The cache's entry store: packed 44-byte records, storage timestamps, search and recency.
// Python-free, so the C++ tests can reach every path.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core.h"
#include "kernels/kernels.h"
#include "record_memory.h"

namespace tw {

#pragma pack(push, 1)
struct CacheEntry {
  uint64_t code[4];
  uint32_t created_at;  // storage timestamps
  uint32_t last_accessed;
  uint32_t access_count;  // saturates
};
#pragma pack(pop)
static_assert(sizeof(CacheEntry) == 44, "entry records must stay 44 bytes");

inline constexpr uint64_t kTimestampEpoch = 1577836800;  // 2020-01-01 00:00:00 UTC
inline constexpr size_t kCodeWords = 4;

// Offset from the epoch in 32 bits: earlier times clamp to 0, later ones wrap.
constexpr uint32_t storage_time(uint64_t unix_seconds) noexcept {
  return unix_seconds < kTimestampEpoch ? 0 : static_cast<uint32_t>(unix_seconds - kTimestampEpoch);
}
constexpr uint64_t unix_time(uint32_t stored) noexcept { return stored + kTimestampEpoch; }

// A code argument as the binding hands it over: NumPy's contiguity flag, element count, data.
struct CodeArg {
  const void* data;
  size_t count;
  bool contiguous;
};

struct SearchHit {
  size_t index;
  float similarity;
};

class EntryStore {
 public:
  EntryStore(uint64_t capacity, uint64_t code_bits) : capacity_(capacity), code_bits_(code_bits) {
    if (capacity == 0) reject(ErrorKind::ValueError, "capacity must be positive");
    if (code_bits == 0) reject(ErrorKind::ValueError, "code_bits must be positive");
    reserve(static_cast<size_t>(std::min<uint64_t>(capacity, 1024)));
  }

  uint64_t capacity() const noexcept { return capacity_; }
  uint64_t code_bits() const noexcept { return code_bits_; }
  size_t size() const noexcept { return entries_.size(); }
  size_t room() const noexcept { return entries_.capacity(); }
  uint64_t memory_usage() const noexcept { return sizeof(CacheEntry) * uint64_t{size()}; }

  const CacheEntry& at(uint64_t index) const { return entries_[checked_index(index)]; }

  size_t add(const CodeArg& code, uint64_t timestamp) {
    if (size() >= capacity_) {
      reject(ErrorKind::ValueError, "Storage is full. Call evict_lru() first to make space.");
    }
    CacheEntry entry = fresh_entry(code, timestamp);
    if (size() == room()) reserve(std::max<size_t>(2 * room(), 4));
    entries_.push_back(entry);
    return size() - 1;
  }

  void replace(uint64_t index, const CodeArg& code, uint64_t timestamp) {
    const size_t i = checked_index(index);
    entries_[i] = fresh_entry(code, timestamp);
  }

  void mark_used(uint64_t index, uint64_t timestamp) {
    CacheEntry& entry = entries_[checked_index(index)];
    entry.last_accessed = storage_time(timestamp);
    if (entry.access_count != UINT32_MAX) ++entry.access_count;
  }

  // The sequential scan: best similarity, lowest index among equals, stop at an identical code.
  std::optional<SearchHit> search(const CodeArg& query, float threshold) const {
    if (entries_.empty()) return std::nullopt;
    uint64_t words[kCodeWords];
    read_code(query, words);
    // A store that holds entries has 256 <= code_bits <= 319 and distances are at most 256, so
    // 1 - d / code_bits in binary32 is strictly decreasing in d (neighbouring quotients differ by
    // at least 1/319, far above the rounding step). The first smallest distance is therefore
    // exactly the first largest similarity, and no tie fix-up is needed.
    const kernels::Nearest nearest = kernels::active().hamming.nearest_records(
        words, records(), entries_.size(), sizeof(CacheEntry));
    const float similarity = normalized_similarity(nearest.distance, code_bits_);
    if (!(similarity >= threshold)) return std::nullopt;
    return SearchHit{nearest.index, similarity};
  }

  size_t evict_lru() const {
    if (entries_.empty()) reject(ErrorKind::ValueError, "Cannot evict from empty storage");
    return kernels::active().hamming.argmin_u32(records() + offsetof(CacheEntry, last_accessed),
                                                entries_.size(), sizeof(CacheEntry));
  }

  // The code check: contiguity, then code_bits / 64 words, then room in a record.
  void read_code(const CodeArg& code, uint64_t (&words)[kCodeWords]) const {
    if (!code.contiguous) reject(ErrorKind::TypeError, "code must be a contiguous uint64 array");
    const uint64_t expected = code_bits_ / 64;
    if (code.count != expected) {
      reject(ErrorKind::ValueError, "code must have shape (" + std::to_string(expected) +
                                        ",) for " + std::to_string(code_bits_) +
                                        "-bit codes, got shape (" + std::to_string(code.count) +
                                        ",)");
    }
    if (code.count != kCodeWords) {
      reject(ErrorKind::ValueError,
             "entries hold 256-bit codes (4 words); this storage has code_bits=" +
                 std::to_string(code_bits_) + ", use code_bits between 256 and 319");
    }
    std::memcpy(words, code.data, sizeof words);  // NumPy data need not be 8-byte aligned
  }

  // Direct access for the C++ tests.
  std::vector<CacheEntry, RecordAllocator<CacheEntry>>& records_for_testing() noexcept {
    return entries_;
  }

 private:
  size_t checked_index(uint64_t index) const {
    if (index >= size()) {
      reject(ErrorKind::IndexError, "index " + std::to_string(index) +
                                        " out of bounds for storage of length " +
                                        std::to_string(size()));
    }
    return static_cast<size_t>(index);
  }

  CacheEntry fresh_entry(const CodeArg& code, uint64_t timestamp) const {
    uint64_t words[kCodeWords];
    read_code(code, words);
    CacheEntry entry;
    std::memcpy(entry.code, words, sizeof words);
    entry.created_at = entry.last_accessed = storage_time(timestamp);
    entry.access_count = 0;
    return entry;
  }

  void reserve(size_t records) {
    try {
      entries_.reserve(records);
    } catch (const std::bad_alloc&) {
      reject_no_room(records);
    } catch (const std::length_error&) {
      reject_no_room(records);
    }
  }

  [[noreturn]] static void reject_no_room(size_t records) {
    reject(ErrorKind::MemoryError,
           "could not allocate room for " + std::to_string(records) + " storage entries");
  }

  const unsigned char* records() const noexcept {
    return reinterpret_cast<const unsigned char*>(entries_.data());
  }

  std::vector<CacheEntry, RecordAllocator<CacheEntry>> entries_;
  uint64_t capacity_;
  uint64_t code_bits_;
};

}  // namespace tw
