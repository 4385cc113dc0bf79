// pei-ffs's command line: what it asks for, read from one table of options,
// and the help text that documents them.
#pragma once

#include "peim.h"

#include <string>
#include <string_view>
#include <vector>

namespace ffs_format {

// What the command line asks for; `help` when it asks for --help, which
// ends the reading of it.
struct CommandLine {
  PeimOptions options;
  std::string input, output, volumePath;
  bool help = false;
};

// Throws common::UsageError ("OPTION: expected ..., found ...") for an
// unknown option, a bad or missing value, a second image, or no image or
// -o FILE.
CommandLine parseCommandLine(const std::vector<std::string> &args);

// The names the parser takes ("--output", ...; the short forms apart).
std::vector<std::string> commandLineOptionNames();

extern const std::string_view kUsage;

} // namespace ffs_format
