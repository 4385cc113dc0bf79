// The subcommands of pei-platform. Each takes the arguments after its name
// and returns the process exit status: 0 when everything went as it should,
// 1 when the platform ran but something did not, 2 for bad usage or input;
// what one throws, main turns into a status with cli::exitStatus (launch.h).
#pragma once

#include "usage.h"

#include <span>
#include <string>
#include <vector>

namespace cli {

using common::kExitFailed;
using common::kExitOk;
using common::kExitUsage;
inline constexpr const char *kProgram = "pei-platform";

int runBoot(std::span<const std::string> args);
// The TPM simulator endpoint (mssim, swtpm) on the real firmware path.
int runServe(std::span<const std::string> args);
// Every PEI module of flash images, volumes, FFS files and images, dispatched.
int runRun(std::span<const std::string> args);

// The options each subcommand's parser takes, for checking its --help.
std::vector<std::string> bootOptionNames();
std::vector<std::string> serveOptionNames();
std::vector<std::string> runOptionNames();

} // namespace cli
