// The entry store's record layout, room policy and the paths Python cannot reach cheaply.
#include <gtest/gtest.h>

#include <cstddef>

#include "storage.h"

namespace tw {
namespace {

CodeArg arg(const uint64_t (&words)[4]) { return CodeArg{words, 4, true}; }

TEST(CacheEntryLayout, FieldsFollowEachOtherWithoutGaps) {
  EXPECT_EQ(offsetof(CacheEntry, created_at), 32u);
  EXPECT_EQ(offsetof(CacheEntry, last_accessed), 36u);
  EXPECT_EQ(offsetof(CacheEntry, access_count), 40u);
}

TEST(EntryStore, AccessCountSaturates) {
  EntryStore store(4, 256);
  const uint64_t code[4] = {1, 2, 3, 4};
  store.add(arg(code), 1700000000);
  store.records_for_testing()[0].access_count = UINT32_MAX - 1;
  store.mark_used(0, 1700000001);
  EXPECT_EQ(store.at(0).access_count, UINT32_MAX);
  store.mark_used(0, 1700000002);
  EXPECT_EQ(store.at(0).access_count, UINT32_MAX);
  EXPECT_EQ(store.at(0).last_accessed, storage_time(1700000002));
}

TEST(EntryStore, RoomStartsAtMostAt1024AndDoubles) {
  EXPECT_EQ(EntryStore(1, 256).room(), 1u);
  EXPECT_EQ(EntryStore(UINT64_MAX, 256).room(), 1024u);
  const uint64_t code[4] = {};
  EntryStore small(100, 256);
  EXPECT_EQ(small.room(), 100u);
  EntryStore one(UINT64_MAX, 256);
  for (int i = 0; i < 1025; ++i) one.add(arg(code), 0);
  EXPECT_EQ(one.room(), 2048u);
}

TEST(EntryStore, GrowthFromTinyRoomIsAtLeastFour) {
  // Room 1 from construction; the first growth goes to max(2, 4).
  EntryStore store(1, 256);
  const uint64_t code[4] = {};
  store.add(arg(code), 0);
  EXPECT_EQ(store.room(), 1u);
  EXPECT_THROW(store.add(arg(code), 0), NativeError);
  EXPECT_EQ(store.room(), 1u);
}

// search relies on the similarity being strictly decreasing in the distance for every
// code_bits a filled store can have, so the kernel's first smallest distance is the answer.
TEST(EntryStore, SimilarityIsStrictlyDecreasingForStorableWidths) {
  for (uint64_t bits = 256; bits <= 319; ++bits) {
    for (uint32_t d = 1; d <= 256; ++d) {
      ASSERT_LT(normalized_similarity(d, bits), normalized_similarity(d - 1, bits))
          << "code_bits=" << bits << " d=" << d;
    }
  }
}

// Past 4 MiB the records move to memory advised for huge pages, through several regrowths.
TEST(EntryStore, LargeStoreKeepsRecordsThroughGrowth) {
  const size_t n = 150000;
  EntryStore store(n, 256);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t code[4] = {i, ~i, i * 0x9E3779B97F4A7C15ULL, 42};
    store.add(arg(code), kTimestampEpoch + 1000 + (i * 7919) % n);
  }
  EXPECT_GE(store.room() * sizeof(CacheEntry), kHugePageAdviceBytes);
  const size_t target = n - 3;
  const uint64_t query[4] = {target, ~target, target * 0x9E3779B97F4A7C15ULL, 42};
  const auto hit = store.search(arg(query), 1.0f);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->index, target);
  EXPECT_EQ(store.evict_lru(), 0u);  // (i * 7919) % n is 0 only at i = 0
  store.mark_used(0, kTimestampEpoch + 5000000);
  EXPECT_EQ(store.at(0).last_accessed, 5000000u);
  const uint64_t last_word1 = store.at(n - 1).code[1];  // a packed field binds to no reference
  EXPECT_EQ(last_word1, ~uint64_t{n - 1});
}

TEST(StorageTime, ClampsBeforeEpochAndWrapsAfter2Pow32) {
  EXPECT_EQ(storage_time(0), 0u);
  EXPECT_EQ(storage_time(kTimestampEpoch - 1), 0u);
  EXPECT_EQ(storage_time(kTimestampEpoch), 0u);
  EXPECT_EQ(storage_time(kTimestampEpoch + (1ULL << 32) - 1), UINT32_MAX);
  EXPECT_EQ(storage_time(kTimestampEpoch + (1ULL << 32)), 0u);
  EXPECT_EQ(storage_time(UINT64_MAX), static_cast<uint32_t>(UINT64_MAX - kTimestampEpoch));
  EXPECT_EQ(unix_time(UINT32_MAX), kTimestampEpoch + UINT32_MAX);
}

}  // namespace
}  // namespace tw
