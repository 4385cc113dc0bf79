// The debugging options that boot and serve share: --gdb PORT, --coverage
// FILE and --symbols FILE, and the agents they put on each platform.
#pragma once

#include "coverage.h"
#include "gdb_stub.h"
#include "pe_image.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace debug {

// A bad debugging option or a companion that does not fit the image: the
// command's usage error.
class DebugOptionError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct DebugOptions {
  std::optional<std::uint16_t> gdbPort;
  std::optional<std::filesystem::path> coverage;
  std::optional<std::filesystem::path> symbols;
};

// Takes the option at args[i] (and its value) when it is one of these and
// advances i; throws DebugOptionError for a missing or bad value.
bool parseDebugOption(std::span<const std::string> args, std::size_t &i,
                      DebugOptions &options);
std::string debugOptionsHelp();
// The names parseDebugOption takes ("--gdb", ...).
std::vector<std::string> debugOptionNames();

// Refuses, before any work, what the options cannot do together or cannot
// write: --symbols without --gdb or --coverage (it would change nothing),
// a --coverage file that cannot be written or that exists and is not an
// lcov tracefile. Throws DebugOptionError (common::UsageError for a file).
void checkDebugOptions(const DebugOptions &options);

// The debug companion the options name, or the one beside the image.
std::filesystem::path companionPath(const DebugOptions &options,
                                    const std::filesystem::path &imagePath);

class Instruments {
public:
  // Opens the GDB port and checks the companion. Throws DebugOptionError,
  // or common::net::SocketError ("--gdb: port ... in use") when the port
  // cannot be had.
  Instruments(const DebugOptions &options,
              const std::filesystem::path &imagePath, const pei::PeImage &image,
              std::ostream &log);
  // The directory GDB's symbol files are written to (empty without --gdb),
  // removed when these instruments go.
  std::filesystem::path scratch() const;
  // Watches this machine (call before it runs any guest code).
  void attach(machine::Machine &machine);
  void detach(machine::Machine &machine);
  // The run ended with this exit status: GDB is told, coverage saved.
  // Returns false (after saying why on `log`) when coverage could not be.
  bool finish(int status);

private:
  std::ostream &log_;
  std::unique_ptr<GdbStub> gdb_;
  std::unique_ptr<CoverageRecorder> coverage_;
};

} // namespace debug
