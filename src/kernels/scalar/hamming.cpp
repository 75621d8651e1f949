// The portable Hamming kernels: the bit-parallel reference every other variant is tested against.
#include <cstring>

#include "kernels/kernels.h"
#include "platform/prefetch.h"

namespace tw::kernels {
namespace {

#include "kernels/bit_count-inl.h"

namespace reference {
struct Pop {
  static uint64_t run(const uint64_t* a, const uint64_t* b, size_t words) {
    uint64_t total = 0;
    for (size_t i = 0; i < words; ++i) total += bit_parallel_popcount(word_at(a, i) ^ word_at(b, i));
    return total;
  }
  static uint32_t four(const uint64_t* a, const uint64_t* b) {
    return static_cast<uint32_t>(run(a, b, 4));
  }
};
#include "kernels/hamming-inl.h"

// The plain one-row-at-a-time loops: the definition every other variant is tested against.
struct Rows {
  static void distances4(const uint64_t* q, const uint64_t* codes, size_t rows, uint32_t* out) {
    distances_any(q, codes, rows, 4, out);
  }
  static void similarities4(const uint64_t* q, const uint64_t* codes, size_t rows, float c,
                            float* out) {
    similarities_any(q, codes, rows, 4, c, out);
  }
  static Nearest nearest4(const uint64_t* q, const uint64_t* codes, size_t rows) {
    return nearest_any(q, codes, rows, 4);
  }
  static Nearest nearest_records(const uint64_t* q, const unsigned char* records, size_t rows,
                                 size_t stride) {
    return nearest_records_from({0, UINT64_MAX}, q, records, 0, rows, stride);
  }
  static size_t argmin_u32(const unsigned char* records, size_t rows, size_t stride) {
    return argmin_u32_from(UINT32_MAX, 0, records, 0, rows, stride);
  }
};
}  // namespace reference


}  // namespace

HammingKernels hamming_scalar() { return reference::make_hamming_kernels<reference::Rows>(); }

}  // namespace tw::kernels
