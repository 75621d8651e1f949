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

struct Step {
  struct Query {
    uint8x16_t q0, q1;
    explicit Query(const uint64_t* q) : q0(load(q)), q1(load(q + 2)) {}
  };

  // Distances of four 4-word rows as 32-bit lanes, in row order.
  template <class At>
  static uint32x4_t four(const Query& q, At at) {
    const uint8x16_t r01 = vpaddq_u8(row_bytes(q.q0, q.q1, at(0)), row_bytes(q.q0, q.q1, at(1)));
    const uint8x16_t r23 = vpaddq_u8(row_bytes(q.q0, q.q1, at(2)), row_bytes(q.q0, q.q1, at(3)));
    // Four bytes per row (<= 64 each), then widened as they are summed: 256 needs 9 bits.
    return vpaddlq_u16(vpaddlq_u8(vpaddq_u8(r01, r23)));
  }

  static void store(uint32_t* out, uint32x4_t d) { vst1q_u32(out, d); }
  static void store_similarities(float* out, uint32x4_t d, float c) {
    vst1q_f32(out, vsubq_f32(vdupq_n_f32(1.0f), vdivq_f32(vcvtq_f32_u32(d), vdupq_n_f32(c))));
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
};

using Rows = FourRowLoops<Step>;

}  // namespace

HammingKernels hamming_neon() { return make_hamming_kernels<Rows>(); }

}  // namespace tw::kernels
