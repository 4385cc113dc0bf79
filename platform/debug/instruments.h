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

class Instruments {
public:
  // Opens the GDB port and checks the companion. Throws DebugOptionError,
  // or common::net::SocketError when the port cannot be had.
  Instruments(const DebugOptions &options,
              const std::filesystem::path &imagePath, const pei::PeImage &image,
              std::ostream &log);
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
