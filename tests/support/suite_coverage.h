// The whole suite's line coverage (README, "Seeing inside the module"):
// every platform a test program builds adds the module lines it ran to the
// tracefile PEI_PLATFORM_COVERAGE names, when it names one. The programs
// read it here, at their edge, and hand it to each platform they build.
#pragma once

#include "platform.h"

#include <cstdlib>
#include <optional>

namespace test {

inline std::optional<platform::SuiteCoverage> suiteCoverage() {
  constexpr const char *kVariable = "PEI_PLATFORM_COVERAGE";
  const char *file = std::getenv(kVariable);
  if (file == nullptr || *file == '\0') {
    return std::nullopt;
  }
  return platform::SuiteCoverage{file, kVariable};
}

} // namespace test
