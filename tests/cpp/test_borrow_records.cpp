// Borrow keys, the overlap test and the records behind the shared borrow-tracking table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "binding/borrow_records.h"

namespace {
size_t g_allocations = 0;
}  // namespace

void* operator new(size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace tw::borrow {
namespace {

constexpr uintptr_t kBase = 0x100000;

struct View {
  uintptr_t offset;
  std::vector<intptr_t> shape, strides;
  intptr_t itemsize;

  BorrowKey key() const {
    return make_key(reinterpret_cast<const char*>(kBase + offset), static_cast<int>(shape.size()),
                    shape.data(), strides.data(), itemsize);
  }
  // Every byte an element of the view covers.
  std::set<uintptr_t> bytes() const {
    std::set<uintptr_t> out;
    for (intptr_t n : shape) {
      if (n == 0) return out;
    }
    std::vector<intptr_t> index(shape.size(), 0);
    for (;;) {
      intptr_t at = static_cast<intptr_t>(kBase + offset);
      for (size_t d = 0; d < shape.size(); ++d) at += index[d] * strides[d];
      for (intptr_t b = 0; b < itemsize; ++b) out.insert(static_cast<uintptr_t>(at + b));
      size_t d = shape.size();
      while (d > 0 && ++index[d - 1] == shape[d - 1]) index[--d] = 0;
      if (d == 0) return out;
    }
  }
};

TEST(BorrowKey, RangeCoversLowestToOnePastHighestByte) {
  struct Case {
    View view;
    uintptr_t start, end, gcd;
  };
  const Case cases[] = {
      {{64, {4}, {8}, 8}, 64, 96, 8},           // contiguous
      {{64, {4}, {-8}, 8}, 40, 72, 8},          // reversed
      {{64, {4}, {0}, 8}, 64, 72, 0},           // broadcast
      {{64, {1}, {8}, 8}, 64, 72, 0},           // one element
      {{64, {}, {}, 8}, 64, 72, 0},             // zero dimensions
      {{64, {3, 4}, {32, 8}, 8}, 64, 160, 8},   // row-major
      {{64, {3, 4}, {-32, 8}, 8}, 0, 96, 8},    // rows reversed
      {{64, {3, 1}, {48, 8}, 4}, 64, 164, 48},  // a column: the unit dimension's stride is moot
      {{64, {2, 0}, {32, 8}, 8}, 64, 64, 0},    // empty: touches nothing
  };
  for (const Case& c : cases) {
    const BorrowKey key = c.view.key();
    EXPECT_EQ(key.start - kBase, c.start);
    EXPECT_EQ(key.end - kBase, c.end);
    EXPECT_EQ(key.gcd, c.gcd);
    EXPECT_EQ(key.data - kBase, c.view.offset);
  }
}

TEST(BorrowKey, OneDimensionalShortcutAgreesWithGeneralPath) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const intptr_t shape = static_cast<intptr_t>(rng() % 6);
    const intptr_t stride = static_cast<intptr_t>(rng() % 49) - 24;
    const intptr_t itemsize = static_cast<intptr_t>(rng() % 9);
    const char* data = reinterpret_cast<const char*>(kBase + rng() % 256);
    EXPECT_EQ(make_key(data, 1, &shape, &stride, itemsize),
              make_key_any(data, 1, &shape, &stride, itemsize));
  }
}

TEST(BorrowKey, OffsetsBeyondTheAddressSpaceClaimAllOfIt) {
  const intptr_t max = std::numeric_limits<intptr_t>::max();
  const intptr_t shape[2] = {4, 4}, strides[2] = {max / 2, max / 2};
  const char* data = reinterpret_cast<const char*>(kBase);
  for (int ndim : {1, 2}) {
    const BorrowKey key = make_key(data, ndim, shape, strides, 8);
    EXPECT_EQ(key.start, 0u);
    EXPECT_EQ(key.end, std::numeric_limits<uintptr_t>::max());
  }
  const intptr_t down = -max;
  const BorrowKey low = make_key(data, 1, shape, &down, 8);  // wraps below address 0
  EXPECT_EQ(low.start, 0u);
}

View random_view(std::mt19937_64& rng) {
  View v;
  v.offset = rng() % 96;
  v.itemsize = 1 + static_cast<intptr_t>(rng() % 8);
  const size_t ndim = rng() % 3 + (rng() % 8 == 0 ? 0 : 1);
  for (size_t d = 0; d < ndim; ++d) {
    v.shape.push_back(static_cast<intptr_t>(rng() % 5));
    const intptr_t unit = static_cast<intptr_t>(rng() % 4 == 0 ? 1 : 8);
    v.strides.push_back(unit * (static_cast<intptr_t>(rng() % 9) - 4));
  }
  // Keep every byte above the base address.
  v.offset += 400;
  return v;
}

TEST(MayOverlap, NeverMissesASharedByteAndNeverFlagsDisjointRanges) {
  std::mt19937_64 rng(11);
  int refined = 0;
  for (int i = 0; i < 20000; ++i) {
    const View a = random_view(rng), b = random_view(rng);
    const BorrowKey ka = a.key(), kb = b.key();
    bool shares_a_byte = false;
    const auto bytes_b = b.bytes();
    for (uintptr_t byte : a.bytes()) shares_a_byte |= bytes_b.count(byte) > 0;
    const bool overlap = may_overlap(ka, kb);
    ASSERT_EQ(overlap, may_overlap(kb, ka));
    if (shares_a_byte) {
      ASSERT_TRUE(overlap) << "views sharing bytes reported disjoint, case " << i;
    }
    if (ka == kb) {
      ASSERT_TRUE(overlap);  // even two empty views
    } else if (ka.start >= kb.end || kb.start >= ka.end) {
      ASSERT_FALSE(overlap);
    }
    if (!overlap && ka.start < kb.end && kb.start < ka.end) ++refined;
  }
  EXPECT_GT(refined, 0);  // the stride test does separate some interleaved views
}

TEST(MayOverlap, InterleavedRowsAndColumnsAreDisjoint) {
  // A 4x4 matrix of 8-byte elements: columns 0 and 1, and even and odd elements of a row.
  const View col0{0, {4}, {32}, 8}, col1{8, {4}, {32}, 8};
  const View even{0, {2}, {16}, 8}, odd{8, {2}, {16}, 8}, pair{0, {2}, {8}, 8};
  EXPECT_FALSE(may_overlap(col0.key(), col1.key()));
  EXPECT_FALSE(may_overlap(even.key(), odd.key()));
  EXPECT_TRUE(may_overlap(even.key(), pair.key()));
  EXPECT_TRUE(may_overlap(odd.key(), pair.key()));
  // An empty slice inside a row touches none of it.
  const View row{0, {4}, {8}, 8}, empty{8, {0}, {8}, 8};
  EXPECT_FALSE(may_overlap(row.key(), empty.key()));
  EXPECT_TRUE(may_overlap(empty.key(), empty.key()));
}

BorrowKey span(uintptr_t from, uintptr_t count) {
  const intptr_t shape = static_cast<intptr_t>(count), stride = 8;
  return make_key(reinterpret_cast<const char*>(kBase + from * 8), 1, &shape, &stride, 8);
}

TEST(BorrowRecords, SharedBorrowsCountAndBlockExclusiveOnes) {
  BorrowRecords r;
  const BorrowKey whole = span(0, 8), head = span(0, 4), middle = span(2, 4), tail = span(4, 4);
  EXPECT_EQ(r.acquire(1, whole), 0);
  EXPECT_EQ(r.acquire(1, whole), 0);
  EXPECT_EQ(r.count(1, whole), 2);
  EXPECT_EQ(r.acquire_mut(1, whole), -1);
  EXPECT_EQ(r.acquire_mut(1, tail), -1);  // overlaps a shared borrow
  EXPECT_EQ(r.acquire_mut(2, tail), 0);   // another group: another buffer
  r.release(1, whole);
  EXPECT_EQ(r.acquire_mut(1, head), -1);
  r.release(1, whole);
  EXPECT_EQ(r.count(1, whole), 0);
  EXPECT_EQ(r.group_count(), 1u);

  EXPECT_EQ(r.acquire_mut(1, head), 0);
  EXPECT_EQ(r.acquire(1, head), -1);    // the exclusive key itself
  EXPECT_EQ(r.acquire(1, middle), -1);  // overlaps it
  EXPECT_EQ(r.acquire(1, tail), 0);     // disjoint from it
  EXPECT_EQ(r.acquire_mut(1, head), -1);
  r.release_mut(1, head);
  EXPECT_EQ(r.acquire(1, middle), 0);
  r.release(1, middle);
  r.release(1, tail);
  r.release_mut(2, tail);
  EXPECT_EQ(r.group_count(), 0u);
}

TEST(BorrowRecords, ReleasesOfTheWrongKindAreIgnored) {
  BorrowRecords r;
  const BorrowKey key = span(0, 4);
  r.release(1, key);
  r.release_mut(1, key);
  ASSERT_EQ(r.acquire(1, key), 0);
  r.release_mut(1, key);  // a shared borrow is not given back as an exclusive one
  EXPECT_EQ(r.count(1, key), 1);
  r.release(1, key);
  ASSERT_EQ(r.acquire_mut(1, key), 0);
  r.release(1, key);
  EXPECT_EQ(r.count(1, key), -1);
  r.release(1, span(0, 3));  // unknown key in a live group
  r.release_mut(1, key);
  EXPECT_EQ(r.group_count(), 0u);
}

// A plain model of the records, to check the table's probing, growth and deletion.
struct Model {
  std::map<uintptr_t, std::vector<std::pair<BorrowKey, intptr_t>>> groups;

  int acquire(uintptr_t g, const BorrowKey& k, bool exclusive) {
    auto& entries = groups[g];
    for (auto& [key, count] : entries) {
      if (key == k && !exclusive) {
        if (count < 0) return -1;
        ++count;
        return 0;
      }
    }
    for (auto& [key, count] : entries) {
      if ((exclusive || count < 0) && may_overlap(key, k)) return -1;
    }
    entries.push_back({k, exclusive ? -1 : 1});
    return 0;
  }
  void release(uintptr_t g, const BorrowKey& k, bool exclusive) {
    auto it = groups.find(g);
    if (it == groups.end()) return;
    auto& entries = it->second;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!(entries[i].first == k)) continue;
      intptr_t& count = entries[i].second;
      if (exclusive ? count != -1 : count <= 0) return;
      if (exclusive || --count == 0) entries.erase(entries.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
    if (entries.empty()) groups.erase(it);
  }
};

TEST(BorrowRecords, AgreesWithAPlainModelAcrossGrowthAndDeletion) {
  std::mt19937_64 rng(3);
  BorrowRecords r;
  Model m;
  std::vector<std::pair<uintptr_t, BorrowKey>> known;
  for (int step = 0; step < 60000; ++step) {
    // Ids in clusters, so that probe runs form and deletions shift members back.
    const uintptr_t group = 16 * (1 + rng() % 300) + (step / 20000) * 0x10000;
    const BorrowKey key = span(rng() % 8, 1 + rng() % 4);
    const bool exclusive = rng() % 3 == 0;
    if (rng() % 2 == 0) {
      ASSERT_EQ(exclusive ? r.acquire_mut(group, key) : r.acquire(group, key),
                m.acquire(group, key, exclusive));
    } else {
      exclusive ? r.release_mut(group, key) : r.release(group, key);
      m.release(group, key, exclusive);
    }
    known.push_back({group, key});
    if (step % 997 == 0) {
      ASSERT_EQ(r.group_count(), m.groups.size());
      for (const auto& [g, k] : known) {
        intptr_t expected = 0;
        if (auto it = m.groups.find(g); it != m.groups.end()) {
          for (const auto& [mk, count] : it->second) {
            if (mk == k) expected = count;
          }
        }
        ASSERT_EQ(r.count(g, k), expected);
      }
      known.clear();
    }
  }
}

TEST(BorrowRecords, SteadyBorrowAndReleaseDoesNotAllocate) {
  BorrowRecords r;
  const BorrowKey a = span(0, 4), b = span(4, 4), c = span(8, 4);
  auto round = [&] {
    for (uintptr_t group : {uintptr_t(16), uintptr_t(32), uintptr_t(48)}) {
      ASSERT_EQ(r.acquire(group, a), 0);
      ASSERT_EQ(r.acquire(group, a), 0);
      ASSERT_EQ(r.acquire(group, b), 0);
      ASSERT_EQ(r.acquire_mut(group, c), 0);
    }
    for (uintptr_t group : {uintptr_t(48), uintptr_t(16), uintptr_t(32)}) {
      r.release(group, a);
      r.release(group, b);
      r.release_mut(group, c);
      r.release(group, a);
    }
  };
  round();
  const size_t before = g_allocations;
  for (int i = 0; i < 100; ++i) round();
  EXPECT_EQ(g_allocations, before);
  EXPECT_EQ(r.group_count(), 0u);
}

}  // namespace
}  // namespace tw::borrow
