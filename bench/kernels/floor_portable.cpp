// Reference kernels on 64-bit words and single floats, for architectures without a vector file.
#include <cstring>

#include "floor.h"
#include "platform/compiler.h"

namespace tw::bench {
namespace {

struct V {
  using T = uint64_t;
  static constexpr size_t kBytes = 8;
  static T zero() { return 0; }
  static T load(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  static T bor(T a, T b) { return a | b; }
  static uint64_t fold(T a) { return a; }
};

struct F {
  using T = float;
  static constexpr size_t kLanes = 1;
  static T set1(float v) { return v; }
  static T load(const float* p) { return *p; }
  static T mul(T a, T b) { return a * b; }
  static T add(T a, T b) { return a + b; }
  static float first(T a) { return a; }
};

#include "floor-inl.h"

}  // namespace

FloorKernels floor_portable() { return make("portable", 3, 1); }

}  // namespace tw::bench
