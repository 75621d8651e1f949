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
// MSVC's /arch switches let the compiler use more than GCC's and clang's -m flags name.
#if defined(_MSC_VER) && !defined(__clang__)
constexpr CpuFeatures kArchAvx2Extra{F::Fma, F::Lzcnt, F::F16c, F::Movbe};
constexpr CpuFeatures kArchAvx512Extra{F::Avx512cd};
#else
constexpr CpuFeatures kArchAvx2Extra{}, kArchAvx512Extra{};
#endif
constexpr CpuFeatures kAvx2Build = kAvx2 | kArchAvx2Extra;
constexpr CpuFeatures kAvx512Build =
    kAvx2Build | kArchAvx512Extra |
    CpuFeatures{F::Avx512f, F::Avx512bw, F::Avx512dq, F::Avx512vl, F::Avx512vpopcntdq};

#if TW_ARCH_X86_64
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
HammingKernels hamming_sse2() { return {}; }
HammingKernels hamming_avx2() { return {}; }
HammingKernels hamming_avx512vl() { return {}; }
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
    // The same features as avx512, on 256-bit registers; its encoder is avx2's, also 256 bits.
    {Isa::Avx512vl, "avx512vl", kAvx512Build, kX86, hamming_avx512vl, encode_avx2},
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

namespace {

// Where the widest variant a CPU runs is not the fastest, the measured choice, by maker and
// CPUID family: per operation, one variant for calls that read up to `up_to` bytes (the codes
// sit in a cache of that size) and one for larger calls. Nothing is timed at run time.
struct Preference {
  CpuVendor vendor;
  uint32_t family;
  Op op;
  Isa in_cache;
  size_t up_to;
  Isa beyond;
};

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kEverySize = SIZE_MAX;

constexpr Preference kPreferences[] = {
    // AMD family 19h with AVX-512 (Zen 4) runs every 512-bit operation as two 256-bit halves.
    // Its scans take the same VPOPCNTDQ loops on 256-bit registers; the 44-byte records'
    // last_accessed fields are gathered with 512-bit permutes while they sit in the caches and
    // read one by one from memory beyond them, which measured faster there (0.88x against
    // 1.20x the read of the records, 1M entries).
    {CpuVendor::Amd, 0x19, Op::XorPopcount, Isa::Avx512vl, kEverySize, Isa::Avx512vl},
    {CpuVendor::Amd, 0x19, Op::Distances, Isa::Avx512vl, kEverySize, Isa::Avx512vl},
    {CpuVendor::Amd, 0x19, Op::Similarities, Isa::Avx512vl, kEverySize, Isa::Avx512vl},
    {CpuVendor::Amd, 0x19, Op::Nearest, Isa::Avx512vl, kEverySize, Isa::Avx512vl},
    {CpuVendor::Amd, 0x19, Op::NearestRecords, Isa::Avx512vl, kEverySize, Isa::Avx512vl},
    {CpuVendor::Amd, 0x19, Op::ArgminU32, Isa::Avx512, 16 * kMiB, Isa::Avx2},
    // Intel cores (family 6) run 512-bit integer work on two ports, one of them the only one
    // for VPOPCNTQ and shuffles, where two records in one 512-bit register cost an insert. From
    // beyond L1 on the record search runs 3-4% faster on 256-bit registers (Xeon, 440 KB of
    // records; 44 KB: 512-bit 5% ahead). The 4-word batches beyond L2 measured within 1-5% of
    // each other either way, within the spread of the runs, so they keep the widest.
    {CpuVendor::Intel, 6, Op::NearestRecords, Isa::Avx512, 64 << 10, Isa::Avx512vl},
};

// The widest variant of kVariants the CPU runs, up to position `last`.
Isa widest(CpuFeatures features, size_t last) {
  for (size_t i = last + 1; i-- > 0;) {
    if (runs_on(kVariants[i].isa, features)) return kVariants[i].isa;
  }
  return Isa::Scalar;
}

// This maker and family's exception for `op`, if the table has one.
const Preference* preference(Op op, CpuModel model) {
  for (const Preference& p : kPreferences) {
    if (p.vendor == model.vendor && p.family == model.family && p.op == op) return &p;
  }
  return nullptr;
}

constexpr size_t kVariantCount = sizeof kVariants / sizeof kVariants[0];
constexpr size_t kOpCount = sizeof kAllOps / sizeof kAllOps[0];

// The variants active() uses per operation, for calls up to `up_to` bytes and beyond; written
// once, while active()'s table is built (under C++'s guarded static initialisation).
struct Plan {
  const KernelTable* in_cache[kOpCount];
  size_t up_to[kOpCount];
  const KernelTable* beyond[kOpCount];
};
Plan plan;

const KernelTable& planned(size_t op, size_t bytes) {
  return *(bytes <= plan.up_to[op] ? plan.in_cache[op] : plan.beyond[op]);
}

template <Op op>
const HammingKernels& by_size(size_t bytes) {
  return planned(static_cast<size_t>(op), bytes).hamming;
}

// Entries that pick their variant by the size of the call, for the operations whose two
// variants differ.
uint64_t xor_popcount_by_size(const uint64_t* a, const uint64_t* b, size_t words) {
  return by_size<Op::XorPopcount>(16 * words).xor_popcount(a, b, words);
}
void distances_by_size(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                       uint32_t* out) {
  by_size<Op::Distances>(8 * rows * words).distances(q, codes, rows, words, out);
}
Nearest nearest_by_size(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words) {
  return by_size<Op::Nearest>(8 * rows * words).nearest(q, codes, rows, words);
}
Nearest nearest_records_by_size(const uint64_t* q, const unsigned char* records, size_t rows,
                                size_t stride) {
  return by_size<Op::NearestRecords>(rows * stride).nearest_records(q, records, rows, stride);
}
size_t argmin_u32_by_size(const unsigned char* records, size_t rows, size_t stride) {
  return by_size<Op::ArgminU32>(rows * stride).argmin_u32(records, rows, stride);
}
void similarities_by_size(const uint64_t* q, const uint64_t* codes, size_t rows, size_t words,
                          float code_bits, float* out) {
  by_size<Op::Similarities>(8 * rows * words).similarities(q, codes, rows, words, code_bits, out);
}

KernelTable compose() {
  const size_t widest_position = kMaxIsa != nullptr ? kMaxPosition : kVariantCount - 1;
  const Isa base = widest(cpu_features(), widest_position);
  for (Op op : kAllOps) {
    const size_t i = static_cast<size_t>(op);
    plan.up_to[i] = kEverySize;
    if (kMaxIsa != nullptr) {
      plan.in_cache[i] = plan.beyond[i] = table_for(base);
      continue;
    }
    plan.in_cache[i] = table_for(choose(op, 0, cpu_features(), cpu_model()));
    if (const Preference* p = preference(op, cpu_model()); p != nullptr && p->up_to != kEverySize) {
      plan.up_to[i] = p->up_to;
      plan.beyond[i] = table_for(choose(op, p->up_to + 1, cpu_features(), cpu_model()));
    } else {
      plan.beyond[i] = plan.in_cache[i];
    }
  }
  const auto pick = [](Op op, auto member, auto by_size_entry) {
    const size_t i = static_cast<size_t>(op);
    return plan.in_cache[i] == plan.beyond[i] ? plan.in_cache[i]->hamming.*member
                                                    : by_size_entry;
  };
  KernelTable t{base, isa_name(base), {}, plan.in_cache[static_cast<size_t>(Op::Encode)]->encode};
  t.hamming.xor_popcount =
      pick(Op::XorPopcount, &HammingKernels::xor_popcount, &xor_popcount_by_size);
  t.hamming.distances = pick(Op::Distances, &HammingKernels::distances, &distances_by_size);
  t.hamming.nearest = pick(Op::Nearest, &HammingKernels::nearest, &nearest_by_size);
  t.hamming.nearest_records =
      pick(Op::NearestRecords, &HammingKernels::nearest_records, &nearest_records_by_size);
  t.hamming.argmin_u32 = pick(Op::ArgminU32, &HammingKernels::argmin_u32, &argmin_u32_by_size);
  t.hamming.similarities =
      pick(Op::Similarities, &HammingKernels::similarities, &similarities_by_size);
  return t;
}

}  // namespace

Isa choose(Op op, size_t bytes, CpuFeatures features, CpuModel model) {
  const Isa fallback = widest(features, kVariantCount - 1);
  const Preference* p = preference(op, model);
  if (p == nullptr) return fallback;
  const Isa pick = bytes <= p->up_to ? p->in_cache : p->beyond;
  return runs_on(pick, features) ? pick : fallback;
}

const KernelTable& active() {
  static const KernelTable table = compose();
  return table;
}

Isa chosen(Op op, size_t bytes) {
  active();
  return planned(static_cast<size_t>(op), bytes).isa;
}

}  // namespace tw::kernels
