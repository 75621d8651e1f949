// Fuzzing of the borrow records against a plain model: a list of the borrows held, each with the
// exact bytes its views touch. Sequences of shared and exclusive acquires and releases over views
// of a few buffers (offsets, 0 to 3 dimensions, any strides, negative ones too) and many groups,
// so that the records' table grows and shifts members back on deletion.
//
// The rule checked, per group (views of one buffer; groups never conflict):
// - a shared borrow of a key held shared adds one to its count;
// - a key held exclusively, or a different key held exclusively whose views share a byte with
//   the new view, refuses a shared borrow; any held key that is equal or shares a byte refuses an
//   exclusive one;
// - a key whose address range is disjoint from every such held key is granted;
// - between the two (ranges meet, no byte shared) the decision is the records' own overlap test,
//   which is checked here to be symmetric, never to miss a shared byte and never to flag
//   disjoint ranges; the model then expects exactly that decision.
// Releases give back what was granted, in any order; at the end nothing is held.
#include <algorithm>
#include <bitset>
#include <memory>
#include <numeric>
#include <vector>

#include "binding/borrow_records.h"
#include "fuzz_input.h"

namespace tw::fuzz {
namespace {

using borrow::BorrowKey;
using borrow::BorrowRecords;

constexpr size_t kWindow = 4096;  // bytes each buffer spans; views stay inside
constexpr size_t kBuffers = 3;    // side by side from kBufferBase
constexpr uintptr_t kBufferBase = 0x7f0000100000;
using Bytes = std::bitset<kBuffers * kWindow>;  // relative to kBufferBase

struct View {
  uintptr_t data;  // offset of the data pointer from kBufferBase
  int ndim;
  intptr_t shape[3];
  intptr_t strides[3];
  intptr_t itemsize;

  BorrowKey key() const {
    return borrow::make_key(pointer(), ndim, shape, strides, itemsize);
  }
  const char* pointer() const { return reinterpret_cast<const char*>(kBufferBase + data); }
  // The bytes the view's elements cover, and their lowest and one past their highest.
  Bytes bytes(uintptr_t* low, uintptr_t* high) const {
    Bytes out;
    *low = UINTPTR_MAX, *high = 0;
    for (int d = 0; d < ndim; ++d) {
      if (shape[d] == 0) return out;
    }
    intptr_t index[3] = {0, 0, 0};
    for (;;) {
      intptr_t at = static_cast<intptr_t>(data);
      for (int d = 0; d < ndim; ++d) at += index[d] * strides[d];
      for (intptr_t b = 0; b < itemsize; ++b) out.set(static_cast<size_t>(at + b));
      *low = std::min(*low, static_cast<uintptr_t>(at));
      *high = std::max(*high, static_cast<uintptr_t>(at + itemsize));
      int d = ndim;
      while (d > 0 && ++index[d - 1] == shape[d - 1]) index[--d] = 0;
      if (d == 0) return out;
    }
  }
};

View draw_view(Input& in) {
  View v{};
  // Buffers of different groups may lie at the same addresses: groups never conflict.
  v.data = kWindow * in.below(kBuffers) + 1024 + in.below(2048);
  const uint8_t dims = in.u8();
  v.ndim = dims % 4;
  v.itemsize = 1 + (dims >> 2) % 16;
  const uint8_t style = in.u8();
  for (int d = 0; d < v.ndim; ++d) {
    v.shape[d] = in.u8() % 6;
    const int raw = static_cast<int>(in.u8() % 129) - 64;  // any byte stride
    // Mostly whole elements, as most NumPy views have; sometimes any byte count. Either way
    // every byte stays within 1024 bytes of the data pointer.
    v.strides[d] = style % 4 == 0 ? raw : (raw % 5) * v.itemsize;
  }
  return v;
}

// One key as the model holds it: its kind and count, and every byte of the views it was
// granted for (a key does not tell views of the same range, data and strides apart).
struct Held {
  uintptr_t group;
  BorrowKey key;
  intptr_t count;  // > 0 shared, -1 exclusive
  Bytes bytes;
};

struct Handle {
  uintptr_t group;
  View view;
  bool exclusive;
};

// Whether two address ranges share an address; an empty range (a view of no elements) shares
// none.
bool ranges_meet(const BorrowKey& a, const BorrowKey& b) {
  return a.start < a.end && b.start < b.end && a.start < b.end && b.start < a.end;
}

class Model {
 public:
  // What the contract requires of acquiring `view` in `group`: 0 or -1.
  int decide(uintptr_t group, const BorrowKey& key, const Bytes& bytes, bool exclusive) const {
    int decision = BorrowRecords::kOk;
    for (const Held& h : held_) {
      if (h.group != group) continue;
      if (h.key == key) {
        if (exclusive || h.count < 0) return BorrowRecords::kAlreadyBorrowed;
        return BorrowRecords::kOk;  // the same key held shared: one more
      }
      if (!exclusive && h.count > 0) continue;  // shared beside shared
      const bool shares = (h.bytes & bytes).any();
      const bool may = borrow::may_overlap(h.key, key);
      TW_FUZZ_CHECK(may == borrow::may_overlap(key, h.key), "may_overlap is not symmetric\n");
      TW_FUZZ_CHECK(!shares || may, "may_overlap misses a shared byte: [%zx, %zx) and [%zx, %zx)\n",
                    size_t(h.key.start), size_t(h.key.end), size_t(key.start), size_t(key.end));
      TW_FUZZ_CHECK(ranges_meet(h.key, key) || !may,
                    "may_overlap flags disjoint ranges [%zx, %zx) and [%zx, %zx)\n",
                    size_t(h.key.start), size_t(h.key.end), size_t(key.start), size_t(key.end));
      if (may) decision = BorrowRecords::kAlreadyBorrowed;
    }
    return decision;
  }

  void grant(uintptr_t group, const BorrowKey& key, const Bytes& bytes, bool exclusive) {
    for (Held& h : held_) {
      if (h.group == group && h.key == key) {
        ++h.count;
        h.bytes |= bytes;
        return;
      }
    }
    held_.push_back({group, key, exclusive ? intptr_t{-1} : intptr_t{1}, bytes});
  }

  // A release the records must honour or, when it matches no borrow of its kind, ignore.
  void release(uintptr_t group, const BorrowKey& key, bool exclusive) {
    for (size_t i = 0; i < held_.size(); ++i) {
      Held& h = held_[i];
      if (h.group != group || !(h.key == key)) continue;
      if (exclusive ? h.count != -1 : h.count <= 0) return;
      if (exclusive || --h.count == 0) held_.erase(held_.begin() + static_cast<ptrdiff_t>(i));
      return;
    }
  }

  size_t groups() const {
    std::vector<uintptr_t> ids;
    for (const Held& h : held_) {
      if (std::find(ids.begin(), ids.end(), h.group) == ids.end()) ids.push_back(h.group);
    }
    return ids.size();
  }
  const std::vector<Held>& held() const { return held_; }

 private:
  std::vector<Held> held_;
};

void check_counts(const BorrowRecords& r, const Model& m) {
  TW_FUZZ_CHECK(r.group_count() == m.groups(), "records hold %zu groups, model %zu\n",
                r.group_count(), m.groups());
  for (const Held& h : m.held()) {
    const intptr_t got = r.count(h.group, h.key);
    TW_FUZZ_CHECK(got == h.count, "group %zx key [%zx, %zx): count %td, model %td\n",
                  size_t(h.group), size_t(h.key.start), size_t(h.key.end), got, h.count);
  }
}

}  // namespace
}  // namespace tw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tw::fuzz;
  Input in(data, size);
  BorrowRecords records;
  Model model;
  std::vector<Handle> handles;  // borrows granted and not yet given back
  // Group ids like object addresses, from a pool the input sizes: few groups crowd single keys,
  // many grow the table and build the probe runs that deletion shifts back.
  const size_t pool = 1 + in.u8() % 64;
  const uintptr_t stride = 16 * (1 + in.u8() % 8);
  std::vector<BorrowKey> seen;
  std::vector<uintptr_t> seen_groups;
  while (!in.empty()) {
    const uint8_t op = in.u8();
    if (op % 4 == 3 && !handles.empty()) {
      // Give back one held borrow, whichever the input picks.
      const size_t i = in.below(handles.size());
      const Handle h = handles[i];
      handles.erase(handles.begin() + static_cast<ptrdiff_t>(i));
      const BorrowKey key = h.view.key();
      h.exclusive ? records.release_mut(h.group, key) : records.release(h.group, key);
      model.release(h.group, key, h.exclusive);
    } else {
      const uintptr_t group = 0x10000 + stride * (1 + in.below(pool));
      const View view = draw_view(in);
      const BorrowKey key = view.key();
      TW_FUZZ_CHECK(key == tw::borrow::make_key_any(view.pointer(), view.ndim, view.shape,
                                                    view.strides, view.itemsize),
                    "make_key and make_key_any differ\n");
      uintptr_t low, high;
      const Bytes bytes = view.bytes(&low, &high);
      if (bytes.any()) {
        TW_FUZZ_CHECK(key.start == kBufferBase + low && key.end == kBufferBase + high,
                      "key range [%zx, %zx), view's bytes [%zx, %zx)\n", size_t(key.start),
                      size_t(key.end), size_t(kBufferBase + low), size_t(kBufferBase + high));
      }
      if (op % 4 == 2 && op >= 128) {
        // A release that matches nothing held of its kind, or a stray one of an unknown key.
        const bool exclusive = op & 1;
        exclusive ? records.release_mut(group, key) : records.release(group, key);
        model.release(group, key, exclusive);
      } else {
        const bool exclusive = op % 4 == 1;
        const int want = model.decide(group, key, bytes, exclusive);
        const int got = exclusive ? records.acquire_mut(group, key) : records.acquire(group, key);
        TW_FUZZ_CHECK(got == want, "%s borrow in group %zx of [%zx, %zx): records %d, model %d\n",
                      exclusive ? "exclusive" : "shared", size_t(group), size_t(key.start),
                      size_t(key.end), got, want);
        if (got == BorrowRecords::kOk) {
          model.grant(group, key, bytes, exclusive);
          handles.push_back({group, view, exclusive});
        }
      }
      if (seen.size() < 256) seen.push_back(key), seen_groups.push_back(group);
    }
    if (op % 8 == 0) check_counts(records, model);
  }
  check_counts(records, model);
  // Give back whatever is still held, oldest first.
  while (!handles.empty()) {
    const Handle h = handles.front();
    handles.erase(handles.begin());
    h.exclusive ? records.release_mut(h.group, h.view.key()) : records.release(h.group, h.view.key());
    model.release(h.group, h.view.key(), h.exclusive);
  }
  TW_FUZZ_CHECK(records.group_count() == 0, "%zu groups held after every release\n",
                records.group_count());
  for (size_t i = 0; i < seen.size(); ++i) {
    TW_FUZZ_CHECK(records.count(seen_groups[i], seen[i]) == 0, "a key stays held\n");
  }
  return 0;
}
