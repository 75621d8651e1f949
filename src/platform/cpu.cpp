// CPU feature query: CPUID and XGETBV on x86-64, the architecture's baseline on aarch64.
#include "cpu.h"

#include "compiler.h"

#if TW_ARCH_X86_64
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace tw {

const char* feature_name(CpuFeature f) noexcept {
  switch (f) {
    case CpuFeature::Sse2: return "sse2";
    case CpuFeature::Sse3: return "sse3";
    case CpuFeature::Ssse3: return "ssse3";
    case CpuFeature::Sse41: return "sse4.1";
    case CpuFeature::Sse42: return "sse4.2";
    case CpuFeature::Popcnt: return "popcnt";
    case CpuFeature::Avx: return "avx";
    case CpuFeature::Avx2: return "avx2";
    case CpuFeature::Bmi1: return "bmi1";
    case CpuFeature::Bmi2: return "bmi2";
    case CpuFeature::Fma: return "fma";
    case CpuFeature::Lzcnt: return "lzcnt";
    case CpuFeature::F16c: return "f16c";
    case CpuFeature::Movbe: return "movbe";
    case CpuFeature::Avx512f: return "avx512f";
    case CpuFeature::Avx512bw: return "avx512bw";
    case CpuFeature::Avx512dq: return "avx512dq";
    case CpuFeature::Avx512vl: return "avx512vl";
    case CpuFeature::Avx512cd: return "avx512cd";
    case CpuFeature::Avx512vpopcntdq: return "avx512vpopcntdq";
    case CpuFeature::Neon: return "neon";
    case CpuFeature::Count: break;
  }
  return "?";
}

namespace {

#if TW_ARCH_X86_64
struct Regs {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Regs cpuid(uint32_t leaf, uint32_t subleaf) {
  int out[4] = {};
#if defined(_MSC_VER) && !defined(__clang__)
  __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
#else
  __cpuid_count(leaf, subleaf, out[0], out[1], out[2], out[3]);
#endif
  return {static_cast<uint32_t>(out[0]), static_cast<uint32_t>(out[1]),
          static_cast<uint32_t>(out[2]), static_cast<uint32_t>(out[3])};
}

// Which register states the OS saves (XCR0); only valid once CPUID reports OSXSAVE.
uint64_t read_xcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
#endif
}

bool bit(uint32_t reg, int n) { return ((reg >> n) & 1) != 0; }

CpuFeatures detect() {
  CpuFeatures f{CpuFeature::Sse2};  // part of x86-64 itself
  const uint32_t max_leaf = cpuid(0, 0).eax;
  if (max_leaf < 1) return f;
  const Regs l1 = cpuid(1, 0);
  if (bit(l1.ecx, 0)) f = f.with(CpuFeature::Sse3);
  if (bit(l1.ecx, 9)) f = f.with(CpuFeature::Ssse3);
  if (bit(l1.ecx, 19)) f = f.with(CpuFeature::Sse41);
  if (bit(l1.ecx, 20)) f = f.with(CpuFeature::Sse42);
  if (bit(l1.ecx, 23)) f = f.with(CpuFeature::Popcnt);
  if (bit(l1.ecx, 22)) f = f.with(CpuFeature::Movbe);
  const Regs l7 = max_leaf >= 7 ? cpuid(7, 0) : Regs{};
  if (bit(l7.ebx, 3)) f = f.with(CpuFeature::Bmi1);
  if (bit(l7.ebx, 8)) f = f.with(CpuFeature::Bmi2);
  if (cpuid(0x80000000u, 0).eax >= 0x80000001u && bit(cpuid(0x80000001u, 0).ecx, 5)) {
    f = f.with(CpuFeature::Lzcnt);
  }
  // The vector extensions need their registers saved by the OS: SSE and AVX state for YMM,
  // opmask and both ZMM halves for AVX-512.
  if (!bit(l1.ecx, 27)) return f;  // OSXSAVE: XGETBV is usable
  const uint64_t xcr0 = read_xcr0();
  const bool ymm = (xcr0 & 0x6) == 0x6;
  const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;
  if (!ymm || !bit(l1.ecx, 28)) return f;
  f = f.with(CpuFeature::Avx);
  if (bit(l1.ecx, 12)) f = f.with(CpuFeature::Fma);
  if (bit(l1.ecx, 29)) f = f.with(CpuFeature::F16c);
  if (bit(l7.ebx, 5)) f = f.with(CpuFeature::Avx2);
#if defined(TW_EMULATED_AVX512)
  // The test build whose AVX-512 variants run on AVX2 through emulated intrinsics.
  if (f.has(CpuFeature::Avx2)) {
    for (CpuFeature e : {CpuFeature::Avx512f, CpuFeature::Avx512dq, CpuFeature::Avx512bw,
                         CpuFeature::Avx512vl, CpuFeature::Avx512vpopcntdq}) {
      f = f.with(e);
    }
    return f;
  }
#endif
  if (!zmm || !bit(l7.ebx, 16)) return f;
  f = f.with(CpuFeature::Avx512f);
  if (bit(l7.ebx, 17)) f = f.with(CpuFeature::Avx512dq);
  if (bit(l7.ebx, 28)) f = f.with(CpuFeature::Avx512cd);
  if (bit(l7.ebx, 30)) f = f.with(CpuFeature::Avx512bw);
  if (bit(l7.ebx, 31)) f = f.with(CpuFeature::Avx512vl);
  if (bit(l7.ecx, 14)) f = f.with(CpuFeature::Avx512vpopcntdq);
  return f;
}

// One cache level per subleaf of CPUID leaf 4 (Intel) or 0x8000001D (AMD), until a subleaf
// reports no cache: type in EAX[4:0] (1 data, 3 unified), level in EAX[7:5], and the size as
// ways x partitions x line size x sets, each stored minus one.
CpuCaches deterministic_caches(uint32_t leaf) {
  CpuCaches c;
  for (uint32_t sub = 0; sub < 16; ++sub) {
    const Regs r = cpuid(leaf, sub);
    const uint32_t type = r.eax & 0x1F;
    if (type == 0) break;
    if (type != 1 && type != 3) continue;  // instruction caches
    const uint64_t bytes = (uint64_t{r.ebx >> 22} + 1) * (uint64_t{(r.ebx >> 12) & 0x3FF} + 1) *
                           (uint64_t{r.ebx & 0xFFF} + 1) * (uint64_t{r.ecx} + 1);
    switch ((r.eax >> 5) & 0x7) {
      case 1: c.l1d = bytes; break;
      case 2: c.l2 = bytes; break;
      case 3: c.l3 = bytes; break;
      default: break;
    }
  }
  return c;
}

CpuCaches detect_caches(CpuVendor vendor, uint32_t max_leaf) {
  if (vendor == CpuVendor::Intel && max_leaf >= 4) return deterministic_caches(4);
  if (vendor != CpuVendor::Amd) return {};
  const uint32_t max_ext = cpuid(0x80000000u, 0).eax;
  // TOPOEXT (CPUID 0x80000001 ECX bit 22) makes leaf 0x8000001D valid.
  if (max_ext >= 0x8000001Du && bit(cpuid(0x80000001u, 0).ecx, 22)) {
    return deterministic_caches(0x8000001Du);
  }
  // Older AMD cores: L1d in KiB in 0x80000005 ECX[31:24], L2 in KiB in 0x80000006 ECX[31:16],
  // L3 in 512 KiB units in 0x80000006 EDX[31:18].
  CpuCaches c;
  if (max_ext >= 0x80000005u) c.l1d = uint64_t{cpuid(0x80000005u, 0).ecx >> 24} << 10;
  if (max_ext >= 0x80000006u) {
    const Regs r = cpuid(0x80000006u, 0);
    c.l2 = uint64_t{r.ecx >> 16} << 10;
    c.l3 = uint64_t{r.edx >> 18} << 19;
  }
  return c;
}

CpuModel detect_model() {
  CpuModel m;
  const Regs l0 = cpuid(0, 0);
  // The vendor string is EBX, EDX, ECX: "GenuineIntel", "AuthenticAMD".
  if (l0.ebx == 0x756E6547 && l0.edx == 0x49656E69 && l0.ecx == 0x6C65746E) {
    m.vendor = CpuVendor::Intel;
  } else if (l0.ebx == 0x68747541 && l0.edx == 0x69746E65 && l0.ecx == 0x444D4163) {
    m.vendor = CpuVendor::Amd;
  }
  if (l0.eax < 1) return m;
  const uint32_t eax = cpuid(1, 0).eax;
  const uint32_t base_family = (eax >> 8) & 0xF, base_model = (eax >> 4) & 0xF;
  m.family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
  m.model = base_family == 0x6 || base_family == 0xF ? base_model | (((eax >> 16) & 0xF) << 4)
                                                      : base_model;
  m.caches = detect_caches(m.vendor, l0.eax);
  return m;
}
#elif TW_ARCH_AARCH64
// Advanced SIMD is part of every AArch64 processor that runs a general-purpose OS (the
// procedure-call standard passes floats in its registers).
CpuFeatures detect() { return CpuFeatures{CpuFeature::Neon}; }
#else
CpuFeatures detect() { return CpuFeatures{}; }
#endif
#if !TW_ARCH_X86_64
CpuModel detect_model() { return CpuModel{}; }
#endif

}  // namespace

CpuModel cpu_model() noexcept {
  static const CpuModel model = detect_model();
  return model;
}

CpuFeatures cpu_features() noexcept {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace tw
