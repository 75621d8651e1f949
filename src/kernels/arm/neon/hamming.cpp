// Hamming kernels in Advanced SIMD (NEON), which every aarch64 CPU runs: byte counts by CNT,
// summed by pairwise adds.
#include <arm_neon.h>

#include <cstring>

#include "kernels/kernels.h"
#include "platform/compiler.h"
#include "platform/prefetch.h"

namespace tw::kernels {
namespace {

inline uint8x16_t load(const void* p) { return vld1q_u8(static_cast<const uint8_t*>(p)); }

// Set bits per byte of two 16-byte halves XORed with the query halves: each byte <= 16.
inline uint8x16_t row_bytes(uint8x16_t q0, uint8x16_t q1, const void* row) {
  const auto* p = static_cast<const uint8_t*>(row);
  return vaddq_u8(vcntq_u8(veorq_u8(load(p), q0)), vcntq_u8(veorq_u8(load(p + 16), q1)));
}

struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    uint64x2_t total = vdupq_n_u64(0);
    size_t i = 0;
    while (i + 4 <= words) {
      // 16-bit lanes gain at most 32 per step: flush to 64 bits before 2048 steps.
      uint16x8_t acc = vdupq_n_u16(0);
      const size_t end = words - i >= 4 * 1024 ? i + 4 * 1024 : i + (words - i) / 4 * 4;
      for (; i < end; i += 4) {
        acc = vpadalq_u8(acc, row_bytes(load(a + i), load(a + i + 2), b + i));
      }
      total = vpadalq_u32(total, vpaddlq_u16(acc));
    }
    uint64_t sum = vaddvq_u64(total);
    for (; i < words; ++i) sum += vaddlv_u8(vcnt_u8(vcreate_u8(word_at(a, i) ^ word_at(b, i))));
    return sum;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return vaddlvq_u8(row_bytes(load(a), load(a + 2), b));
  }
};
#include "kernels/hamming-inl.h"

// The many-row 4-word scans take 16 rows a step, and the vector units are their bottleneck: two
// XORs and two CNTs a row, and the adds that bring a row's 32 byte counts down to one number.
// Pairwise adds do that without an idle lane, and keeping each row's two 16-byte halves apart to
// the end leaves both half sums (<= 128) of the 16 rows in byte lanes in row order: a saturating
// add gives the distances as bytes for the minimum, a widening add the exact ones for the batches.
constexpr size_t kStep = 16;

struct Query {
  uint8x16_t q0, q1;
  explicit Query(const uint64_t* q) : q0(load(q)), q1(load(q + 2)) {}
};

// Per half, the set bits of rows first .. first + kRows - 1 XORed with the query, summed pairwise
// until each row has 16 / kRows bytes; rows stay in order. at(k, h) is half h of row k.
struct Halves {
  uint8x16_t lo, hi;
};

template <int kRows, class At>
inline Halves half_sums(const Query& q, At at, int first = 0) {
  if constexpr (kRows == 1) {
    return {vcntq_u8(veorq_u8(load(at(first, 0)), q.q0)),
            vcntq_u8(veorq_u8(load(at(first, 1)), q.q1))};
  } else {
    const Halves a = half_sums<kRows / 2>(q, at, first);
    const Halves b = half_sums<kRows / 2>(q, at, first + kRows / 2);
    return {vpaddq_u8(a.lo, b.lo), vpaddq_u8(a.hi, b.hi)};
  }
}

// Rows [0, rows) of a 4-word matrix, rows a multiple of kStep: emit(r, d) for every step, d the
// distances of rows r .. r + 15 as 32-bit lanes d | top << 16.
template <class Emit>
inline void batch_steps(const uint64_t* q, const uint64_t* codes, size_t rows, uint16_t top,
                        Emit emit) {
  const Query qv(q);
  const uint16x8_t t = vdupq_n_u16(top);
  for (size_t r = 0; r < rows; r += kStep) {
    const uint64_t* block = codes + 4 * r;
    const Halves h =
        half_sums<kStep>(qv, [&](int k, int half) { return block + 4 * k + 2 * half; });
    const uint16x8_t first = vaddl_u8(vget_low_u8(h.lo), vget_low_u8(h.hi));
    const uint16x8_t last = vaddl_high_u8(h.lo, h.hi);
    emit(r, uint32x4x4_t{{vreinterpretq_u32_u16(vzip1q_u16(first, t)),
                          vreinterpretq_u32_u16(vzip2q_u16(first, t)),
                          vreinterpretq_u32_u16(vzip1q_u16(last, t)),
                          vreinterpretq_u32_u16(vzip2q_u16(last, t))}});
  }
}

// 1 - d / c in binary32, rounded as similarity_of rounds it. The lanes d | 0x4B000000 read as
// the floats 2^23 + d, exactly, so no conversion is needed. For c = 2^k, 0 <= k <= 46,
// (1 + 2^23 / c) - (2^23 + d) * (1 / c) has exact operands and equals 1 - d / c, so its one
// rounding is the scalar's, whose quotient is exact; other c divide as the scalar code does.
struct Similarity {
  static constexpr uint16_t kTop = 0x4B00;
  float32x4_t c, inverse, shifted_one;
  bool power_of_two;

  explicit Similarity(float code_bits)
      : c(vdupq_n_f32(code_bits)),
        inverse(vdupq_n_f32(1.0f / code_bits)),
        shifted_one(vdupq_n_f32(1.0f + 8388608.0f / code_bits)) {
    uint32_t bits;
    std::memcpy(&bits, &code_bits, sizeof bits);
    const uint32_t exponent = bits >> 23;  // the sign bit is 0 where the mask passes
    power_of_two = (bits & 0x807FFFFFu) == 0 && exponent >= 127 && exponent <= 127 + 46;
  }
  float32x4_t by_product(uint32x4_t lanes) const {
    return vsubq_f32(shifted_one, vmulq_f32(vreinterpretq_f32_u32(lanes), inverse));
  }
  float32x4_t by_quotient(uint32x4_t lanes) const {
    const float32x4_t d = vsubq_f32(vreinterpretq_f32_u32(lanes), vdupq_n_f32(8388608.0f));
    return vsubq_f32(vdupq_n_f32(1.0f), vdivq_f32(d, c));
  }
};

// Per-lane minimum of the steps' distances, saturated at 255, and the step that first reached
// it, for up to 256 steps. A smallest distance of 255 may stand for 256.
struct StepMin {
  uint8x16_t best = vdupq_n_u8(UINT8_MAX);
  uint8x16_t step = vdupq_n_u8(0);
  uint8x16_t next = vdupq_n_u8(0);

  void add(Halves h) {
    const uint8x16_t d = vqaddq_u8(h.lo, h.hi);
    const uint8x16_t lt = vcltq_u8(d, best);
    best = vminq_u8(d, best);
    step = vbslq_u8(lt, next, step);
    next = vaddq_u8(next, vdupq_n_u8(1));
  }
  bool any_zero() const { return vminvq_u8(best) == 0; }
  Nearest result() const {
    uint8_t b[kStep], s[kStep];
    vst1q_u8(b, best);
    vst1q_u8(s, step);
    uint32_t distance[kStep], row[kStep];
    for (size_t l = 0; l < kStep; ++l) {
      distance[l] = b[l];
      row[l] = static_cast<uint32_t>(s[l] * kStep + l);
    }
    return first_min_of_lanes(distance, row, kStep);
  }
};

constexpr size_t kChunkRows = 256 * kStep;
// Steps between tests for a distance 0, a reduction across the lanes that would cost every step
// a tenth more; the answer is the same, since the first 0 is the first row of the smallest.
constexpr size_t kZeroCheck = 4;

// The rows of a step in a 4-word matrix: fixed offsets from one pointer.
struct MatrixRows {
  const unsigned char* block;
  const unsigned char* at(int k, int half) const { return block + 32 * k + 16 * half; }
  void next() { block += 32 * kStep; }
};

// The rows of a step in records `stride` bytes apart: a base for each half of the rows and the
// rows' offsets from it in registers, so that every load's address is a register plus a register,
// and a base for the prefetches. Left to themselves the compilers derive the addresses from one
// another, an add a row or more, so the values are made opaque to them. Integers, since the
// prefetches and the last step's bases lie past the records.
struct RecordRows {
  uintptr_t offset[kStep];
  uintptr_t half[2];
  uintptr_t ahead;
  uintptr_t step_bytes;
  RecordRows(const unsigned char* base, size_t stride) : step_bytes(kStep * stride) {
    TW_UNROLL(16)
    for (size_t k = 0; k < kStep; ++k) {
      offset[k] = k * stride;
      TW_OPAQUE(offset[k]);
    }
    half[0] = reinterpret_cast<uintptr_t>(base);
    half[1] = half[0] + 16;
    ahead = half[0] + kRecordPrefetchAhead;
  }
  const unsigned char* at(int k, int h) const {
    return reinterpret_cast<const unsigned char*>(half[h] + offset[k]);
  }
  uintptr_t prefetch_at(int k) const { return ahead + 64 * k; }
  void next() {
    half[0] += step_bytes;
    half[1] += step_bytes;
    ahead += step_bytes;
    TW_OPAQUE(half[0]);
    TW_OPAQUE(half[1]);
    TW_OPAQUE(ahead);
  }
};

// Nearest over n <= kChunkRows rows from `rows` on: whole steps, then `exact(best, first, last)`
// folds rows [first, last) into best one at a time: the rows left, or every row where the
// smallest distance saturated. Stops after the steps holding the first distance 0.
template <bool kPrefetch, class Rows16, class Exact>
inline Nearest nearest_steps(const Query& q, Rows16 rows, size_t n, Exact exact) {
  StepMin lanes;
  const size_t steps = n / kStep;
  for (size_t s = 0; s < steps;) {
    const size_t group_end = steps - s < kZeroCheck ? steps : s + kZeroCheck;
    for (; s < group_end; ++s) {
      lanes.add(half_sums<kStep>(q, [&](int k, int h) { return rows.at(k, h); }));
      if constexpr (kPrefetch) {
        // 16 lines at fixed offsets, no address arithmetic a row: all of a step's records
        // while stride <= 64, some lines twice.
        TW_UNROLL(16)
        for (int k = 0; k < int{kStep}; ++k) {
          prefetch(rows.prefetch_at(k));
        }
      }
      rows.next();
    }
    if (lanes.any_zero()) return lanes.result();
  }
  Nearest best = lanes.result();
  if (best.distance >= UINT8_MAX) best = exact(Nearest{0, UINT64_MAX}, 0, steps * kStep);
  return exact(best, steps * kStep, n);
}

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const size_t whole = rows / kStep * kStep;
    batch_steps(q, codes, whole, 0, [&](size_t r, uint32x4x4_t d) {
      TW_UNROLL(4)
      for (int i = 0; i < 4; ++i) vst1q_u32(out + r + 4 * i, d.val[i]);
    });
    for (size_t r = whole; r < rows; ++r) out[r] = Pop::four(q, codes + 4 * r);
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const size_t whole = rows / kStep * kStep;
    const Similarity sim(c);
    const auto store = [&](auto of) {
      batch_steps(q, codes, whole, Similarity::kTop, [&](size_t r, uint32x4x4_t d) {
        TW_UNROLL(4)
        for (int i = 0; i < 4; ++i) vst1q_f32(out + r + 4 * i, of(d.val[i]));
      });
    };
    if (sim.power_of_two) {
      store([&](uint32x4_t d) { return sim.by_product(d); });
    } else {
      store([&](uint32x4_t d) { return sim.by_quotient(d); });
    }
    for (size_t r = whole; r < rows; ++r) out[r] = similarity_of(Pop::four(q, codes + 4 * r), c);
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest<kChunkRows>(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      return nearest_steps<false>(
          Query(q), MatrixRows{reinterpret_cast<const unsigned char*>(base)}, n,
          [&](Nearest best, size_t first, size_t last) {
            const Nearest more = nearest_any(q, base + 4 * first, last - first, 4);
            return more.distance < best.distance ? Nearest{first + more.index, more.distance}
                                                 : best;
          });
    });
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest<kChunkRows>(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      return nearest_steps<true>(Query(q), RecordRows(base, stride), n,
                                 [&](Nearest best, size_t first, size_t last) {
                                   return nearest_records_from(best, q, base, first, last, stride);
                                 });
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_neon() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
