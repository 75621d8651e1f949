// Differential fuzzing of the encoder kernels: every variant this CPU runs, and active(), must
// give the contract's codes byte for byte: per bit one binary32 accumulator over j in increasing
// order, each product rounded, sign s >= 0, nothing written past the code's words but zeros. Any
// matrix and embedding values (non-finite, subnormal, signed zeros, sums cancelling to a few
// ulps), dims, code widths and element strides the Embeddings view allows.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_subjects.h"
#include "kernels/kernels.h"

namespace tw::fuzz {
namespace {

using kernels::Isa;
using kernels::KernelTable;

float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Values of one kind: roughly normal, with special values mixed in, any bit pattern, or small
// integers (whose sums cancel exactly to signed zeros).
class Values {
 public:
  Values(uint64_t seed, uint8_t kind) : rng_(seed), kind_(kind % 4) {}

  float next() {
    const uint64_t r = rng_.next();
    switch (kind_) {
      case 0: return gaussian(r);
      case 1: {
        static const float special[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(),
                                        std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::denorm_min(),
                                        -std::numeric_limits<float>::denorm_min(),
                                        FLT_MIN / 4, FLT_MAX, -FLT_MAX, 1e-30f, -3e38f};
        return r % 8 == 0 ? special[(r >> 3) % 12] : gaussian(r >> 8);
      }
      case 2: return from_bits(static_cast<uint32_t>(r));
      default: return static_cast<float>(static_cast<int>(r % 7) - 3);
    }
  }

 private:
  // Sum of four uniforms: cheap, bell-shaped, every sign and many magnitudes.
  static float gaussian(uint64_t r) {
    float s = 0.0f;
    for (int k = 0; k < 4; ++k, r >>= 16) s += static_cast<float>(r & 0xFFFF) / 32768.0f - 1.0f;
    return s;
  }
  Rng rng_;
  uint8_t kind_;
};

struct AlignedFloats {
  float* p;
  explicit AlignedFloats(size_t n)
      : p(static_cast<float*>(::operator new[]((n ? n : 1) * sizeof(float), std::align_val_t(64)))) {}
  ~AlignedFloats() { ::operator delete[](p, std::align_val_t(64)); }
  AlignedFloats(const AlignedFloats&) = delete;
  AlignedFloats& operator=(const AlignedFloats&) = delete;
};

size_t draw_dim(Input& in) {
  switch (in.u8() % 3) {
    case 0: return 1 + in.below(8);
    case 1: return 1 + in.below(48);
    default: return 1 + in.below(300);
  }
}

size_t draw_bits(Input& in) {
  switch (in.u8() % 4) {
    case 0: return 1 + in.below(40);
    case 1: return 16 * (1 + in.below(24)) + in.below(3) - 1;  // around panel edges
    case 2: return 64 * (1 + in.below(6)) + in.below(3) - 1;   // around word edges
    default: return 1 + in.below(700);
  }
}

ptrdiff_t draw_col_stride(Input& in) {
  static const ptrdiff_t fixed[] = {4, 4, 4, 8, -4, 0, 12, 5, 2, -8, 6, 1};
  const uint8_t pick = in.u8();
  if (pick < 220) return fixed[pick % 12];
  return static_cast<ptrdiff_t>(in.below(161)) - 80;
}

ptrdiff_t draw_row_stride(Input& in, size_t dim, ptrdiff_t col_stride) {
  const ptrdiff_t dense = static_cast<ptrdiff_t>(dim) * (col_stride == 0 ? 4 : col_stride);
  switch (in.u8() % 6) {
    case 0:
    case 1: return dense;
    case 2: return dense + 4 * static_cast<ptrdiff_t>(in.below(8));
    case 3: return -dense;
    case 4: return static_cast<ptrdiff_t>(in.below(16)) * 4 - 32;
    default: return static_cast<ptrdiff_t>(in.below(2001)) - 1000;
  }
}

}  // namespace
}  // namespace tw::fuzz

// Says once which tables the run compares, so that a log shows what ran natively.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::fprintf(stderr, "encoder kernels compared with the contract:");
  for (const auto& s : tw::fuzz::subjects()) std::fprintf(stderr, " %s", s.name);
  std::fprintf(stderr, " (active: %s)\n", tw::kernels::active().name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tw::fuzz;
  namespace k = tw::kernels;
  Input in(data, size);
  const size_t dim = draw_dim(in), bits = draw_bits(in);
  size_t rows = 1 + in.below(40);
  // Bounded work per input: the reference costs rows x bits x dim.
  while (rows > 1 && rows * bits * dim > 600000) rows /= 2;
  const ptrdiff_t cs = draw_col_stride(in), rs = draw_row_stride(in, dim, cs);
  const size_t shift = in.u8() % 16;
  Values matrix_values(in.u64(), in.u8()), x_values(in.u64(), in.u8());
  const unsigned cancel_eighths = in.u8() % 9;

  // The embeddings' bytes: every element inside one exact block, wherever the strides put it.
  ptrdiff_t low = 0, high = 0;
  for (ptrdiff_t reach : {static_cast<ptrdiff_t>(rows - 1) * rs, static_cast<ptrdiff_t>(dim - 1) * cs}) {
    (reach < 0 ? low : high) += reach;
  }
  std::vector<unsigned char> block(shift + static_cast<size_t>(high - low) + 4);
  const char* data0 = reinterpret_cast<const char*>(block.data()) + shift - low;
  const auto element = [&](size_t i, size_t j) {
    return const_cast<char*>(data0) + static_cast<ptrdiff_t>(i) * rs + static_cast<ptrdiff_t>(j) * cs;
  };
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < dim; ++j) {
      const float v = x_values.next();
      std::memcpy(element(i, j), &v, 4);
    }
  }
  // What each element reads as once aliasing strides have overwritten some of them.
  std::vector<float> x(rows * dim);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < dim; ++j) std::memcpy(&x[i * dim + j], element(i, j), 4);
  }

  // Row-major matrix; some rows get a last value that cancels their sum with embedding 0, so
  // that the sign hangs on the order and rounding of the sum.
  std::vector<float> m(bits * dim);
  for (auto& v : m) v = matrix_values.next();
  Rng pick(in.u64());
  for (size_t r = 0; r < bits && dim > 1; ++r) {
    if (pick.below(8) >= cancel_eighths) continue;
    float s = 0.0f;
    for (size_t j = 0; j + 1 < dim; ++j) s = s + m[r * dim + j] * x[j];
    const float last = x[dim - 1];
    if (last != 0.0f && std::isfinite(s)) m[r * dim + dim - 1] = -s / last;
  }
  AlignedFloats panels(k::panel_count(bits) * dim * k::kPanelRows);
  std::fill(panels.p, panels.p + k::panel_count(bits) * dim * k::kPanelRows, 0.0f);
  for (size_t r = 0; r < bits; ++r) {
    for (size_t j = 0; j < dim; ++j) panels.p[k::panel_index(r, j, dim)] = m[r * dim + j];
  }

  const size_t words = k::code_words(bits);
  std::vector<uint64_t> want(rows * words, 0);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t r = 0; r < bits; ++r) {
      float s = 0.0f;
      for (size_t j = 0; j < dim; ++j) {
        const float p = m[r * dim + j] * x[i * dim + j];
        s = s + p;
      }
      if (s >= 0.0f) want[i * words + r / 64] |= uint64_t{1} << (r % 64);
    }
  }

  const k::Projection proj{panels.p, dim, bits};
  const k::Embeddings view{data0, rows, rs, cs};
  for (const Subject& s : subjects()) {
    std::vector<uint64_t> got(rows * words, 0xA5A5A5A5A5A5A5A5ull);
    s.table->encode.encode(proj, view, got.data());
    for (size_t w = 0; w < got.size(); ++w) {
      TW_FUZZ_CHECK(got[w] == want[w],
                    "%s encode dim=%zu code_bits=%zu rows=%zu strides=%td/%td: word %zu of row "
                    "%zu got %016llx, want %016llx\n", s.name, dim, bits, rows, rs, cs,
                    w % words, w / words, static_cast<unsigned long long>(got[w]),
                    static_cast<unsigned long long>(want[w]));
    }
  }
  return 0;
}
