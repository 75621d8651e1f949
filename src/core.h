// Python-free vocabulary shared by the native operations: rejections, faults, numbers in messages.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace tw {

// Which built-in exception a rejection becomes at the boundary.
enum class ErrorKind { TypeError, ValueError, IndexError, OverflowError, RuntimeError, MemoryError };

// A native operation rejecting its input; the call frame raises it as `kind(message)`.
struct NativeError {
  ErrorKind kind;
  std::string message;
};

[[noreturn]] inline void reject(ErrorKind kind, std::string message) {
  throw NativeError{kind, std::move(message)};
}

// A broken internal expectation; becomes PanicException at the boundary.
struct Fault {
  std::string message;
  const char* file;
  int line;
};

[[noreturn]] inline void fault_at(std::string message, const char* file, int line) {
  throw Fault{std::move(message), file, line};
}
#define TW_FAULT(msg) ::tw::fault_at((msg), __FILE__, __LINE__)

// Shortest decimal that reads back to the same binary32, positional, "NaN"/"inf"/"-inf".
std::string format_f32(float value);

// 1 - distance / code_bits, every step in binary32.
inline float normalized_similarity(uint64_t distance, uint64_t code_bits) noexcept {
  const float d = static_cast<float>(distance);
  const float c = static_cast<float>(code_bits);
  return 1.0f - d / c;
}

// Rounds a threshold to binary32 and rejects it outside [0, 1] (NaN included).
float checked_threshold(double threshold);

inline constexpr float kDefaultThreshold = 0.85f;

}  // namespace tw
