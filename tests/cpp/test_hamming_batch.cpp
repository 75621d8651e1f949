// The many-row Hamming kernels of every runnable variant, against the scalar reference.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "guarded_bytes.h"
#include "kernels/kernels.h"
#include "variants.h"

namespace tw::kernels {
namespace {

// Rows that differ from `query` in a few bits each, so that equal distances and exact copies
// are common. The query starts `offset` words past a 64-byte line and the rows right after it,
// so offsets 0 to 7 put 4-word rows at every 8-byte position in a line.
struct Matrix {
  std::vector<uint64_t> storage;
  const uint64_t* query;
  const uint64_t* codes;
};

uint64_t* line_start(std::vector<uint64_t>& storage) {
  uint64_t* p = storage.data();
  while (reinterpret_cast<uintptr_t>(p) % 64 != 0) ++p;
  return p;
}

Matrix near_copies(size_t rows, size_t words, size_t offset, std::mt19937_64& rng,
                   unsigned max_flips) {
  Matrix m;
  m.storage.assign(8 + offset + words * (rows + 1), 0);
  uint64_t* q = line_start(m.storage) + offset;
  for (size_t i = 0; i < words; ++i) q[i] = rng();
  uint64_t* c = q + words;
  for (size_t r = 0; r < rows && words > 0; ++r) {  // no bits to flip in rows of no words
    std::memcpy(c + r * words, q, words * sizeof(uint64_t));
    const unsigned flips = static_cast<unsigned>(rng() % (max_flips + 1));
    for (unsigned f = 0; f < flips; ++f) {
      const size_t bit = rng() % (64 * words);
      c[r * words + bit / 64] ^= 1ULL << (bit % 64);
    }
  }
  m.query = q;
  m.codes = c;
  return m;
}

Matrix random_rows(size_t rows, size_t words, size_t offset, std::mt19937_64& rng) {
  Matrix m;
  m.storage.resize(8 + offset + words * (rows + 1));
  for (auto& w : m.storage) w = rng();
  m.query = line_start(m.storage) + offset;
  m.codes = m.query + words;
  return m;
}

// 4-word codes at the start of `stride`-byte records beginning `shift` bytes into the buffer.
struct Records {
  std::vector<unsigned char> storage;
  const unsigned char* first;
};

Records as_records(const uint64_t* codes, size_t rows, size_t stride, size_t shift,
                   std::mt19937_64& rng) {
  Records rec;
  rec.storage.resize(shift + rows * stride);
  for (auto& b : rec.storage) b = static_cast<unsigned char>(rng());
  for (size_t r = 0; r < rows; ++r) {
    std::memcpy(rec.storage.data() + shift + r * stride, codes + 4 * r, 32);
  }
  rec.first = rec.storage.data() + shift;
  return rec;
}

// Row counts around every block edge, a few thousand and past 1 MB of records; `pad` bytes after
// the last value move the first record through every position in a 64-byte line (pad 0: the data
// ends at the guard).
const std::vector<size_t>& record_counts() {
  static const std::vector<size_t> counts = [] {
    std::vector<size_t> c;
    for (size_t rows = 0; rows <= 70; ++rows) c.push_back(rows);
    for (size_t rows : {703u, 2048u, 4099u, 24000u}) c.push_back(rows);  // 1 MB of records
    return c;
  }();
  return counts;
}

std::string where(size_t rows, size_t words, size_t offset) {
  return "rows=" + std::to_string(rows) + " words=" + std::to_string(words) +
         " offset=" + std::to_string(offset);
}

// Every width up to two four-word chunks, and the wider chunked ones.
constexpr size_t kWordCounts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16};

class Batch : public ::testing::TestWithParam<Isa> {
 protected:
  const HammingKernels& k() { return table_for(GetParam())->hamming; }
  const HammingKernels& ref() { return table_for(Isa::Scalar)->hamming; }
};

TEST_P(Batch, DistancesAndSimilaritiesMatchReference) {
  std::mt19937_64 rng(7);
  // Powers of two on either side of 2^46 and below 1 too, where a multiply may or may not stand
  // in for the division.
  const float code_bits[] = {1.0f,  3.0f, 256.0f, 300.0f, 1099511627776.0f, 70368744177664.0f,
                             140737488355328.0f, 0.5f};
  for (size_t words : kWordCounts) {
    for (size_t rows = 0; rows <= 70; ++rows) {
      for (size_t offset = 0; offset < (words == 4 ? 8u : 2u); ++offset) {
        const Matrix m = random_rows(rows, words, offset, rng);
        std::vector<uint32_t> got(rows + 1, 0xDEADBEEF), want(rows + 1, 0xDEADBEEF);
        k().distances(m.query, m.codes, rows, words, got.data());
        ref().distances(m.query, m.codes, rows, words, want.data());
        ASSERT_EQ(got, want) << where(rows, words, offset);  // the sentinel past the end included
        for (size_t r = 0; r < rows; ++r) {
          ASSERT_EQ(want[r], ref().xor_popcount(m.query, m.codes + r * words, words));
        }
        for (float c : code_bits) {
          std::vector<float> gs(rows + 1, -7.0f), ws(rows + 1, -7.0f);
          k().similarities(m.query, m.codes, rows, words, c, gs.data());
          ref().similarities(m.query, m.codes, rows, words, c, ws.data());
          ASSERT_EQ(0, std::memcmp(gs.data(), ws.data(), gs.size() * sizeof(float)))
              << where(rows, words, offset) << " code_bits=" << c;
        }
      }
    }
  }
}

// Past 1 MiB of codes the scans take their prefetching loops.
TEST_P(Batch, DistancesAndSimilaritiesMatchReferencePastAMegabyte) {
  std::mt19937_64 rng(8);
  const size_t rows = 40000 + 13;
  for (size_t words : {4u, 8u}) {
    for (size_t offset : {4u, 6u, 0u}) {  // rows on a line, 16 and 32 bytes into one
      const Matrix m = random_rows(rows, words, offset, rng);
      std::vector<uint32_t> got(rows), want(rows);
      k().distances(m.query, m.codes, rows, words, got.data());
      ref().distances(m.query, m.codes, rows, words, want.data());
      ASSERT_EQ(got, want) << where(rows, words, offset);
      std::vector<float> gs(rows), ws(rows);
      k().similarities(m.query, m.codes, rows, words, 300.0f, gs.data());
      ref().similarities(m.query, m.codes, rows, words, 300.0f, ws.data());
      ASSERT_EQ(0, std::memcmp(gs.data(), ws.data(), rows * sizeof(float)))
          << where(rows, words, offset);
    }
  }
}

TEST(BatchReference, SimilarityIsRoundedInBinary32) {
  const HammingKernels& ref = table_for(Isa::Scalar)->hamming;
  const uint64_t q[4] = {0, 0, 0, 0};
  const uint64_t codes[8] = {(1ULL << 38) - 1, 0, 0, 0, (1ULL << 39) - 1, 0, 0, 0};
  float s[2];
  ref.similarities(q, codes, 2, 4, 256.0f, s);
  EXPECT_EQ(s[0], 0.8515625f);
  EXPECT_EQ(s[1], 0.84765625f);
  ref.similarities(q, codes, 1, 1, 64.0f, s);  // 38 of 64 bits
  EXPECT_EQ(s[0], 1.0f - 38.0f / 64.0f);
}

TEST_P(Batch, NearestMatchesReferenceWithTiesAndExactCopies) {
  std::mt19937_64 rng(11);
  for (size_t words : kWordCounts) {
    for (size_t rows = 1; rows <= 70; ++rows) {
      for (size_t offset = 0; offset < (words == 4 ? 8u : 2u); ++offset) {
        for (unsigned max_flips : {0u, 2u, 6u}) {
          const Matrix m = near_copies(rows, words, offset, rng, max_flips);
          const Nearest got = k().nearest(m.query, m.codes, rows, words);
          const Nearest want = ref().nearest(m.query, m.codes, rows, words);
          ASSERT_EQ(got.index, want.index) << where(rows, words, offset);
          ASSERT_EQ(got.distance, want.distance) << where(rows, words, offset);
        }
      }
    }
  }
}

TEST_P(Batch, NearestStopsAtTheFirstExactCopyWherever) {
  std::mt19937_64 rng(13);
  for (size_t words : {1u, 3u, 4u, 5u, 8u}) {
    for (size_t offset : {0u, 1u, 4u}) {  // 4-word rows at 32, 40 and 0 bytes into a line
      for (size_t rows = 1; rows <= 70; ++rows) {
        Matrix m = random_rows(rows, words, offset, rng);
        auto* codes = const_cast<uint64_t*>(m.codes);
        for (size_t at = 0; at < rows; ++at) {
          std::memcpy(codes + at * words, m.query, words * sizeof(uint64_t));
          const Nearest got = k().nearest(m.query, m.codes, rows, words);
          ASSERT_EQ(got.index, at) << where(rows, words, offset);
          ASSERT_EQ(got.distance, 0u);
          // A second copy further on changes nothing.
          if (at + 1 < rows) {
            std::memcpy(codes + (rows - 1) * words, m.query, words * sizeof(uint64_t));
            ASSERT_EQ(k().nearest(m.query, m.codes, rows, words).index, at);
          }
          m = random_rows(rows, words, offset, rng);
          codes = const_cast<uint64_t*>(m.codes);
        }
      }
    }
  }
}

TEST_P(Batch, NearestRecordsMatchesReferenceAtEveryByteShift) {
  std::mt19937_64 rng(17);
  for (size_t rows = 1; rows <= 70; ++rows) {
    for (size_t shift = 0; shift < 8; ++shift) {
      for (unsigned max_flips : {0u, 2u, 6u, 256u}) {
        const Matrix m = max_flips == 256u ? random_rows(rows, 4, 0, rng)
                                           : near_copies(rows, 4, 0, rng, max_flips);
        const Records rec = as_records(m.codes, rows, 44, shift, rng);
        const Nearest got = k().nearest_records(m.query, rec.first, rows, 44);
        const Nearest want = ref().nearest(m.query, m.codes, rows, 4);
        ASSERT_EQ(got.index, want.index) << where(rows, 4, shift);
        ASSERT_EQ(got.distance, want.distance) << where(rows, 4, shift);
      }
    }
  }
}

TEST_P(Batch, ArgminFindsTheFirstSmallestAtEveryByteShift) {
  std::mt19937_64 rng(19);
  for (size_t rows = 1; rows <= 70; ++rows) {
    for (size_t shift = 0; shift < 8; ++shift) {
      for (uint32_t spread : {1u, 3u, 0u}) {  // spread 0: the whole uint32 range
        std::vector<unsigned char> buf(shift + rows * 44 + 4);
        for (auto& b : buf) b = static_cast<unsigned char>(rng());
        size_t want = 0;
        uint32_t smallest = UINT32_MAX;
        for (size_t r = 0; r < rows; ++r) {
          uint32_t v = static_cast<uint32_t>(rng());
          if (spread != 0) v = UINT32_MAX - v % spread;  // ties at the top of the range
          std::memcpy(buf.data() + shift + r * 44 + 32, &v, 4);
          if (r == 0 || v < smallest) smallest = v, want = r;
        }
        const unsigned char* first = buf.data() + shift + 32;
        ASSERT_EQ(k().argmin_u32(first, rows, 44), want) << where(rows, 0, shift);
        ASSERT_EQ(ref().argmin_u32(first, rows, 44), want);
      }
    }
  }
}

TEST_P(Batch, ArgminAgreesWithReferenceUpToTheLastByte) {
  std::mt19937_64 rng(23);
  for (size_t rows : record_counts()) {
    for (size_t pad = 0; pad < 64; pad += rows > 70 ? 9 : 1) {
      // kinds: full range, ties at the top of the range, ties at the bottom (0 and 1).
      for (int kind = 0; kind < 3; ++kind) {
        const size_t used = rows == 0 ? 0 : (rows - 1) * 44 + 4;
        GuardedBytes buf(used + pad);
        for (size_t i = 0; i < used + pad; ++i) buf.data()[i] = static_cast<unsigned char>(rng());
        for (size_t r = 0; r < rows; ++r) {
          uint32_t v = static_cast<uint32_t>(rng());
          if (kind == 1) v = UINT32_MAX - v % 3;
          if (kind == 2) v = rng() % 64 == 0 ? 0 : 1;
          std::memcpy(buf.data() + r * 44, &v, 4);
        }
        ASSERT_EQ(k().argmin_u32(buf.data(), rows, 44), ref().argmin_u32(buf.data(), rows, 44))
            << where(rows, 0, pad) << " kind=" << kind;
      }
    }
  }
}

TEST_P(Batch, ArgminTakesTheFirstOfEqualSmallestWherever) {
  const size_t rows = 1500;
  for (size_t pad : {0u, 4u, 16u, 40u, 3u}) {
    GuardedBytes buf((rows - 1) * 44 + 4 + pad);
    const auto set = [&](size_t r, uint32_t v) { std::memcpy(buf.data() + r * 44, &v, 4); };
    for (uint32_t smallest : {0u, 7u, UINT32_MAX}) {
      for (size_t at = 0; at < rows; at += at < 40 ? 1 : 61) {
        for (size_t r = 0; r < rows; ++r) set(r, UINT32_MAX);
        set(at, smallest);
        set(rows - 1, smallest);
        if (at + 16 < rows) set(at + 16, smallest);  // same lane, next block
        ASSERT_EQ(k().argmin_u32(buf.data(), rows, 44), smallest == UINT32_MAX ? 0 : at)
            << "at=" << at << " pad=" << pad << " smallest=" << smallest;
      }
    }
  }
}

TEST_P(Batch, NearestRecordsAgreesWithReferenceUpToTheLastByte) {
  std::mt19937_64 rng(29);
  for (size_t rows : record_counts()) {
    for (size_t pad = 0; pad < 64; pad += rows > 70 ? 13 : 3) {
      for (unsigned max_flips : {0u, 3u, 256u}) {
        const Matrix m = max_flips == 256u ? random_rows(rows, 4, 0, rng)
                                           : near_copies(rows, 4, 0, rng, max_flips);
        // Only the code of the last record is there; its other 12 bytes would lie past the guard.
        const size_t used = rows == 0 ? 0 : (rows - 1) * 44 + 32;
        GuardedBytes buf(used + pad);
        for (size_t i = 0; i < used + pad; ++i) buf.data()[i] = static_cast<unsigned char>(rng());
        for (size_t r = 0; r < rows; ++r) std::memcpy(buf.data() + r * 44, m.codes + 4 * r, 32);
        const Nearest got = k().nearest_records(m.query, buf.data(), rows, 44);
        const Nearest want = ref().nearest_records(m.query, buf.data(), rows, 44);
        ASSERT_EQ(got.index, want.index) << where(rows, 4, pad) << " flips=" << max_flips;
        ASSERT_EQ(got.distance, want.distance) << where(rows, 4, pad);
      }
    }
  }
}

TEST_P(Batch, NearestRecordsStopsAtTheFirstExactCopyWherever) {
  std::mt19937_64 rng(31);
  const size_t rows = 1200;
  for (size_t shift : {0u, 4u, 20u, 3u}) {
    const Matrix m = random_rows(rows, 4, 0, rng);
    for (size_t at = 0; at < rows; at += at < 40 ? 1 : 53) {
      Records rec = as_records(m.codes, rows, 44, shift, rng);
      const auto copy_to = [&](size_t r) {
        std::memcpy(&rec.storage[shift + r * 44], m.query, 32);
      };
      copy_to(at);
      copy_to(rows - 1);
      if (at + 16 < rows) copy_to(at + 16);
      const Nearest got = k().nearest_records(m.query, rec.first, rows, 44);
      ASSERT_EQ(got.index, at) << "at=" << at << " shift=" << shift;
      ASSERT_EQ(got.distance, 0u);
    }
  }
}

TEST_P(Batch, FourWordPathCountsEveryBit) {
  std::vector<uint64_t> zero(4, 0), ones(4 * 40, ~0ULL);
  std::vector<uint32_t> d(40);
  k().distances(zero.data(), ones.data(), 40, 4, d.data());
  for (uint32_t v : d) EXPECT_EQ(v, 256u);
  const Nearest n = k().nearest(zero.data(), ones.data(), 40, 4);
  EXPECT_EQ(n.index, 0u);
  EXPECT_EQ(n.distance, 256u);
  // One 255 among the 256s, which a byte cannot tell apart, in a matrix and in records.
  ones[4 * 37] = ~1ULL;
  std::vector<unsigned char> records(40 * 44);
  for (size_t r = 0; r < 40; ++r) std::memcpy(&records[44 * r], &ones[4 * r], 32);
  for (const Nearest got : {k().nearest(zero.data(), ones.data(), 40, 4),
                            k().nearest_records(zero.data(), records.data(), 40, 44)}) {
    EXPECT_EQ(got.index, 37u);
    EXPECT_EQ(got.distance, 255u);
  }
}

// Vector scans keep row positions in narrow lanes and restart them every 4096, 2^20 or 2^21 rows:
// minima and ties on either side of those restarts, in a matrix and in 44-byte records.
TEST_P(Batch, NearestKeepsRowNumbersAcrossMillionsOfRows) {
  constexpr size_t kRows = (size_t{1} << 21) + 37;
  const uint64_t q[4] = {0x0123456789ABCDEFull, ~0ull, 0, 0xF0F0F0F0F0F0F0F0ull};
  std::vector<uint64_t> storage(4 * kRows + 8);
  // On a 64-byte line and 16 bytes past one, as NumPy's arrays may start.
  for (size_t shift : {0u, 2u}) {
    uint64_t* const codes = line_start(storage) + shift;
    for (size_t r = 0; r < kRows; ++r) {
      for (int w = 0; w < 4; ++w) codes[4 * r + w] = q[w] ^ (w == 0 ? 0xFFFFFull : 0);  // 20 bits
    }
    const auto plant = [&](size_t row, int bits) {
      for (int w = 0; w < 4; ++w) codes[4 * row + w] = q[w];
      codes[4 * row] ^= (uint64_t{1} << bits) - 1;
    };
    struct Case {
      std::vector<std::pair<size_t, int>> planted;  // row, distance
      size_t want;
    };
    const size_t m20 = size_t{1} << 20, m21 = size_t{1} << 21;
    const Case cases[] = {
        {{{m21 + 9, 3}}, m21 + 9},
        {{{m20 - 1, 2}, {m20 + 5, 2}}, m20 - 1},
        {{{m21 - 1, 2}, {m21, 2}, {5, 4}}, m21 - 1},
        {{{70001, 1}, {m20 + 70001, 1}, {m21 + 36, 1}}, 70001},
        {{{m21 + 36, 0}, {m21 + 20, 1}}, m21 + 36},
    };
    std::vector<unsigned char> records(kRows * 44);
    for (const Case& c : cases) {
      for (const auto& [row, bits] : c.planted) plant(row, bits);
      const int want_distance = [&] {
        int d = 20;
        for (const auto& [row, bits] : c.planted) d = row == c.want ? bits : d;
        return d;
      }();
      const Nearest got = k().nearest(q, codes, kRows, 4);
      EXPECT_EQ(got.index, c.want);
      EXPECT_EQ(got.distance, static_cast<uint64_t>(want_distance));
      if (shift == 0) {
        for (size_t r = 0; r < kRows; ++r) std::memcpy(&records[44 * r], &codes[4 * r], 32);
        const Nearest rec = k().nearest_records(q, records.data(), kRows, 44);
        EXPECT_EQ(rec.index, c.want);
        EXPECT_EQ(rec.distance, static_cast<uint64_t>(want_distance));
        // The same rows as last_accessed values: the smallest where the smallest distance is.
        for (size_t r = 0; r < kRows; ++r) {
          const uint32_t t = 1000 + static_cast<uint32_t>(std::popcount(codes[4 * r] ^ q[0]));
          std::memcpy(&records[44 * r + 36], &t, sizeof t);
        }
        EXPECT_EQ(k().argmin_u32(records.data() + 36, kRows, 44), c.want);
      }
      for (const auto& [row, bits] : c.planted) {
        for (int w = 0; w < 4; ++w) codes[4 * row + w] = q[w] ^ (w == 0 ? 0xFFFFFull : 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllRunnable, Batch, ::testing::ValuesIn(runnable()), variant_name);

}  // namespace
}  // namespace tw::kernels
