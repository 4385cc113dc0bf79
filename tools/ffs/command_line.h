// pei-ffs's command line: what it asks for, read from one table of options,
// and the help text that documents them.
#pragma once

#include "peim.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ffs_format {

// What the command line asks for; `help` when it asks for --help, which
// ends the reading of it.
struct CommandLine {
  PeimOptions options;
  std::string input, output, volumePath;
  // --insert-into: the output is this flash image with the file inserted.
  std::string flashPath;
  std::optional<Guid> targetVolume; // --fv
  bool apriori = false;
  bool erasePolarityGiven = false;
  std::optional<std::uint64_t> flashBase;
  std::optional<std::uint32_t> volumeAddress; // --fv-address
  // --edk2-kit: a directory for the INF, the binaries and the FDF lines.
  std::string kitPath;
  bool help = false;
  bool inserting() const { return !flashPath.empty(); }
};

// Throws common::UsageError ("OPTION: expected ..., found ...") for an
// unknown option, a bad or missing value, a second image, no image, no
// output (-o FILE or --edk2-kit DIR), or options that do not go together
// (a rebase, --volume or --erase-polarity with --insert-into, which decides
// them; --fv, --apriori, --flash-base or --fv-address without it).
CommandLine parseCommandLine(const std::vector<std::string> &args);

// The names the parser takes ("--output", ...; the short forms apart).
std::vector<std::string> commandLineOptionNames();

extern const std::string_view kUsage;

} // namespace ffs_format
