// Options of `pei-platform serve` that belong to the endpoint itself; the
// scenario options are those of `boot` and are parsed by the platform.
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "server.h"
#include "usage.h"

namespace serve {

using common::UsageError;

inline constexpr std::size_t kDefaultTraceJsonCommands = 1000;
inline constexpr std::size_t kMaxTraceJsonCommands = 1'000'000;

struct ServeOptions {
  ServerOptions server;
  // The firmware sends TPM2_Startup(CLEAR) after each boot.
  bool issueStartup = true;
  bool trace = false;
  // Where to write the record of the boots and commands in the Chrome trace
  // event format (empty: nowhere), and of how many commands at most.
  std::string traceJson;
  std::size_t traceJsonCommands = kDefaultTraceJsonCommands;
  bool help = false;
  // Everything not recognised here, in order, for the scenario parser.
  std::vector<std::string> scenarioArgs;
};

inline constexpr std::uint16_t kDefaultPort = 2321;

// Throws UsageError with a sentence saying what was expected and found.
ServeOptions parseServeOptions(std::span<const std::string> args);

// The options above, for --help.
const char *serveOptionsHelp();

// The names of the options parseServeOptions takes ("--port", ...), for
// checking that the help text names each of them and no other.
std::vector<std::string> serveOptionNames();

} // namespace serve
