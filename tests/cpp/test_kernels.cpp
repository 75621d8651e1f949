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

// The per-microarchitecture table on CPUs no record describes, or that lack what a recorded
// CPU's exceptions need: what each operation gets on 4-word rows in L1 and from memory.
struct Choice {
  const char* cpu;
  CpuModel model;
  Isa features_of;  // the CPU offers exactly what this variant needs
  Op op;
  Isa in_cache, beyond;
};

class DispatchTable : public ::testing::TestWithParam<Choice> {};

TEST_P(DispatchTable, PicksPerOperationAndReach) {
  const Choice& c = GetParam();
  const CpuFeatures features = required_features(c.features_of);
  if (!runs_on(c.features_of, features)) GTEST_SKIP() << "not built for this architecture";
  EXPECT_EQ(isa_name(choose(c.op, 4, 4096, features, c.model)), std::string(isa_name(c.in_cache)));
  EXPECT_EQ(isa_name(choose(c.op, 4, size_t{1} << 30, features, c.model)),
            std::string(isa_name(c.beyond)));
}

constexpr CpuCaches kCaches{32 << 10, 1 << 20, 32 << 20};
constexpr CpuModel kZen4{CpuVendor::Amd, 0x19, 0x11, kCaches},
    kZen2{CpuVendor::Amd, 0x17, 0x31, kCaches}, kZen5{CpuVendor::Amd, 0x1A, 0x02, kCaches},
    kSapphireRapids{CpuVendor::Intel, 6, 0x8F, kCaches};

INSTANTIATE_TEST_SUITE_P(
    KnownCpus, DispatchTable,
    ::testing::Values(
        // Family 19h without AVX-512 (Zen 3), or a hypervisor hiding it: never a variant it
        // cannot run, and none of Zen 4's choices among the ones it can.
        Choice{"zen3", kZen4, Isa::Avx2, Op::Nearest, Isa::Avx2, Isa::Avx2},
        Choice{"zen3", kZen4, Isa::Avx2, Op::ArgminU32, Isa::Avx2, Isa::Avx2},
        Choice{"zen3", kZen4, Isa::Avx2, Op::Encode, Isa::Avx2, Isa::Avx2},
        Choice{"zen2", kZen2, Isa::Avx2, Op::Nearest, Isa::Avx2, Isa::Avx2},
        // Zen 5 runs 512-bit operations whole: none of Zen 4's exceptions.
        Choice{"zen5", kZen5, Isa::Avx512, Op::Nearest, Isa::Avx512, Isa::Avx512},
        Choice{"zen5", kZen5, Isa::Avx512, Op::ArgminU32, Isa::Avx512, Isa::Avx512},
        // Intel without AVX-512 (a client core, or a hypervisor hiding it).
        Choice{"adl", kSapphireRapids, Isa::Avx2, Op::NearestRecords, Isa::Avx2, Isa::Avx2},
        Choice{"old", CpuModel{}, Isa::Sse2, Op::Similarities, Isa::Sse2, Isa::Sse2}),
    [](const ::testing::TestParamInfo<Choice>& info) {
      return std::string(info.param.cpu) + "_" + op_name(info.param.op) + "_" +
             isa_name(info.param.features_of);
    });

// Where a recorded CPU's caches are larger, the same call sits in a nearer level: the choice
// follows the caches the CPU reports, not a size in bytes.
TEST(Dispatch, ReachFollowsTheCachesTheCpuReports) {
  constexpr CpuCaches zen4{32 << 10, 1 << 20, 32 << 20}, zen4_3d{32 << 10, 1 << 20, 96 << 20};
  const size_t codes = size_t{32} << 20;  // 1M rows of 4 words
  EXPECT_EQ(reach_of(codes, zen4), Reach::Memory);
  EXPECT_EQ(reach_of(codes, zen4_3d), Reach::L3);
  EXPECT_EQ(reach_of(32 << 10, zen4), Reach::L1);
  EXPECT_EQ(reach_of((32 << 10) + 1, zen4), Reach::L2);
  const CpuFeatures avx512 = required_features(Isa::Avx512);
  if (!runs_on(Isa::Avx512, avx512)) GTEST_SKIP() << "not built for this architecture";
  EXPECT_EQ(choose(Op::Nearest, 4, codes, avx512, {CpuVendor::Amd, 0x19, 0x11, zen4}), Isa::Avx2);
  EXPECT_EQ(choose(Op::Nearest, 4, codes, avx512, {CpuVendor::Amd, 0x19, 0x11, zen4_3d}),
            Isa::Avx512);
}

TEST(Dispatch, ActiveFollowsTheTableForThisCpu) {
#if !defined(TW_MAX_ISA)
  for (Op op : kAllOps) {
    for (size_t words : {3, 4, 8}) {
      for (size_t bytes : {size_t{4096}, size_t{1} << 20, size_t{1} << 30}) {
        const Isa want = choose(op, words, bytes, cpu_features(), cpu_model());
        if (op == Op::Encode) {
          // Chosen once per process: the table must not tell its calls apart.
          EXPECT_EQ(want, choose(op, 0, 0, cpu_features(), cpu_model()));
        }
        EXPECT_EQ(chosen(op, words, bytes), want) << op_name(op) << " " << words << " " << bytes;
      }
    }
  }
  // And the entries it calls are those variants' own, where one variant serves every call.
  const auto entry_is = [](Op op, auto member) {
    const Isa isa = chosen(op, 4, 4096);
    for (size_t words : {3, 4, 8}) {
      for (size_t bytes : {size_t{4096}, size_t{1} << 20, size_t{1} << 30}) {
        if (chosen(op, words, bytes) != isa) return;
      }
    }
    EXPECT_EQ(member(active()), member(*table_for(isa))) << op_name(op) << ": " << isa_name(isa);
  };
  entry_is(Op::XorPopcount, [](const KernelTable& t) { return t.hamming.xor_popcount; });
  entry_is(Op::Distances, [](const KernelTable& t) { return t.hamming.distances; });
  entry_is(Op::Similarities, [](const KernelTable& t) { return t.hamming.similarities; });
  entry_is(Op::Nearest, [](const KernelTable& t) { return t.hamming.nearest; });
  entry_is(Op::NearestRecords, [](const KernelTable& t) { return t.hamming.nearest_records; });
  entry_is(Op::ArgminU32, [](const KernelTable& t) { return t.hamming.argmin_u32; });
  entry_is(Op::Encode, [](const KernelTable& t) { return t.encode.encode; });
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
#if TW_ARCH_X86_64
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
#endif

// The value of a line of /proc/cpuinfo for the first processor ("flags" on x86-64, "Features"
// on aarch64), or nothing where there is no such line (another OS, or qemu-user, which shows
// the host's).
std::string os_cpu_info(const std::string& wanted) {
#if defined(__linux__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key == wanted) return line.substr(colon + 1);
  }
#endif
  (void)wanted;
  return {};
}

// The CPU flags Linux lists for this architecture.
std::set<std::string> os_cpu_flags() {
  if (!kX86 && !kArm) return {};
  std::istringstream words(os_cpu_info(kArm ? "Features" : "flags"));
  std::set<std::string> flags;
  for (std::string w; words >> w;) flags.insert(w);
  return flags;
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

// The per-microarchitecture choices key on maker and family: a slip there quietly gives a CPU
// another one's choices.
TEST(Dispatch, DetectedModelIsWhatTheOperatingSystemReports) {
  if (!kX86 || os_cpu_info("vendor_id").empty()) {
    GTEST_SKIP() << "no x86 vendor in /proc/cpuinfo";
  }
  std::istringstream vendor_id(os_cpu_info("vendor_id"));
  std::string vendor;
  vendor_id >> vendor;
  const CpuVendor want = vendor == "GenuineIntel"   ? CpuVendor::Intel
                         : vendor == "AuthenticAMD" ? CpuVendor::Amd
                                                    : CpuVendor::Other;
  const CpuModel m = cpu_model();
  EXPECT_EQ(static_cast<int>(m.vendor), static_cast<int>(want)) << vendor;
  EXPECT_EQ(m.family, std::stoul(os_cpu_info("cpu family")));
  EXPECT_EQ(m.model, std::stoul(os_cpu_info("model")));
  // The choices' reach is measured against these: each level as Linux reads it from CPUID.
  for (int index = 0; index < 8; ++index) {
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index);
    std::ifstream level_in(dir + "/level"), type_in(dir + "/type"), size_in(dir + "/size");
    int level = 0;
    std::string type, size;
    if (!(level_in >> level) || !(type_in >> type) || !(size_in >> size)) continue;
    if (type == "Instruction") continue;
    const uint64_t kib = std::stoull(size);
    const uint64_t got = level == 1 ? m.caches.l1d : level == 2 ? m.caches.l2 : m.caches.l3;
    EXPECT_EQ(got, kib << 10) << "L" << level << " " << size;
  }
}

}  // namespace
}  // namespace tw::kernels
