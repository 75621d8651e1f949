// Message helpers shared by the native operations.
#include "core.h"

#include <charconv>
#include <cmath>

namespace tw {

std::string format_f32(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  // Fixed notation in shortest round-trip mode: never an exponent, no ".0" on whole numbers.
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (ec != std::errc{}) TW_FAULT("could not format a binary32 value");
  return std::string(buf, end);
}

float checked_threshold(double threshold) {
  const float t = static_cast<float>(threshold);
  if (!(t >= 0.0f && t <= 1.0f)) {
    reject(ErrorKind::ValueError, "threshold must be in [0.0, 1.0], got " + format_f32(t));
  }
  return t;
}

}  // namespace tw
