// Encoder kernels: every runnable variant against the scalar one, and the scalar one against a
// plain row-by-row sum over a row-major matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "variants.h"

namespace tw::kernels {
namespace {

// A row-major code_bits x dim matrix and its panel layout.
struct Matrix {
  size_t bits, dim;
  std::vector<float> rows;
  std::vector<float> panels;

  Matrix(size_t bits_, size_t dim_, std::vector<float> values)
      : bits(bits_),
        dim(dim_),
        rows(std::move(values)),
        panels(panel_count(bits) * dim * 16, 0.0f) {
    for (size_t r = 0; r < bits; ++r) {
      for (size_t j = 0; j < dim; ++j) panels[panel_index(r, j, dim)] = rows[r * dim + j];
    }
  }
  Projection view() const { return {panels.data(), dim, bits}; }
};

// The contract spelled out: one binary32 accumulator per bit, j increasing.
std::vector<uint64_t> reference(const Matrix& m, const std::vector<float>& x, size_t n) {
  const size_t words = code_words(m.bits);
  std::vector<uint64_t> out(n * words, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t r = 0; r < m.bits; ++r) {
      float s = 0.0f;
      for (size_t j = 0; j < m.dim; ++j) {
        const float p = m.rows[r * m.dim + j] * x[i * m.dim + j];
        s = s + p;
      }
      if (s >= 0.0f) out[i * words + r / 64] |= uint64_t{1} << (r % 64);
    }
  }
  return out;
}

std::vector<uint64_t> run(Isa isa, const Matrix& m, const Embeddings& x) {
  // Poisoned so that a word the kernel forgets to write shows up.
  std::vector<uint64_t> out(x.rows * code_words(m.bits), 0xA5A5A5A5A5A5A5A5ULL);
  table_for(isa)->encode.encode(m.view(), x, out.data());
  return out;
}

Embeddings contiguous(const std::vector<float>& x, size_t n, size_t dim) {
  return {reinterpret_cast<const char*>(x.data()), n, static_cast<ptrdiff_t>(dim * sizeof(float)),
          sizeof(float)};
}

std::vector<float> normal(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> dist;
  std::vector<float> v(n);
  for (auto& f : v) f = dist(rng);
  return v;
}

// EmbeddingRows whose last column cancels the running sum of the first embedding, so that many
// projections land within a few ulps of zero and their sign hangs on the rounding order.
std::vector<float> near_zero_matrix(size_t bits, size_t dim, const std::vector<float>& x,
                                    uint64_t seed) {
  std::vector<float> m = normal(bits * dim, seed);
  std::mt19937_64 rng(seed + 1);
  for (size_t r = 0; r < bits; ++r) {
    float s = 0.0f;
    for (size_t j = 0; j + 1 < dim; ++j) s = s + m[r * dim + j] * x[j];
    float last = -s / x[dim - 1];
    const int nudge = static_cast<int>(rng() % 5) - 2;  // a few ulps either way
    for (int k = 0; k < std::abs(nudge); ++k) {
      last = std::nextafter(last, nudge > 0 ? INFINITY : -INFINITY);
    }
    m[r * dim + dim - 1] = last;
  }
  return m;
}

class EncodeVariant : public ::testing::TestWithParam<Isa> {};

TEST_P(EncodeVariant, MatchesReferenceOnOddSizesAndRowCounts) {
  const size_t row_counts[] = {0, 1, 3, 7, 11, 12, 13, 25};
  const size_t dims[] = {1, 3, 7, 16, 17, 65, 97};
  const size_t bit_counts[] = {1, 15, 16, 17, 33, 63, 64, 65, 100, 129, 257};
  uint64_t seed = 1;
  for (size_t dim : dims) {
    for (size_t bits : bit_counts) {
      const Matrix m(bits, dim, normal(bits * dim, ++seed));
      const std::vector<float> x = normal(25 * dim, ++seed);
      for (size_t n : row_counts) {
        const auto expected = reference(m, x, n);
        EXPECT_EQ(run(GetParam(), m, contiguous(x, n, dim)), expected)
            << "dim=" << dim << " bits=" << bits << " rows=" << n;
      }
    }
  }
}

TEST_P(EncodeVariant, MatchesReferenceNearZero) {
  for (size_t dim : {2, 7, 64, 384}) {
    for (size_t bits : {31, 256}) {
      std::vector<float> x = normal(13 * dim, dim + bits);
      // Every row a rescaled copy of the first, so the cancellation carries over to all of them.
      for (size_t i = 1; i < 13; ++i) {
        for (size_t j = 0; j < dim; ++j) x[i * dim + j] = x[j] * static_cast<float>(i + 1);
      }
      const Matrix m(bits, dim, near_zero_matrix(bits, dim, x, dim * bits));
      const auto expected = reference(m, x, 13);
      EXPECT_EQ(run(GetParam(), m, contiguous(x, 13, dim)), expected)
          << "dim=" << dim << " bits=" << bits;
      EXPECT_EQ(run(Isa::Scalar, m, contiguous(x, 13, dim)), expected);
    }
  }
}

TEST_P(EncodeVariant, RoundsEveryStepAndTreatsNaNAsNegative) {
  const float big = 3.0e38f;
  // x1, row 0: 1e8 - 1 rounds back to 1e8, so the sum is +0 (bit 1) though the exact sum is -1.
  // x2, row 1: the products overflow to +inf and -inf and the sum is NaN (bit 0); row 3 is
  // -inf (bit 0), row 4 +inf (bit 1). Row 2 sums -0.0 products to a zero (bit 1).
  const Matrix m(5, 3,
                 {1.0f, 1.0f, 1.0f,    //
                  2.0f, 0.0f, 2.0f,    //
                  -0.0f, 0.0f, -0.0f,  //
                  -2.0f, 0.0f, 0.0f,   //
                  2.0f, 0.0f, 0.0f});
  const std::vector<float> x1 = {1.0e8f, -1.0f, -1.0e8f};
  const std::vector<float> x2 = {big, 1.0f, -big};
  EXPECT_EQ(run(GetParam(), m, contiguous(x1, 1, 3)), std::vector<uint64_t>{0b10111});
  EXPECT_EQ(run(GetParam(), m, contiguous(x2, 1, 3)), std::vector<uint64_t>{0b10101});
}

TEST_P(EncodeVariant, ReadsAnyStridesAndAlignment) {
  const size_t dim = 37, bits = 70, n = 14;
  const Matrix m(bits, dim, normal(bits * dim, 7));
  const std::vector<float> x = normal(n * dim, 8);
  const auto expected = reference(m, x, n);

  // Reversed rows, every other column, one byte off float alignment.
  std::vector<char> bytes(1 + n * dim * 2 * sizeof(float));
  char* base = bytes.data() + 1;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < dim; ++j) {
      std::memcpy(base + ((n - 1 - i) * dim * 2 + 2 * j) * sizeof(float), &x[i * dim + j],
                  sizeof(float));
    }
  }
  const ptrdiff_t row_bytes = static_cast<ptrdiff_t>(dim * 2 * sizeof(float));
  const Embeddings reversed{base + (n - 1) * row_bytes, n, -row_bytes, 2 * sizeof(float)};
  EXPECT_EQ(run(GetParam(), m, reversed), expected);

  // Column-major, and a single row read through it.
  std::vector<float> fortran(n * dim);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < dim; ++j) fortran[j * n + i] = x[i * dim + j];
  }
  const Embeddings cols{reinterpret_cast<const char*>(fortran.data()), n, sizeof(float),
                        static_cast<ptrdiff_t>(n * sizeof(float))};
  EXPECT_EQ(run(GetParam(), m, cols), expected);
  const Embeddings third{reinterpret_cast<const char*>(fortran.data() + 2), 1, 0,
                         static_cast<ptrdiff_t>(n * sizeof(float))};
  EXPECT_EQ(run(GetParam(), m, third),
            std::vector<uint64_t>(expected.begin() + 2 * 2, expected.begin() + 3 * 2));

  // Row stride 0: the same embedding n times.
  const Embeddings repeated{reinterpret_cast<const char*>(x.data()), n, 0, sizeof(float)};
  std::vector<uint64_t> first_row_n_times;
  for (size_t i = 0; i < n; ++i)
    first_row_n_times.insert(first_row_n_times.end(), expected.begin(), expected.begin() + 2);
  EXPECT_EQ(run(GetParam(), m, repeated), first_row_n_times);
}

TEST_P(EncodeVariant, ZeroEmbeddingSetsExactlyTheCodeBits) {
  for (size_t bits : {1, 16, 63, 64, 65, 100, 256}) {
    const Matrix m(bits, 5, normal(bits * 5, bits));
    const std::vector<float> zero(5 * 13, 0.0f);
    const auto out = run(GetParam(), m, contiguous(zero, 13, 5));
    const size_t words = code_words(bits);
    for (size_t i = 0; i < 13; ++i) {
      for (size_t w = 0; w < words; ++w) {
        const size_t left = bits - 64 * w;
        const uint64_t full = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
        EXPECT_EQ(out[i * words + w], full) << "bits=" << bits << " row=" << i << " word=" << w;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllRunnable, EncodeVariant, ::testing::ValuesIn(runnable()), variant_name);

}  // namespace
}  // namespace tw::kernels
