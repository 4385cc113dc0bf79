#include "launch.h"

#include "loader.h"
#include "machine.h"
#include "state_directory.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace cli {

std::optional<platform::SuiteCoverage> suiteCoverageFromEnvironment() {
  constexpr const char *kVariable = "PEI_PLATFORM_COVERAGE";
  const char *file = std::getenv(kVariable);
  if (file == nullptr || *file == '\0') {
    return std::nullopt;
  }
  return platform::SuiteCoverage{file, kVariable};
}

bool readArguments(std::span<const std::string> args, Launch &launch,
                   const OwnOptions &own) {
  for (std::size_t i = 0; i < args.size();) {
    const Own taken = own ? own(args, i) : Own::No;
    if (taken == Own::Stop) {
      return false;
    }
    if (taken == Own::Took ||
        platform::parseScenarioOption(args, i, launch.scenario) ||
        debug::parseDebugOption(args, i, launch.debug)) {
      continue;
    }
    const std::string &arg = args[i];
    if (arg.starts_with("-")) {
      throw common::UsageError("expected an option from --help, found " +
                               common::inQuotes(arg));
    }
    if (launch.imagePath) {
      throw common::UsageError("expected one image, found a second: " +
                               common::inQuotes(arg));
    }
    launch.imagePath = arg;
    ++i;
  }
  return true;
}

pei::PeImage loadImage(const Launch &launch) {
  if (!launch.imagePath) {
    throw common::UsageError("expected an image: " + launch.command +
                             " <image.efi> [options]");
  }
  return platform::loadScenarioImage(*launch.imagePath, launch.scenario);
}

void checkFiles(const Launch &launch, std::vector<common::RunFile> outputs) {
  const debug::DebugOptions &options = launch.debug;
  debug::checkDebugOptions(options);
  if (options.coverage) {
    outputs.push_back({"--coverage", *options.coverage});
  }
  for (const common::RunFile &output : outputs) {
    if (output.role != "--coverage") { // checked with its tracefile rule
      common::checkWritable(output.role, output.path);
    }
  }
  std::vector<common::RunFile> inputs;
  if (launch.imagePath) {
    inputs.push_back({"the image", *launch.imagePath});
    if (options.gdbPort || options.coverage) {
      inputs.push_back({"the debug companion",
                        debug::companionPath(options, *launch.imagePath)});
    }
  }
  if (!launch.scenario.setupFile.empty()) {
    inputs.push_back({"--setup-file", launch.scenario.setupFile});
  }
  common::checkDistinct(inputs, outputs);
}

debug::Instruments openInstruments(const Launch &launch,
                                   const pei::PeImage &image) {
  return debug::Instruments(launch.debug, *launch.imagePath, image, std::cout);
}

void buildScenario(const std::function<void()> &build) {
  try {
    build();
  } catch (const machine::MachineError &error) {
    throw common::UsageError(std::string("the scenario cannot be built: ") +
                             error.what());
  }
}

void openTraceJson(const std::function<void()> &open) {
  try {
    open();
  } catch (const std::runtime_error &error) {
    throw common::UsageError(std::string("--trace-json: ") + error.what());
  }
}

int exitStatus(const std::string &command, const std::function<int()> &run) {
  try {
    return run();
  } catch (const common::UsageError &error) {
    return failed(command, error.what(), kExitUsage);
  } catch (const debug::DebugOptionError &error) {
    return failed(command, error.what(), kExitUsage);
  } catch (const pei::LoadError &error) {
    return failed(command, error.what(), kExitUsage);
  } catch (const platform::StateDirectoryError &error) {
    return failed(command, error.what(),
                  error.misuse() ? kExitUsage : kExitFailed);
  } catch (const std::exception &error) {
    return failed(command, error.what());
  }
}

int failed(const std::string &command, const std::string &message, int status) {
  std::cerr << command << ": " << message << "\n";
  return status;
}

} // namespace cli
