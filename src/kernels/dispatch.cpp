// The one place that looks at the CPU: picks a kernel variant once per process.
#include <cpuid.h>

#include <initializer_list>

#include "kernels.h"

namespace tw::kernels {
namespace {

struct CpuFeatures {
  bool avx2 = false;    // AVX2 + POPCNT, with YMM state saved by the OS
  bool avx512 = false;  // AVX-512 F/BW/VL/VPOPCNTDQ, with ZMM state saved by the OS
};

uint64_t read_xcr0() {
  uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

CpuFeatures detect() {
  CpuFeatures f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
  const bool osxsave = (ecx >> 27) & 1, avx = (ecx >> 28) & 1, popcnt = (ecx >> 23) & 1;
  if (!osxsave || !avx || !popcnt) return f;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm_saved = (xcr0 & 0x6) == 0x6;           // SSE and AVX state
  const bool zmm_saved = ymm_saved && (xcr0 & 0xE0) == 0xE0;  // opmask, ZMM_Hi256, Hi16_ZMM
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = (ebx >> 5) & 1;
  const bool avx512f = (ebx >> 16) & 1, avx512bw = (ebx >> 30) & 1, avx512vl = (ebx >> 31) & 1;
  const bool vpopcntdq = (ecx >> 14) & 1;
  f.avx2 = ymm_saved && avx2;
  f.avx512 = f.avx2 && zmm_saved && avx512f && avx512bw && avx512vl && vpopcntdq;
  return f;
}

const CpuFeatures& features() {
  static const CpuFeatures f = detect();
  return f;
}

KernelTable build(Isa isa) {
  switch (isa) {
    case Isa::Scalar: return {isa, "scalar", hamming_scalar(), encode_scalar()};
    case Isa::Sse2: return {isa, "sse2", hamming_sse2(), encode_scalar()};
    case Isa::Avx2: return {isa, "avx2", hamming_avx2(), encode_avx2()};
    case Isa::Avx512: return {isa, "avx512", hamming_avx512(), encode_avx512()};
  }
  return {Isa::Scalar, "scalar", hamming_scalar(), encode_scalar()};
}

}  // namespace

const KernelTable* table_for(Isa isa) {
  static const KernelTable scalar = build(Isa::Scalar);
  static const KernelTable sse2 = build(Isa::Sse2);
  switch (isa) {
    case Isa::Scalar: return &scalar;
    case Isa::Sse2: return &sse2;
    case Isa::Avx2: {
      if (!features().avx2) return nullptr;
      static const KernelTable avx2 = build(Isa::Avx2);
      return &avx2;
    }
    case Isa::Avx512: {
      if (!features().avx512) return nullptr;
      static const KernelTable avx512 = build(Isa::Avx512);
      return &avx512;
    }
  }
  return nullptr;
}

const KernelTable& active() {
  static const KernelTable* chosen = [] {
    for (Isa isa : {Isa::Avx512, Isa::Avx2}) {
      if (const KernelTable* t = table_for(isa)) return t;
    }
    return table_for(Isa::Sse2);
  }();
  return *chosen;
}

}  // namespace tw::kernels
