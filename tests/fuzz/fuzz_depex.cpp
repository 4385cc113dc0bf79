// Dependency expressions on arbitrary bytes: refused with FormatError, or
// parsed into code that evaluates and describes without error.
#include "volume.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  volume::Depex depex;
  try {
    depex = volume::parseDepex({data, size});
  } catch (const volume::FormatError &) {
    return 0;
  }
  if (depex.code.empty() || depex.code.back().op != volume::DepexOp::End) {
    std::abort();
  }
  // Parsed code never fails to evaluate: an exception here ends the run.
  volume::evaluate(depex, [](const volume::Guid &) { return true; });
  volume::evaluate(
      depex, [](const volume::Guid &guid) { return (guid.bytes[0] & 1) != 0; });
  if (volume::describe(depex).empty()) {
    std::abort();
  }
  return 0;
}
