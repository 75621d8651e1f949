// What the native fuzz targets share: structured values drawn from the fuzzer's bytes, a
// generator they seed for bulk data (so a few bytes can describe thousands of rows), and the
// report of a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw::fuzz {

// Reads little-endian values from the front of the input; an exhausted input reads as zeros,
// so every input, however short, is a valid case.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32; }
  // A value in [0, n), n > 0.
  size_t below(size_t n) { return static_cast<size_t>(u32() % n); }
  bool empty() const { return pos_ >= size_; }
  size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// splitmix64: fast, and every seed gives a full-period stream.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }

 private:
  uint64_t state_;
};

// A finding: says what differed and stops, which libFuzzer records as a crash with its input.
[[noreturn]] inline void report(const char* what) {
  std::fprintf(stderr, "\n== finding: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tw::fuzz

// Checks `cond`; on failure prints the printf-style context and stops.
#define TW_FUZZ_CHECK(cond, ...)                                          \
  do {                                                                    \
    if (!(cond)) {                                                        \
      std::fprintf(stderr, "\n== check failed: %s\n   ", #cond);          \
      std::fprintf(stderr, __VA_ARGS__);                                  \
      ::tw::fuzz::report("results differ (details above)");               \
    }                                                                     \
  } while (0)
