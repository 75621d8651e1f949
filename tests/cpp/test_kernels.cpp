// Every kernel variant this CPU can run, against the scalar reference.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "platform/compiler.h"
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

#if TW_ARCH_AARCH64
constexpr bool kArm = true;
#else
constexpr bool kArm = false;
#endif

// The flags Linux lists for the first processor ("flags" on x86-64, "Features" on aarch64), or
// nothing where there is no such line for this architecture (another OS, or qemu-user, which
// shows the host's).
std::set<std::string> os_cpu_flags() {
#if defined(__linux__) && (TW_ARCH_X86_64 || TW_ARCH_AARCH64)
  const std::string wanted = kArm ? "Features" : "flags";
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != wanted) continue;
    std::istringstream words(line.substr(colon + 1));
    std::set<std::string> flags;
    for (std::string w; words >> w;) flags.insert(w);
    return flags;
  }
#endif
  return {};
}

// Linux's name of each feature (its flags already leave out what the OS does not save).
const char* os_flag_name(CpuFeature f) {
  switch (f) {
    case CpuFeature::Sse2: return "sse2";
    case CpuFeature::Sse3: return "pni";
    case CpuFeature::Ssse3: return "ssse3";
    case CpuFeature::Sse41: return "sse4_1";
    case CpuFeature::Sse42: return "sse4_2";
    case CpuFeature::Popcnt: return "popcnt";
    case CpuFeature::Avx: return "avx";
    case CpuFeature::Avx2: return "avx2";
    case CpuFeature::Bmi1: return "bmi1";
    case CpuFeature::Bmi2: return "bmi2";
    case CpuFeature::Fma: return "fma";
    case CpuFeature::Lzcnt: return "abm";
    case CpuFeature::F16c: return "f16c";
    case CpuFeature::Movbe: return "movbe";
    case CpuFeature::Avx512f: return "avx512f";
    case CpuFeature::Avx512bw: return "avx512bw";
    case CpuFeature::Avx512dq: return "avx512dq";
    case CpuFeature::Avx512vl: return "avx512vl";
    case CpuFeature::Avx512cd: return "avx512cd";
    case CpuFeature::Avx512vpopcntdq: return "avx512_vpopcntdq";
    case CpuFeature::Neon: return "asimd";
    case CpuFeature::Count: break;
  }
  return "";
}

// A wrong CPUID bit or XCR0 mask drops variants silently: every test still passes, on fewer of
// them. So the detected features must be exactly what the OS reports.
TEST(Dispatch, DetectedFeaturesAreWhatTheOperatingSystemReports) {
  const std::set<std::string> flags = os_cpu_flags();
  if (flags.empty()) GTEST_SKIP() << "no CPU flags of this architecture in /proc/cpuinfo";
  const CpuFeatures cpu = cpu_features();
  for (int i = 0; i < static_cast<int>(CpuFeature::Count); ++i) {
    const auto f = static_cast<CpuFeature>(i);
    if ((f == CpuFeature::Neon) != kArm) continue;  // the other architecture's
    EXPECT_EQ(cpu.has(f), flags.count(os_flag_name(f)) == 1)
        << feature_name(f) << " (Linux: " << os_flag_name(f) << ")";
  }
}

}  // namespace
}  // namespace tw::kernels
