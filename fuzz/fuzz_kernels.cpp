// Differential fuzzing of the Hamming kernels: every variant this CPU runs, and the module's own
// per-operation picks, against a plain model of the contract (which the scalar variant is held
// to as well), on row counts, word counts, byte offsets, record strides, thresholds and planted
// ties or identical rows drawn from the input. The storage's search and eviction are checked the
// same way, with the threshold rule they apply.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_subjects.h"
#include "kernels/kernels.h"
#include "storage.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_FUZZ_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define TW_FUZZ_ASAN 1
#endif
#if defined(TW_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tw::fuzz {
namespace {

using kernels::Isa;
using kernels::KernelTable;
using kernels::Nearest;

uint64_t load_word(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

uint64_t model_distance(const unsigned char* a, const unsigned char* b, size_t words) {
  uint64_t d = 0;
  for (size_t i = 0; i < words; ++i) d += std::popcount(load_word(a + 8 * i) ^ load_word(b + 8 * i));
  return d;
}

// Bytes at an offset of their own heap block, which ends where they do: a read or write past
// either end is a sanitizer finding.
struct Placed {
  std::vector<unsigned char> block;
  unsigned char* at;

  Placed(size_t offset, size_t bytes, size_t pad) : block(offset + bytes + pad + (bytes == 0)) {
    at = block.data() + offset;
  }
  const uint64_t* words() const { return reinterpret_cast<const uint64_t*>(at); }
};

// How the rows relate to the query: mostly near copies (so that distances tie), some random, and
// rows the input plants at positions of its choice.
struct Plant {
  size_t row;
  uint8_t kind;  // 0 identical to the query, 1 copy of `other`, 2 complement, 3 one bit off
  size_t other;
};

struct Shape {
  uint64_t seed;
  unsigned max_flips;
  unsigned random_eighths;
  std::vector<Plant> plants;
};

Shape draw_shape(Input& in, size_t rows) {
  Shape s;
  s.seed = in.u64();
  const uint8_t mix = in.u8();
  s.max_flips = mix % 8;
  s.random_eighths = (mix >> 3) % 9;
  const size_t plants = rows == 0 ? 0 : in.u8() % 9;
  for (size_t i = 0; i < plants; ++i) {
    Plant p;
    p.row = in.below(rows);
    p.kind = in.u8() % 4;
    p.other = in.below(rows);
    s.plants.push_back(p);
  }
  return s;
}

// The query (words 0 .. words-1) followed by rows x words words.
std::vector<uint64_t> make_rows(const Shape& s, size_t rows, size_t words) {
  Rng rng(s.seed ^ (words * 0x9E3779B97F4A7C15ull));
  // One word more than used, so that data() is a valid pointer even for 0-word codes.
  std::vector<uint64_t> m(words * (rows + 1) + 1);
  for (size_t i = 0; i < words; ++i) m[i] = rng.next();
  for (size_t r = 0; r < rows; ++r) {
    uint64_t* row = m.data() + words * (r + 1);
    if (rng.below(8) < s.random_eighths) {
      for (size_t i = 0; i < words; ++i) row[i] = rng.next();
      continue;
    }
    std::memcpy(row, m.data(), words * 8);
    const size_t flips = words == 0 ? 0 : 1 + rng.below(s.max_flips + 1);
    for (size_t f = 0; f < flips; ++f) {
      const size_t bit = rng.below(64 * words);
      row[bit / 64] ^= uint64_t{1} << (bit % 64);
    }
  }
  for (const Plant& p : s.plants) {
    uint64_t* row = m.data() + words * (p.row + 1);
    switch (p.kind) {
      case 0: std::memcpy(row, m.data(), words * 8); break;
      case 1: std::memmove(row, m.data() + words * (p.other + 1), words * 8); break;
      case 2:
        for (size_t i = 0; i < words; ++i) row[i] = ~m[i];
        break;
      default:
        std::memcpy(row, m.data(), words * 8);
        if (words > 0) row[p.other % words] ^= uint64_t{1} << (p.other % 64);
    }
  }
  return m;
}

size_t draw_rows(Input& in) {
  switch (in.u8() % 4) {
    case 0: return in.below(72);    // every small block edge
    case 1: return in.below(400);   // the first runs of the unrolled loops
    case 2: return in.below(1200);  // their later runs
    default: return in.below(4200);
  }
}

size_t draw_words(Input& in) {
  switch (in.u8() % 4) {
    case 0:
    case 1: return 4;  // the store's width and the kernels' special path
    case 2: return in.below(10);
    default: return in.below(40);
  }
}

float draw_code_bits(Input& in) {
  static const uint64_t fixed[] = {1, 3, 64, 255, 256, 300, 319, 1000, (1u << 24) + 1,
                                   1099511627776ull};
  const uint8_t pick = in.u8();
  if (pick < 200) return static_cast<float>(fixed[pick % 10]);
  const uint64_t bits = in.u64();
  return static_cast<float>(bits == 0 ? 1 : bits);
}

// The scans stop at the first identical code; a vector loop may finish the block it is in,
// never read this many rows past it.
constexpr size_t kReadAheadRows = 512;

// Makes the bytes of [from, end) unreadable while it lives (under ASan), so that a scan that
// runs on past an identical code is a finding.
class Fence {
 public:
  Fence(const unsigned char* from, const unsigned char* end) {
#if defined(TW_FUZZ_ASAN)
    if (from < end) {
      from_ = from, bytes_ = static_cast<size_t>(end - from);
      ASAN_POISON_MEMORY_REGION(from_, bytes_);
    }
#else
    (void)from, (void)end;
#endif
  }
  ~Fence() {
#if defined(TW_FUZZ_ASAN)
    if (bytes_ != 0) ASAN_UNPOISON_MEMORY_REGION(from_, bytes_);
#endif
  }
  Fence(const Fence&) = delete;
  Fence& operator=(const Fence&) = delete;

 private:
  [[maybe_unused]] const unsigned char* from_ = nullptr;
  [[maybe_unused]] size_t bytes_ = 0;
};

Nearest model_nearest(const std::vector<uint64_t>& d) {
  Nearest best{0, UINT64_MAX};
  for (size_t r = 0; r < d.size(); ++r) {
    if (d[r] < best.distance) best = {r, d[r]};
  }
  return best;
}

void check_matrix(Input& in) {
  const size_t words = draw_words(in);
  size_t rows = draw_rows(in);
  if (words > 0) rows = std::min(rows, (size_t{1} << 16) / words);  // bounded work per input
  const size_t q_off = in.u8() % 64, c_off = in.u8() % 64;
  const Shape shape = draw_shape(in, rows);
  const float code_bits = draw_code_bits(in);
  const std::vector<uint64_t> m = make_rows(shape, rows, words);

  Placed q(q_off, words * 8, 0), c(c_off, rows * words * 8, 0);
  std::memcpy(q.at, m.data(), words * 8);
  std::memcpy(c.at, m.data() + words, rows * words * 8);

  std::vector<uint64_t> want(rows);
  for (size_t r = 0; r < rows; ++r) want[r] = model_distance(q.at, c.at + r * words * 8, words);

  for (const Subject& s : subjects()) {
    const kernels::HammingKernels& k = s.table->hamming;
    std::vector<uint32_t> d(rows);
    k.distances(q.words(), c.words(), rows, words, d.data());
    for (size_t r = 0; r < rows; ++r) {
      TW_FUZZ_CHECK(d[r] == want[r], "%s distances rows=%zu words=%zu offsets=%zu/%zu: row %zu "
                    "got %u, want %llu\n", s.name, rows, words, q_off, c_off, r, d[r],
                    static_cast<unsigned long long>(want[r]));
    }
    std::vector<float> sim(rows);
    k.similarities(q.words(), c.words(), rows, words, code_bits, sim.data());
    for (size_t r = 0; r < rows; ++r) {
      const float expected = 1.0f - static_cast<float>(want[r]) / code_bits;
      TW_FUZZ_CHECK(std::memcmp(&sim[r], &expected, sizeof expected) == 0,
                    "%s similarities rows=%zu words=%zu code_bits=%.9g: row %zu got %.9g, want "
                    "%.9g\n", s.name, rows, words, code_bits, r, sim[r], expected);
    }
    if (rows > 0) {
      const Nearest exp = model_nearest(want);
      const size_t fence_row = exp.distance == 0 ? exp.index + 1 + kReadAheadRows : rows;
      const Nearest got = [&] {
        const Fence fence(c.at + std::min(fence_row, rows) * words * 8, c.at + rows * words * 8);
        return k.nearest(q.words(), c.words(), rows, words);
      }();
      TW_FUZZ_CHECK(got.index == exp.index && got.distance == exp.distance,
                    "%s nearest rows=%zu words=%zu: got (%zu, %llu), want (%zu, %llu)\n", s.name,
                    rows, words, got.index, static_cast<unsigned long long>(got.distance),
                    exp.index, static_cast<unsigned long long>(exp.distance));
      const size_t r = in.below(rows);
      const uint64_t one = k.xor_popcount(q.words(), c.words() + r * words, words);
      TW_FUZZ_CHECK(one == want[r], "%s xor_popcount words=%zu row %zu: got %llu, want %llu\n",
                    s.name, words, r, static_cast<unsigned long long>(one),
                    static_cast<unsigned long long>(want[r]));
    }
  }
}

void check_long_codes(Input& in) {
  const size_t words = in.u8() % 2 ? in.below(64) : in.below(5000);
  const size_t a_off = in.u8() % 64, b_off = in.u8() % 64;
  Rng rng(in.u64());
  Placed a(a_off, words * 8, 0), b(b_off, words * 8, 0);
  const unsigned sparse = in.u8() % 3;  // 0: random, 1: equal but a few bits, 2: complements
  for (size_t i = 0; i < words; ++i) {
    const uint64_t x = rng.next();
    const uint64_t y = sparse == 0 ? rng.next() : sparse == 1 ? x : ~x;
    std::memcpy(a.at + 8 * i, &x, 8);
    std::memcpy(b.at + 8 * i, &y, 8);
  }
  if (sparse == 1 && words > 0) b.at[in.below(words * 8)] ^= static_cast<unsigned char>(1 + in.u8() % 255);
  const uint64_t want = model_distance(a.at, b.at, words);
  for (const Subject& s : subjects()) {
    const uint64_t got = s.table->hamming.xor_popcount(a.words(), b.words(), words);
    TW_FUZZ_CHECK(got == want, "%s xor_popcount words=%zu offsets=%zu/%zu: got %llu, want %llu\n",
                  s.name, words, a_off, b_off, static_cast<unsigned long long>(got),
                  static_cast<unsigned long long>(want));
  }
}

size_t draw_stride(Input& in, size_t least) {
  static const size_t fixed[] = {32, 40, 48, 64, 88, 128};
  switch (in.u8() % 4) {
    case 0:
    case 1: return sizeof(CacheEntry);  // the store's records
    case 2: return std::max(least, fixed[in.u8() % 6]);
    default: return least + in.below(100);
  }
}

// argmin values: the whole range, ties at the top, mostly ones with rare zeros, a narrow range.
std::vector<uint32_t> draw_stamps(Input& in, size_t rows) {
  Rng rng(in.u64());
  const unsigned kind = in.u8() % 5;
  std::vector<uint32_t> v(rows);
  for (auto& x : v) {
    const uint32_t r = static_cast<uint32_t>(rng.next());
    switch (kind) {
      case 0: x = r; break;
      case 1: x = UINT32_MAX - r % 3; break;
      case 2: x = r % 97 == 0 ? 0 : 1; break;
      case 3: x = 1000 + r % 5; break;
      default: x = 77;
    }
  }
  const size_t plants = rows == 0 ? 0 : in.u8() % 5;
  for (size_t i = 0; i < plants; ++i) {
    const size_t at = in.below(rows), from = in.below(rows);
    v[at] = in.u8() % 2 ? 0 : v[from];  // a zero, or a tie with another row
  }
  return v;
}

void check_records(Input& in) {
  const size_t rows = 1 + draw_rows(in);
  const size_t stride = draw_stride(in, 32);
  const size_t shift = in.u8() % 64, pad = in.u8() % 2 ? 0 : in.below(64);
  const Shape shape = draw_shape(in, rows);
  const std::vector<uint64_t> m = make_rows(shape, rows, 4);
  Rng fill(shape.seed + 1);

  // Only the code of the last record need be there.
  Placed rec(shift, (rows - 1) * stride + 32, pad);
  for (auto& b : rec.block) b = static_cast<unsigned char>(fill.next());
  for (size_t r = 0; r < rows; ++r) std::memcpy(rec.at + r * stride, &m[4 * (r + 1)], 32);
  Placed q(in.u8() % 64, 32, 0);
  std::memcpy(q.at, m.data(), 32);

  std::vector<uint64_t> want(rows);
  for (size_t r = 0; r < rows; ++r) want[r] = model_distance(q.at, rec.at + r * stride, 4);
  const Nearest exp = model_nearest(want);
  const size_t fence_row = exp.distance == 0 ? exp.index + 1 + kReadAheadRows : rows;
  {
    const Fence fence(rec.at + std::min(fence_row, rows) * stride,
                      rec.block.data() + rec.block.size());
    for (const Subject& s : subjects()) {
      const Nearest got = s.table->hamming.nearest_records(q.words(), rec.at, rows, stride);
      TW_FUZZ_CHECK(got.index == exp.index && got.distance == exp.distance,
                    "%s nearest_records rows=%zu stride=%zu shift=%zu: got (%zu, %llu), want "
                    "(%zu, %llu)\n", s.name, rows, stride, shift, got.index,
                    static_cast<unsigned long long>(got.distance), exp.index,
                    static_cast<unsigned long long>(exp.distance));
    }
  }

  const size_t field_stride = draw_stride(in, 4);
  const std::vector<uint32_t> stamps = draw_stamps(in, rows);
  Placed fields(in.u8() % 64, (rows - 1) * field_stride + 4, pad);
  for (auto& b : fields.block) b = static_cast<unsigned char>(fill.next());
  for (size_t r = 0; r < rows; ++r) std::memcpy(fields.at + r * field_stride, &stamps[r], 4);
  size_t first_min = 0;
  for (size_t r = 1; r < rows; ++r) {
    if (stamps[r] < stamps[first_min]) first_min = r;
  }
  for (const Subject& s : subjects()) {
    const size_t got = s.table->hamming.argmin_u32(fields.at, rows, field_stride);
    TW_FUZZ_CHECK(got == first_min, "%s argmin_u32 rows=%zu stride=%zu: got %zu (%u), want %zu "
                  "(%u)\n", s.name, rows, field_stride, got, got < rows ? stamps[got] : 0,
                  first_min, stamps[first_min]);
  }
}

// A threshold as the binding hands it over: a double, maybe outside [0, 1] or rounding into it.
double draw_threshold(Input& in) {
  static const double fixed[] = {0.85, 0.0, 1.0, -0.0, 1.00000001, 1.0000001, -1e-50, 0.5,
                                 2.0, -0.1, std::numeric_limits<double>::quiet_NaN(),
                                 0.8515625, 0.84765625, 0.99};
  const uint8_t pick = in.u8();
  if (pick < 180) return fixed[pick % 14];
  if (pick < 230) return (in.u32() % 100001) / 100000.0;
  double d;
  const uint64_t bits = in.u64();
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// The store's search and eviction against the contract's scan, over codes and stamps drawn
// as above: best similarity strictly greater wins, the first identical code ends the scan, the
// result counts when it reaches the threshold rounded to binary32.
void check_store(Input& in) {
  const size_t rows = draw_rows(in);
  const uint64_t code_bits = 256 + in.u8() % 64;
  const Shape shape = draw_shape(in, rows);
  const std::vector<uint64_t> m = make_rows(shape, rows, 4);
  const std::vector<uint32_t> stamps = draw_stamps(in, rows);
  const double given = draw_threshold(in);

  EntryStore store(rows == 0 ? 1 : rows, code_bits);
  for (size_t r = 0; r < rows; ++r) store.add(CodeArg{&m[4 * (r + 1)], 4, true}, 0);
  for (size_t r = 0; r < rows; ++r) store.records_for_testing()[r].last_accessed = stamps[r];

  const float rounded = static_cast<float>(given);
  const bool valid = rounded >= 0.0f && rounded <= 1.0f;
  float threshold = 0;
  try {
    threshold = checked_threshold(given);
    TW_FUZZ_CHECK(valid, "threshold %.17g accepted\n", given);
  } catch (const NativeError&) {
    TW_FUZZ_CHECK(!valid, "threshold %.17g rejected\n", given);
    threshold = kDefaultThreshold;
  }
  TW_FUZZ_CHECK(!valid || std::memcmp(&threshold, &rounded, sizeof rounded) == 0,
                "threshold %.17g became %.9g\n", given, threshold);

  std::optional<SearchHit> want;
  float best = -std::numeric_limits<float>::infinity();
  size_t best_index = 0;
  for (size_t r = 0; r < rows; ++r) {
    const uint64_t d = model_distance(reinterpret_cast<const unsigned char*>(m.data()),
                                      reinterpret_cast<const unsigned char*>(&m[4 * (r + 1)]), 4);
    const float s = normalized_similarity(d, code_bits);
    if (s > best) {
      best = s;
      best_index = r;
      if (d == 0) break;
    }
  }
  if (rows > 0 && best >= threshold) want = SearchHit{best_index, best};
  const std::optional<SearchHit> got = store.search(CodeArg{m.data(), 4, true}, threshold);
  TW_FUZZ_CHECK(got.has_value() == want.has_value() &&
                    (!got || (got->index == want->index &&
                              std::memcmp(&got->similarity, &want->similarity, 4) == 0)),
                "search rows=%zu code_bits=%llu threshold=%.9g: got %s (%zu, %.9g), want %s "
                "(%zu, %.9g)\n", rows, static_cast<unsigned long long>(code_bits), threshold,
                got ? "hit" : "none", got ? got->index : 0, got ? got->similarity : 0.0f,
                want ? "hit" : "none", want ? want->index : 0, want ? want->similarity : 0.0f);

  if (rows == 0) return;
  size_t lru = 0;
  for (size_t r = 1; r < rows; ++r) {
    if (stamps[r] < stamps[lru]) lru = r;
  }
  const size_t evict = store.evict_lru();
  TW_FUZZ_CHECK(evict == lru, "evict_lru rows=%zu: got %zu, want %zu\n", rows, evict, lru);
}

}  // namespace
}  // namespace tw::fuzz

// Says once which tables the run compares, so that a log shows what ran natively.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::fprintf(stderr, "Hamming kernels compared with the contract:");
  for (const auto& s : tw::fuzz::subjects()) std::fprintf(stderr, " %s", s.name);
  std::fprintf(stderr, " (active: %s)\n", tw::kernels::active().name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw::fuzz::Input in(data, size);
  // One part of the kernels per input, so that the fuzzer can tell their paths apart.
  switch (in.u8() % 4) {
    case 0: tw::fuzz::check_matrix(in); break;
    case 1: tw::fuzz::check_long_codes(in); break;
    case 2: tw::fuzz::check_records(in); break;
    default: tw::fuzz::check_store(in);
  }
  return 0;
}
