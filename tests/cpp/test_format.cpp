// Threshold text: the shortest decimal that reads back as the same binary32, never an exponent.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "core.h"

namespace tw {
namespace {

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
// The library's shortest round-trip digits, rewritten without an exponent.
std::string positional_from_to_chars(float v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  const std::string s(buf, r.ptr);
  const size_t e = s.find('e');
  std::string digits;
  for (size_t i = 0; i < e; ++i) {
    if (s[i] != '.') digits += s[i];
  }
  const int exp10 = std::stoi(s.substr(e + 1));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const std::string sign = std::signbit(v) ? "-" : "";
  if (exp10 < 0) return sign + "0." + std::string(-exp10 - 1, '0') + digits;
  const size_t whole = static_cast<size_t>(exp10) + 1;
  if (digits.size() <= whole) return sign + digits + std::string(whole - digits.size(), '0');
  return sign + digits.substr(0, whole) + "." + digits.substr(whole);
}

float from_bits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

TEST(FormatF32, AgreesWithTheLibrarysShortestDigits) {
  // A spread over every exponent of both signs, and every power of two, where the rounding
  // interval is lopsided.
  for (uint64_t bits = 1; bits < 0x7F800000u; bits += 65521) {
    for (uint32_t sign : {0u, 0x80000000u}) {
      const float v = from_bits(static_cast<uint32_t>(bits) | sign);
      ASSERT_EQ(format_f32(v), positional_from_to_chars(v)) << bits;
    }
  }
  for (int e = -149; e < 128; ++e) {
    const float v = std::ldexp(1.0f, e);
    ASSERT_EQ(format_f32(v), positional_from_to_chars(v)) << e;
  }
}
#endif

TEST(FormatF32, Examples) {
  EXPECT_EQ(format_f32(1e20f), "100000000000000000000");
  EXPECT_EQ(format_f32(123456789.0f), "123456790");
  EXPECT_EQ(format_f32(3e38f), "300000000000000000000000000000000000000");
  EXPECT_EQ(format_f32(-0.1f), "-0.1");
  EXPECT_EQ(format_f32(2.0f), "2");
  EXPECT_EQ(format_f32(1.0000001f), "1.0000001");
  EXPECT_EQ(format_f32(1e-45f), "0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(format_f32(-INFINITY), "-inf");
  EXPECT_EQ(format_f32(NAN), "NaN");
}

}  // namespace
}  // namespace tw
