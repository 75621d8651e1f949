// Compiler specifics: attributes and pragmas, one branch per compiler family.
#pragma once

// GCC and clang spell every attribute; elsewhere only noinline is kept, which MSVC spells its own
// way, and the rest are hints that may go.
#if defined(__GNUC__) || defined(__clang__)
#define TW_NOINLINE [[gnu::noinline]]
#define TW_COLD [[gnu::cold, gnu::noinline]]
// Kept in the object file although nothing seems to refer to it.
#define TW_USED [[gnu::used]]
#define TW_PRAGMA(text) _Pragma(#text)
// Full unrolling of the register-blocked loops keeps their accumulators in registers.
#define TW_UNROLL(n) TW_PRAGMA(GCC unroll n)
// Makes `value` opaque to the optimiser, which then cannot merge the code around it into vector
// instructions.
#define TW_OPAQUE(value) __asm__("" : "+r"(value))
#else
#if defined(_MSC_VER)
#define TW_NOINLINE __declspec(noinline)
#else
#define TW_NOINLINE
#endif
#define TW_COLD TW_NOINLINE
#define TW_USED
#define TW_UNROLL(n)
#define TW_OPAQUE(value) ((void)0)
#endif

// GCC's AVX-512 intrinsics start from deliberately undefined vectors and then warn about them
// once inlined (GCC bug 105593): silenced in the files that use them, on GCC only.
#if defined(__GNUC__) && !defined(__clang__)
#define TW_QUIET_UNINITIALIZED         \
  TW_PRAGMA(GCC diagnostic ignored "-Wuninitialized") \
  TW_PRAGMA(GCC diagnostic ignored "-Wmaybe-uninitialized")
#else
#define TW_QUIET_UNINITIALIZED
#endif

// The architecture this translation unit is compiled for.
#if defined(__x86_64__) || defined(_M_X64)
#define TW_ARCH_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TW_ARCH_AARCH64 1
#endif
