// The overflow checks MSVC builds use, against GCC's and clang's builtins.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/bits.h"

// The builtins are GCC's and clang's, which is where these tests are built.
#if defined(__GNUC__) || defined(__clang__)
namespace tw {
namespace {

constexpr intptr_t kMin = std::numeric_limits<intptr_t>::min();
constexpr intptr_t kMax = std::numeric_limits<intptr_t>::max();
constexpr intptr_t k2e32 = intptr_t{1} << 32;
constexpr intptr_t kSigned[] = {
    kMin, kMin + 1, kMin / 2, -k2e32 - 1, -k2e32,    -3,       -2,           -1,       0,
    1,    2,        3,        k2e32 / 2,  k2e32 + 1, kMax / 2, kMax / 2 + 1, kMax - 1, kMax};

// Each overload of tw::portable, called with both operands from the table: the same answer and
// the same stored value (the result modulo 2^64) as the builtin.
TEST(PortableOverflow, AgreesWithTheBuiltins) {
  for (intptr_t a : kSigned) {
    for (intptr_t b : kSigned) {
      SCOPED_TRACE(testing::Message() << "a=" << a << " b=" << b);
      intptr_t want_s = 0, got_s = 0;
      EXPECT_EQ(portable::mul_overflow(a, b, &got_s), __builtin_mul_overflow(a, b, &want_s));
      EXPECT_EQ(got_s, want_s);
      EXPECT_EQ(portable::add_overflow(a, b, &got_s), __builtin_add_overflow(a, b, &want_s));
      EXPECT_EQ(got_s, want_s);
      const size_t ua = static_cast<size_t>(a), ub = static_cast<size_t>(b);
      size_t want_u = 0, got_u = 0;
      EXPECT_EQ(portable::mul_overflow(ua, ub, &got_u), __builtin_mul_overflow(ua, ub, &want_u));
      EXPECT_EQ(got_u, want_u);
      uintptr_t want_p = 0, got_p = 0;
      EXPECT_EQ(portable::add_overflow(uintptr_t(ua), uintptr_t(ub), &got_p),
                __builtin_add_overflow(uintptr_t(ua), uintptr_t(ub), &want_p));
      EXPECT_EQ(got_p, want_p);
      EXPECT_EQ(portable::add_overflow(uintptr_t(ua), b, &got_p),
                __builtin_add_overflow(uintptr_t(ua), b, &want_p));
      EXPECT_EQ(got_p, want_p);
    }
  }
}

}  // namespace
}  // namespace tw
#endif
