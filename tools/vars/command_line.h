// pei-vars's command line: a command, the store, a variable's name and the
// options of that command, read from one table, and the help text that
// documents them.
#pragma once

#include "variable_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vars_format {

enum class Command { List, Read, Write, Delete };

// One --set-byte OFFSET=VALUE.
struct ByteEdit {
  std::uint32_t offset = 0;
  std::uint8_t value = 0;
};

// The largest store file, data file and --size taken.
inline constexpr std::uint32_t kMaxFileSize = 64u << 20;

// What the command line asks for; `help` when it asks for --help, which ends
// the reading of it.
struct CommandLine {
  Command command = Command::List;
  bool help = false;
  std::string store;
  std::string nameText; // as given
  std::u16string name;
  Guid vendor = Guid::parse(kSetupVendorGuid);
  std::string output; // read: -o FILE ("-": the raw bytes on stdout)
  // write: where the data start from (at most one of these; none: the
  // variable's current data), the edits made to them, the attributes.
  std::string dataFile;
  std::optional<std::vector<std::uint8_t>> hexData;
  std::optional<std::uint32_t> size;
  std::vector<ByteEdit> edits;
  std::optional<std::uint32_t> attributes;
};

// Throws common::UsageError ("OPTION: expected ..., found ...") for an
// unknown command or option, an option the command does not take, a bad or
// missing value, a name that is not a variable name, a missing or extra
// argument, or two sources of data.
CommandLine parseCommandLine(const std::vector<std::string> &args);

// The names the parser takes ("--guid", ...; the short forms apart).
std::vector<std::string> commandLineOptionNames();

extern const std::string_view kUsage;

} // namespace vars_format
