// Borrow records: an open-addressing table of groups, each a small flat list of keyed counts.
#include "borrow_records.h"

#include <limits>
#include <new>
#include <numeric>

namespace tw::borrow {
namespace {

constexpr uintptr_t kTop = std::numeric_limits<uintptr_t>::max();

uintptr_t magnitude(intptr_t v) noexcept {
  return v < 0 ? uintptr_t(0) - static_cast<uintptr_t>(v) : static_cast<uintptr_t>(v);
}

}  // namespace

BorrowKey make_key_any(const char* data, int ndim, const intptr_t* shape, const intptr_t* strides,
                       intptr_t itemsize) noexcept {
  BorrowKey key;
  key.data = reinterpret_cast<uintptr_t>(data);
  key.itemsize = itemsize > 0 ? static_cast<uintptr_t>(itemsize) : 0;
  intptr_t low = 0, high = 0;  // byte offsets of the lowest and highest element from data
  bool overflow = false;
  for (int d = 0; d < ndim; ++d) {
    const intptr_t n = shape[d];
    if (n <= 1) {
      if (n <= 0) {
        key.start = key.end = key.data;
        key.gcd = 0;
        return key;
      }
      continue;  // a dimension of one element moves no byte
    }
    const intptr_t stride = strides[d];
    key.gcd = key.gcd == 0 ? magnitude(stride) : std::gcd(key.gcd, magnitude(stride));
    intptr_t reach;
    overflow |= mul_overflow(n - 1, stride, &reach);
    overflow |= reach < 0 ? add_overflow(low, reach, &low)
                          : add_overflow(high, reach, &high);
  }
  // Offsets beyond the address space: claim all of it.
  if (overflow || add_overflow(key.data, low, &key.start)) key.start = 0;
  if (overflow || add_overflow(key.data, high, &key.end) ||
      add_overflow(key.end, key.itemsize, &key.end)) {
    key.end = kTop;
  }
  return key;
}

bool may_overlap(const BorrowKey& a, const BorrowKey& b) noexcept {
  if (a == b) return true;
  // A view of no elements touches no byte, wherever its data pointer lies.
  if (a.start == a.end || b.start == b.end) return false;
  if (a.start >= b.end || b.start >= a.end) return false;
  // Every byte of a view lies at data + k * gcd + [0, itemsize) for some integer k: views whose
  // data pointers sit at offsets such runs never bridge (interleaved rows, columns) are disjoint.
  const uintptr_t g = std::gcd(a.gcd, b.gcd);
  if (g == 0 || a.itemsize + b.itemsize > g) return true;
  const uintptr_t ra = a.data % g, rb = b.data % g;
  const uintptr_t r = rb >= ra ? rb - ra : rb + g - ra;  // (b.data - a.data) mod g
  return r < a.itemsize || r > g - b.itemsize;
}

void BorrowRecords::Group::grow_spill() {
  const uint32_t wanted = spill_capacity == 0 ? 2 : spill_capacity * 2;
  if (wanted <= spill_capacity) throw std::bad_alloc();
  std::unique_ptr<Entry[]> bigger(new Entry[wanted]);
  for (uint32_t i = 0; i + 1 < size; ++i) bigger[i] = spill[i];
  spill = std::move(bigger);
  spill_capacity = wanted;
}

BorrowRecords::BorrowRecords() : slots_(new Group[16]), mask_(15), shift_(64 - 4) {}

void BorrowRecords::shift_back(size_t hole) noexcept {
  // Backward-shift deletion: later members of the probe run move into the hole, so lookups never
  // meet tombstones; the emptied group's spill storage travels along for reuse.
  for (size_t j = (hole + 1) & mask_; slots_[j].id != 0; j = (j + 1) & mask_) {
    const size_t k = home(slots_[j].id);
    if (hole <= j ? (k <= hole || k > j) : (k <= hole && k > j)) {
      std::swap(slots_[hole], slots_[j]);
      hole = j;
    }
  }
  slots_[hole].id = 0;
  --live_;
}

int BorrowRecords::add_group_grown(uintptr_t id, const BorrowKey& key, intptr_t count) {
  const size_t size = (mask_ + 1) * 2;
  std::unique_ptr<Group[]> bigger(new Group[size]);
  std::swap(slots_, bigger);
  mask_ = size - 1;
  --shift_;
  for (size_t old = 0; old < size / 2; ++old) {
    Group& group = bigger[old];
    if (group.id != 0) slots_[probe(group.id)] = std::move(group);
  }
  return add_group(probe(id), id, key, count);
}

int BorrowRecords::acquire_in(size_t slot, const BorrowKey& key) {
  Group& group = slots_[slot];
  Entry* same = nullptr;
  bool blocked = false;
  for (uint32_t i = 0; i < group.size; ++i) {
    Entry& entry = group.at(i);
    if (entry.key == key) {
      same = &entry;
    } else if (entry.count < 0 && may_overlap(entry.key, key)) {
      blocked = true;
    }
  }
  if (same != nullptr) {
    if (same->count < 0 || same->count == kMaxCount) {
      return kAlreadyBorrowed;
    }
    ++same->count;
    return kOk;
  }
  if (blocked) return kAlreadyBorrowed;
  group.push({key, 1});
  return kOk;
}

int BorrowRecords::acquire_mut_in(size_t slot, const BorrowKey& key) {
  Group& group = slots_[slot];
  for (uint32_t i = 0; i < group.size; ++i) {
    if (may_overlap(group.at(i).key, key)) return kAlreadyBorrowed;
  }
  group.push({key, -1});
  return kOk;
}

void BorrowRecords::release_in(size_t slot, const BorrowKey& key, bool exclusive) noexcept {
  Group& group = slots_[slot];
  for (uint32_t i = 0; i < group.size; ++i) {
    Entry& entry = group.at(i);
    if (entry.key != key) continue;
    if (exclusive ? entry.count != -1 : entry.count <= 0) return;
    if (exclusive || --entry.count == 0) {
      group.erase(i);
      if (group.size == 0) free_slot(slot);
    }
    return;
  }
}

intptr_t BorrowRecords::count(uintptr_t group_id, const BorrowKey& key) const noexcept {
  const Group& group = slots_[probe(group_id)];
  if (group.id == 0) return 0;
  for (uint32_t i = 0; i < group.size; ++i) {
    if (group.at(i).key == key) return group.at(i).count;
  }
  return 0;
}

}  // namespace tw::borrow
