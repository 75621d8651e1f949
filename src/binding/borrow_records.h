// Python-free borrow records behind the shared borrow-tracking table: which views of which buffers
// are borrowed, shared or exclusively. The common cases are inline: every call of the module goes
// through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/bits.h"

namespace tw::borrow {

// What identifies one borrowed view within its group. The element size makes keys finer than
// range, data pointer and stride gcd alone; it is what lets interleaved views count as disjoint.
struct BorrowKey {
  uintptr_t start = 0;  // lowest byte the view can touch
  uintptr_t end = 0;    // one past the highest; start == end for a view of no elements
  uintptr_t data = 0;   // the view's data pointer
  uintptr_t gcd = 0;    // gcd of the absolute strides of dimensions longer than 1 (0 if none)
  uintptr_t itemsize = 0;

  bool operator==(const BorrowKey&) const = default;
};

// The key of a view of any number of dimensions: element (i0, i1, ...) lies at
// data + sum(i_d * strides[d]).
BorrowKey make_key_any(const char* data, int ndim, const intptr_t* shape, const intptr_t* strides,
                       intptr_t itemsize) noexcept;

inline BorrowKey make_key(const char* data, int ndim, const intptr_t* shape,
                          const intptr_t* strides, intptr_t itemsize) noexcept {
  if (ndim == 1 && shape[0] > 1 && itemsize > 0) {
    const intptr_t stride = strides[0];
    intptr_t reach;
    uintptr_t low, high;
    const uintptr_t base = reinterpret_cast<uintptr_t>(data);
    if (!mul_overflow(shape[0] - 1, stride, &reach) &&
        !add_overflow(base, reach < 0 ? reach : 0, &low) &&
        !add_overflow(base, reach > 0 ? reach : 0, &high) &&
        !add_overflow(high, itemsize, &high)) {
      const uintptr_t gcd = stride < 0 ? uintptr_t(0) - uintptr_t(stride) : uintptr_t(stride);
      return {low, high, base, gcd, uintptr_t(itemsize)};
    }
  }
  return make_key_any(data, ndim, shape, strides, itemsize);
}

// False only when the two views provably share no byte; equal keys always may overlap.
bool may_overlap(const BorrowKey& a, const BorrowKey& b) noexcept;

// Borrows grouped by the object that owns the memory (any non-zero id). Within a group each key
// counts n > 0 shared borrows or -1 for one exclusive borrow. A steady stream of short borrows
// does not allocate.
class BorrowRecords {
 public:
  static constexpr int kOk = 0;
  static constexpr int kAlreadyBorrowed = -1;
  static constexpr intptr_t kMaxCount = INTPTR_MAX;

  BorrowRecords();
  // May throw std::bad_alloc; the records are unchanged when it does.
  int acquire(uintptr_t group, const BorrowKey& key) {
    const size_t slot = probe(group);
    Group& g = slots_[slot];
    if (g.id == 0) return add_group(slot, group, key, 1);
    if (g.size == 1 && g.first.count > 0 && g.first.count < kMaxCount) {
      // Beside a single shared borrow nothing can refuse another shared one.
      if (g.first.key == key) {
        ++g.first.count;
      } else {
        g.push({key, 1});
      }
      return kOk;
    }
    return acquire_in(slot, key);
  }
  int acquire_mut(uintptr_t group, const BorrowKey& key) {
    const size_t slot = probe(group);
    if (slots_[slot].id == 0) return add_group(slot, group, key, -1);
    return acquire_mut_in(slot, key);
  }
  // Releases that match no borrow of their kind are ignored.
  void release(uintptr_t group, const BorrowKey& key) noexcept {
    const size_t slot = probe(group);
    Group& g = slots_[slot];
    if (g.id == 0) return;
    // Borrows usually end in the reverse order of their start: try the newest entry first.
    const Entry& last = g.at(g.size - 1);
    if (last.count == 1 && last.key == key) {
      if (--g.size == 0) free_slot(slot);
      return;
    }
    release_in(slot, key, false);
  }
  void release_mut(uintptr_t group, const BorrowKey& key) noexcept {
    const size_t slot = probe(group);
    if (slots_[slot].id != 0) release_in(slot, key, true);
  }

  size_t group_count() const noexcept { return live_; }
  // The count recorded for a key: 0 when absent.
  intptr_t count(uintptr_t group, const BorrowKey& key) const noexcept;

 private:
  struct Entry {
    BorrowKey key;
    intptr_t count;
  };
  // Most groups hold a single borrow, so the first entry lives in the slot itself; the spill
  // storage survives the group being emptied.
  struct Group {
    uintptr_t id = 0;   // 0: free slot (then size == 0)
    uint32_t size = 0;  // entries: first, then spill[0 .. size - 2]
    uint32_t spill_capacity = 0;
    Entry first;
    std::unique_ptr<Entry[]> spill;

    Entry& at(uint32_t i) noexcept { return i == 0 ? first : spill[i - 1]; }
    const Entry& at(uint32_t i) const noexcept { return i == 0 ? first : spill[i - 1]; }
    void push(const Entry& entry) {
      if (size > 0 && size - 1 == spill_capacity) grow_spill();
      at(size) = entry;
      ++size;
    }
    void erase(uint32_t i) noexcept { at(i) = at(--size); }
    void grow_spill();
  };

  size_t home(uintptr_t id) const noexcept {
    return static_cast<size_t>((static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  // The slot holding `id`, or the free slot that ends its probe run.
  size_t probe(uintptr_t id) const noexcept {
    size_t i = home(id);
    while (slots_[i].id != id && slots_[i].id != 0) i = (i + 1) & mask_;
    return i;
  }
  // Starts a group with one entry in a free slot; may throw std::bad_alloc (only when the table
  // has to grow) before changing anything.
  int add_group(size_t slot, uintptr_t id, const BorrowKey& key, intptr_t count) {
    if ((live_ + 1) * 2 > mask_ + 1) return add_group_grown(id, key, count);
    Group& group = slots_[slot];
    group.first = {key, count};
    group.size = 1;
    group.id = id;
    ++live_;
    return kOk;
  }
  // Empties the slot of a group without entries, keeping probe runs unbroken.
  void free_slot(size_t hole) noexcept {
    if (slots_[(hole + 1) & mask_].id != 0) {
      shift_back(hole);
    } else {
      slots_[hole].id = 0;
      --live_;
    }
  }
  void shift_back(size_t hole) noexcept;
  int add_group_grown(uintptr_t id, const BorrowKey& key, intptr_t count);
  int acquire_in(size_t slot, const BorrowKey& key);
  int acquire_mut_in(size_t slot, const BorrowKey& key);
  void release_in(size_t slot, const BorrowKey& key, bool exclusive) noexcept;

  // Open addressing with linear probing; never more than half full.
  std::unique_ptr<Group[]> slots_;
  size_t mask_ = 0;
  int shift_ = 0;
  size_t live_ = 0;
};

}  // namespace tw::borrow
