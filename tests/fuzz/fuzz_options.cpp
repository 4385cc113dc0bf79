// The command-line parsers of serve and the scenario options on arbitrary
// argument lists (NUL-separated in the input): every list is taken or
// refused with a UsageError, never anything else.
#include "scenario.h"
#include "serve_options.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::string> splitArguments(const std::uint8_t *data,
                                        std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  return args;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  // No paths: --setup-file reads the file it names, and a device such as
  // a terminal would block.
  if (std::find(data, data + size, '/') != data + size) {
    return 0;
  }
  const std::vector<std::string> args = splitArguments(data, size);
  serve::ServeOptions options;
  try {
    options = serve::parseServeOptions(args);
  } catch (const serve::UsageError &) {
    return 0;
  }
  platform::Scenario scenario;
  const std::vector<std::string> &rest = options.scenarioArgs;
  try {
    for (std::size_t i = 0; i < rest.size();) {
      if (!platform::parseScenarioOption(rest, i, scenario)) {
        ++i;
      }
    }
  } catch (const platform::UsageError &) {
  }
  return 0;
}
