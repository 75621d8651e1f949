// Hamming kernels in Advanced SIMD (NEON), which every aarch64 CPU runs: byte counts by CNT,
// widened by pairwise adds.
#include <arm_neon.h>

#include <cstring>

#include "kernels/kernels.h"
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

// Distances of four 4-word rows as 32-bit lanes, in row order.
template <class At>
inline uint32x4_t four_rows(uint8x16_t q0, uint8x16_t q1, At at) {
  const uint8x16_t r01 = vpaddq_u8(row_bytes(q0, q1, at(0)), row_bytes(q0, q1, at(1)));
  const uint8x16_t r23 = vpaddq_u8(row_bytes(q0, q1, at(2)), row_bytes(q0, q1, at(3)));
  // Four bytes per row (<= 64 each), then widened as they are summed: 256 needs 9 bits.
  return vpaddlq_u16(vpaddlq_u8(vpaddq_u8(r01, r23)));
}

// Per-lane minimum and the first row reaching it, over blocks of four rows.
struct LaneMin {
  uint32x4_t best = vdupq_n_u32(UINT32_MAX);
  uint32x4_t index = vdupq_n_u32(0);
  uint32x4_t next = first_indices();

  static uint32x4_t first_indices() {
    static constexpr uint32_t kFirst[4] = {0, 1, 2, 3};
    return vld1q_u32(kFirst);
  }

  // Returns true when the block held a distance 0.
  bool add(uint32x4_t d) {
    const uint32x4_t lt = vcltq_u32(d, best);
    best = vbslq_u32(lt, d, best);
    index = vbslq_u32(lt, next, index);
    next = vaddq_u32(next, vdupq_n_u32(4));
    return vmaxvq_u32(vceqzq_u32(d)) != 0;
  }
  Nearest result() const {
    uint32_t b[4], i[4];
    vst1q_u32(b, best);
    vst1q_u32(i, index);
    return first_min_of_lanes(b, i, 4);
  }
};

struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    const uint8x16_t q0 = load(q), q1 = load(q + 2);
    size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      const uint64_t* block = codes + 4 * r;
      vst1q_u32(out + r, four_rows(q0, q1, [&](int k) { return block + 4 * k; }));
    }
    for (; r < rows; ++r) out[r] = Pop::four(q, codes + 4 * r);
  }

  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    const uint8x16_t q0 = load(q), q1 = load(q + 2);
    const float32x4_t one = vdupq_n_f32(1.0f), cv = vdupq_n_f32(c);
    size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      const uint64_t* block = codes + 4 * r;
      const uint32x4_t d = four_rows(q0, q1, [&](int k) { return block + 4 * k; });
      vst1q_f32(out + r, vsubq_f32(one, vdivq_f32(vcvtq_f32_u32(d), cv)));
    }
    for (; r < rows; ++r) out[r] = similarity_of(Pop::four(q, codes + 4 * r), c);
  }

  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const uint64_t* base = codes + 4 * start;
      const uint8x16_t q0 = load(q), q1 = load(q + 2);
      LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 4 <= n && !zero; r += 4) {
        const uint64_t* block = base + 4 * r;
        zero = lanes.add(four_rows(q0, q1, [&](int k) { return block + 4 * k; }));
      }
      Nearest best = lanes.result();
      if (zero) return best;
      for (; r < n; ++r) {
        const uint32_t d = Pop::four(q, base + 4 * r);
        if (d < best.distance) {
          best = {r, d};
          if (d == 0) break;
        }
      }
      return best;
    });
  }

  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return chunked_nearest(rows, [&](size_t start, size_t n) {
      const unsigned char* base = records + start * stride;
      const uint8x16_t q0 = load(q), q1 = load(q + 2);
      LaneMin lanes;
      size_t r = 0;
      bool zero = false;
      for (; r + 4 <= n && !zero; r += 4) {
        const unsigned char* block = base + r * stride;
        prefetch_records(block, 4 * stride);
        zero = lanes.add(four_rows(q0, q1, [&](int k) { return block + k * stride; }));
      }
      if (zero) return lanes.result();
      return nearest_records_from(lanes.result(), q, base, r, n, stride);
    });
  }

  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_prefetched(records, rows, stride);
  }
};

}  // namespace

HammingKernels hamming_neon() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
