// The one table of kernel variants, and the choice among them made once per process.
// Adding an instruction set: a folder of kernel files, its flags in CMakeLists.txt, a row here.
#include <array>

#include "kernels/kernels.h"
#include "platform/compiler.h"

namespace tw::kernels {
namespace {

using F = CpuFeature;

struct Variant {
  Isa isa;
  const char* name;
  // Exactly what the variant's files are compiled for (see CMakeLists.txt): the CPU must offer
  // all of it. MSVC's /arch switches let the compiler use more than GCC's -m flags name.
  CpuFeatures required;
  bool built;  // compiled into this build (its architecture is the target's)
  HammingKernels (*hamming)();
  EncodeKernels (*encode)();
};

// -mavx2 brings the SSE levels below it along.
constexpr CpuFeatures kAvx2{F::Sse3, F::Ssse3, F::Sse41, F::Sse42, F::Popcnt,
                            F::Avx,  F::Avx2,  F::Bmi1,  F::Bmi2};
#if defined(_MSC_VER) && !defined(__clang__)
constexpr CpuFeatures kAvx2Build = kAvx2 | CpuFeatures{F::Fma, F::Lzcnt, F::F16c, F::Movbe};
constexpr CpuFeatures kAvx512Build = kAvx2Build | CpuFeatures{F::Avx512f, F::Avx512bw, F::Avx512dq,
                                                              F::Avx512vl, F::Avx512cd,
                                                              F::Avx512vpopcntdq};
#else
constexpr CpuFeatures kAvx2Build = kAvx2;
constexpr CpuFeatures kAvx512Build =
    kAvx2 | CpuFeatures{F::Avx512f, F::Avx512bw, F::Avx512dq, F::Avx512vl, F::Avx512vpopcntdq};
#endif

#if TW_ARCH_X86_64
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
HammingKernels hamming_sse2() { return {}; }
HammingKernels hamming_avx2() { return {}; }
HammingKernels hamming_avx512() { return {}; }
EncodeKernels encode_avx2() { return {}; }
EncodeKernels encode_avx512() { return {}; }
#endif
#if TW_ARCH_AARCH64
constexpr bool kArm = true;
#else
constexpr bool kArm = false;
HammingKernels hamming_neon() { return {}; }
EncodeKernels encode_neon() { return {}; }
#endif

// Narrowest first; within an architecture, each row's features include the previous row's.
constexpr Variant kVariants[] = {
    {Isa::Scalar, "scalar", {}, true, hamming_scalar, encode_scalar},
    {Isa::Sse2, "sse2", {F::Sse2}, kX86, hamming_sse2, encode_scalar},
    {Isa::Avx2, "avx2", kAvx2Build, kX86, hamming_avx2, encode_avx2},
    {Isa::Avx512, "avx512", kAvx512Build, kX86, hamming_avx512, encode_avx512},
    {Isa::Neon, "neon", {F::Neon}, kArm, hamming_neon, encode_neon},
};

const Variant& variant(Isa isa) {
  for (const Variant& v : kVariants) {
    if (v.isa == isa) return v;
  }
  return kVariants[0];
}

// The widest variant the module may pick; a build pins a lower one with -DTW_MAX_ISA=avx2.
#if defined(TW_MAX_ISA)
#define TW_STRINGIFY2(x) #x
#define TW_STRINGIFY(x) TW_STRINGIFY2(x)
constexpr const char* kMaxIsa = TW_STRINGIFY(TW_MAX_ISA);
#else
constexpr const char* kMaxIsa = nullptr;
#endif

constexpr bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// The position of the TW_MAX_ISA variant in kVariants; the build fails on an unknown name and on
// another architecture's variant, which would cap nothing. CMakeLists.txt lists the names too
// (TW_ISAS_*), to say which ones are valid.
constexpr size_t max_position() {
  if (kMaxIsa == nullptr) return sizeof kVariants / sizeof kVariants[0] - 1;
  for (size_t i = 0; i < sizeof kVariants / sizeof kVariants[0]; ++i) {
    if (!same_text(kVariants[i].name, kMaxIsa)) continue;
    if (!kVariants[i].built) throw "TW_MAX_ISA names a variant of another architecture";
    return i;
  }
  throw "TW_MAX_ISA names no variant";
}
constexpr size_t kMaxPosition = max_position();

KernelTable build(const Variant& v) { return {v.isa, v.name, v.hamming(), v.encode()}; }

}  // namespace

const char* isa_name(Isa isa) { return variant(isa).name; }
CpuFeatures required_features(Isa isa) { return variant(isa).required; }

bool runs_on(Isa isa, CpuFeatures cpu) {
  const Variant& v = variant(isa);
  return v.built && cpu.first_missing(v.required) == CpuFeature::Count;
}

const char* unavailable_reason(Isa isa) {
  const Variant& v = variant(isa);
  if (!v.built) return "not built for this architecture";
  const CpuFeature missing = cpu_features().first_missing(v.required);
  if (missing == CpuFeature::Count) return nullptr;
  static thread_local char text[64];
  const char* name = feature_name(missing);
  size_t n = 0;
  for (const char* p = "CPU or OS lacks "; *p != '\0'; ++p) text[n++] = *p;
  for (; *name != '\0' && n + 1 < sizeof text; ++name) text[n++] = *name;
  text[n] = '\0';
  return text;
}

const KernelTable* table_for(Isa isa) {
  // One table per variant, built on first request; the array is filled under C++'s guarded
  // static initialisation, so concurrent first calls are safe.
  static const auto tables = [] {
    struct Slot {
      bool runnable;
      KernelTable table;
    };
    std::array<Slot, sizeof kVariants / sizeof kVariants[0]> out{};
    for (size_t i = 0; i < out.size(); ++i) {
      const Variant& v = kVariants[i];
      out[i].runnable = runs_on(v.isa, cpu_features());
      if (out[i].runnable) out[i].table = build(v);
    }
    return out;
  }();
  for (size_t i = 0; i < tables.size(); ++i) {
    if (kVariants[i].isa == isa) return tables[i].runnable ? &tables[i].table : nullptr;
  }
  return nullptr;
}

const char* op_name(Op op) {
  switch (op) {
    case Op::XorPopcount: return "xor_popcount";
    case Op::Distances: return "distances";
    case Op::Similarities: return "similarities";
    case Op::Nearest: return "nearest";
    case Op::NearestRecords: return "nearest_records";
    case Op::ArgminU32: return "argmin_u32";
    case Op::Encode: return "encode";
  }
  return "?";
}

Isa chosen(Op, size_t) { return active().isa; }

const KernelTable& active() {
  static const KernelTable* chosen = [] {
    for (size_t i = kMaxPosition + 1; i-- > 0;) {
      if (const KernelTable* t = table_for(kVariants[i].isa)) return t;
    }
    return table_for(Isa::Scalar);
  }();
  return *chosen;
}

}  // namespace tw::kernels
