// Message helpers shared by the native operations.
#include "core.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {
namespace {

// A decimal d.ddd × 10^exp10 with `digits` holding d, ddd (no sign, no point).
struct Decimal {
  std::string digits;
  int exp10 = 0;
};

Decimal rounded_to(float value, int precision) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*e", precision - 1, static_cast<double>(value));
  Decimal d;
  const char* e = std::strchr(buf, 'e');
  for (const char* p = buf; p != e; ++p) {
    if (*p >= '0' && *p <= '9') d.digits += *p;
  }
  d.exp10 = std::atoi(e + 1);
  return d;
}

// The decimal one unit of its last digit away (`up` or down), same number of digits where it can.
Decimal step(Decimal d, bool up) {
  std::string& s = d.digits;
  size_t i = s.size();
  if (up) {
    while (i > 0 && s[i - 1] == '9') s[--i] = '0';
    if (i == 0) {
      s.insert(s.begin(), '1');
      s.pop_back();
      ++d.exp10;
    } else {
      ++s[i - 1];
    }
  } else {
    while (i > 0 && s[i - 1] == '0') s[--i] = '9';
    --s[i - 1];  // the leading digit is never 0, so this stops in range
    if (s[0] == '0') {
      s.erase(s.begin());
      s.push_back('9');
      --d.exp10;
    }
  }
  return d;
}

// Written as an integer and an exponent: no decimal point, so the C locale cannot matter.
bool reads_back_as(const Decimal& d, float value) {
  const std::string text =
      d.digits + "e" + std::to_string(d.exp10 - static_cast<int>(d.digits.size()) + 1);
  return std::strtof(text.c_str(), nullptr) == value;
}

// The fewest significant digits that read back as `value` (finite, positive); among decimals
// of that length the correctly rounded one, else its neighbour that reads back. Nine digits
// always do.
Decimal shortest(float value) {
  for (int precision = 1; precision < 9; ++precision) {
    const Decimal nearest = rounded_to(value, precision);
    if (reads_back_as(nearest, value)) return nearest;
    // Next to a power of two the rounding interval is lopsided: the nearest decimal may fall
    // outside on the narrow side while its neighbour on the wide side is inside.
    for (bool up : {true, false}) {
      const Decimal next = step(nearest, up);
      if (reads_back_as(next, value)) return next;
    }
  }
  return rounded_to(value, 9);
}

}  // namespace

std::string format_f32(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  std::string out = std::signbit(value) ? "-" : "";
  if (value == 0.0f) return out + "0";
  Decimal d = shortest(std::fabs(value));
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  // Positional, never an exponent, no fractional part for whole numbers.
  const std::string& s = d.digits;
  if (d.exp10 < 0) return out + "0." + std::string(static_cast<size_t>(-d.exp10 - 1), '0') + s;
  const size_t whole = static_cast<size_t>(d.exp10) + 1;
  if (s.size() <= whole) return out + s + std::string(whole - s.size(), '0');
  return out + s.substr(0, whole) + "." + s.substr(whole);
}

float checked_threshold(double threshold) {
  const float t = static_cast<float>(threshold);
  if (!(t >= 0.0f && t <= 1.0f)) {
    reject(ErrorKind::ValueError, "threshold must be in [0.0, 1.0], got " + format_f32(t));
  }
  return t;
}

}  // namespace tw
