// The conformance programs' main: GoogleTest's options, and --coverage FILE,
// which adds the module lines every platform of the run executes to the lcov
// tracefile FILE (as PEI_PLATFORM_COVERAGE does, which it overrides).
#include "rig.h"
#include "suite_coverage.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::optional<platform::SuiteCoverage> coverage = test::suiteCoverage();
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) != "--coverage") {
      std::cerr << argv[0] << ": unknown option \"" << argv[i]
                << "\" (expected --coverage FILE or GoogleTest's own)\n";
      return 2;
    }
    if (i + 1 >= argc || *argv[i + 1] == '\0') {
      std::cerr << argv[0] << ": --coverage expects a file name\n";
      return 2;
    }
    coverage = platform::SuiteCoverage{argv[++i], "--coverage"};
  }
  conformance::setSuiteCoverage(std::move(coverage));
  return RUN_ALL_TESTS();
}
