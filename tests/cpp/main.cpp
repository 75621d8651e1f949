// The C++ tests' entry point: says which kernel variants run here and which are skipped, then
// runs the tests. `--variants-json` prints, per variant, the CPU features the dispatcher
// requires (for the object-code check in scripts/check_objects.py) and exits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "variants.h"

namespace {

int print_variants_json() {
  using namespace tw;
  using namespace tw::kernels;
  std::printf("{");
  bool first_variant = true;
  for (Isa isa : kAllIsas) {
    std::printf("%s\"%s\": {\"runnable\": %s, \"requires\": [", first_variant ? "" : ", ",
                isa_name(isa), table_for(isa) != nullptr ? "true" : "false");
    first_variant = false;
    bool first = true;
    for (int f = 0; f < static_cast<int>(CpuFeature::Count); ++f) {
      if (!required_features(isa).has(static_cast<CpuFeature>(f))) continue;
      std::printf("%s\"%s\"", first ? "" : ", ", feature_name(static_cast<CpuFeature>(f)));
      first = false;
    }
    std::printf("]}");
  }
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--variants-json") == 0) return print_variants_json();
  std::printf("%s\n", tw::kernels::variant_report().c_str());
  std::fflush(stdout);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
