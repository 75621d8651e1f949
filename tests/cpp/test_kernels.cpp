// Every kernel variant this CPU can run, against the scalar reference.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernels.h"
#include "variants.h"

namespace tw::kernels {
namespace {

std::vector<uint64_t> random_words(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> v(n);
  for (auto& w : v) w = rng();
  return v;
}

class Variant : public ::testing::TestWithParam<Isa> {
 protected:
  const HammingKernels& k() { return table_for(GetParam())->hamming; }
  const HammingKernels& ref() { return table_for(Isa::Scalar)->hamming; }
};

TEST_P(Variant, XorPopcountMatchesReferenceOnEveryLengthAndOffset) {
  auto a = random_words(80, 1), b = random_words(80, 2);
  for (size_t offset = 0; offset < 3; ++offset) {
    for (size_t n = 0; n <= 70; ++n) {
      EXPECT_EQ(k().xor_popcount(a.data() + offset, b.data() + offset, n),
                ref().xor_popcount(a.data() + offset, b.data() + offset, n))
          << "n=" << n << " offset=" << offset;
    }
  }
}

TEST_P(Variant, XorPopcountReadsByteMisalignedRuns) {
  auto a = random_words(70, 3), b = random_words(70, 4);
  std::vector<unsigned char> buf_a(70 * 8 + 8), buf_b(70 * 8 + 8);
  for (size_t shift = 1; shift < 8; ++shift) {
    std::memcpy(buf_a.data() + shift, a.data(), 70 * 8);
    std::memcpy(buf_b.data() + 8 - shift, b.data(), 70 * 8);
    const auto* pa = reinterpret_cast<const uint64_t*>(buf_a.data() + shift);
    const auto* pb = reinterpret_cast<const uint64_t*>(buf_b.data() + 8 - shift);
    for (size_t n : {1, 3, 4, 5, 8, 9, 16, 17, 70}) {
      EXPECT_EQ(k().xor_popcount(pa, pb, n), ref().xor_popcount(a.data(), b.data(), n))
          << "n=" << n << " shift=" << shift;
    }
  }
}

TEST_P(Variant, XorPopcountCountsEveryBitOfEveryWord) {
  std::vector<uint64_t> zero(70, 0), ones(70, ~0ULL);
  for (size_t n = 0; n <= 70; ++n) EXPECT_EQ(k().xor_popcount(zero.data(), ones.data(), n), 64 * n);
  std::vector<uint64_t> top(4, 0);
  top[3] = 1ULL << 63;
  EXPECT_EQ(k().xor_popcount(zero.data(), top.data(), 4), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllRunnable, Variant, ::testing::ValuesIn(runnable()), variant_name);

TEST(Dispatch, ActiveIsTheWidestRunnable) {
#if !defined(TW_MAX_ISA)
  const auto all = runnable();
  EXPECT_EQ(active().isa, all.back());
#endif
  EXPECT_NE(table_for(active().isa), nullptr);
}

// The per-microarchitecture table, on CPUs described by hand: what each operation gets for a
// call in the caches and one far beyond them.
struct Choice {
  const char* cpu;
  CpuModel model;
  Isa features_of;  // the CPU offers exactly what this variant needs
  Op op;
  Isa in_cache, beyond;
};

class DispatchTable : public ::testing::TestWithParam<Choice> {};

TEST_P(DispatchTable, PicksPerOperationAndSize) {
  const Choice& c = GetParam();
  const CpuFeatures features = required_features(c.features_of);
  if (!runs_on(c.features_of, features)) GTEST_SKIP() << "not built for this architecture";
  EXPECT_EQ(isa_name(choose(c.op, 4096, features, c.model)), std::string(isa_name(c.in_cache)));
  EXPECT_EQ(isa_name(choose(c.op, size_t{1} << 30, features, c.model)),
            std::string(isa_name(c.beyond)));
}

constexpr CpuModel kZen4{CpuVendor::Amd, 0x19, 0x11}, kZen2{CpuVendor::Amd, 0x17, 0x31},
    kSapphireRapids{CpuVendor::Intel, 6, 0x8F};

INSTANTIATE_TEST_SUITE_P(
    KnownCpus, DispatchTable,
    ::testing::Values(
        Choice{"zen4", kZen4, Isa::Avx512, Op::Nearest, Isa::Avx512vl, Isa::Avx512vl},
        Choice{"zen4", kZen4, Isa::Avx512, Op::Distances, Isa::Avx512vl, Isa::Avx512vl},
        Choice{"zen4", kZen4, Isa::Avx512, Op::NearestRecords, Isa::Avx512vl, Isa::Avx512vl},
        Choice{"zen4", kZen4, Isa::Avx512, Op::ArgminU32, Isa::Avx512, Isa::Avx2},
        Choice{"zen4", kZen4, Isa::Avx512, Op::Encode, Isa::Avx512, Isa::Avx512},
        // Family 19h without AVX-512 (Zen 3), or a hypervisor hiding it: never a variant it
        // cannot run.
        Choice{"zen3", kZen4, Isa::Avx2, Op::Nearest, Isa::Avx2, Isa::Avx2},
        Choice{"zen3", kZen4, Isa::Avx2, Op::ArgminU32, Isa::Avx2, Isa::Avx2},
        Choice{"zen2", kZen2, Isa::Avx2, Op::Nearest, Isa::Avx2, Isa::Avx2},
        Choice{"spr", kSapphireRapids, Isa::Avx512, Op::Nearest, Isa::Avx512, Isa::Avx512},
        Choice{"spr", kSapphireRapids, Isa::Avx512, Op::ArgminU32, Isa::Avx512, Isa::Avx512},
        Choice{"spr", kSapphireRapids, Isa::Avx512, Op::NearestRecords, Isa::Avx512,
               Isa::Avx512},
        Choice{"old", CpuModel{}, Isa::Sse2, Op::Similarities, Isa::Sse2, Isa::Sse2}),
    [](const ::testing::TestParamInfo<Choice>& info) {
      return std::string(info.param.cpu) + "_" + op_name(info.param.op) + "_" +
             isa_name(info.param.features_of);
    });

TEST(Dispatch, ActiveFollowsTheTableForThisCpu) {
#if !defined(TW_MAX_ISA)
  for (Op op : kAllOps) {
    for (size_t bytes : {size_t{4096}, size_t{1} << 30}) {
      EXPECT_EQ(chosen(op, bytes), choose(op, bytes, cpu_features(), cpu_model()))
          << op_name(op) << " " << bytes;
    }
  }
#endif
}

// A CPU (or a hypervisor's view of one) that lacks any single feature a variant is compiled for
// must not get that variant.
TEST(Dispatch, EveryRequiredFeatureIsChecked) {
  const CpuFeatures cpu = cpu_features();
  for (Isa isa : kAllIsas) {
    if (!runs_on(isa, cpu)) continue;
    for (int f = 0; f < static_cast<int>(CpuFeature::Count); ++f) {
      const auto feature = static_cast<CpuFeature>(f);
      if (required_features(isa).has(feature)) {
        EXPECT_FALSE(runs_on(isa, cpu.without(feature))) << isa_name(isa) << " without "
                                                         << feature_name(feature);
      }
    }
  }
}

}  // namespace
}  // namespace tw::kernels
