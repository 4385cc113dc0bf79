// What boot and serve do alike before they run: the options both take (the
// scenario and debugging options and one image), loading the image, the
// debugging instruments (symbols, coverage, GDB), and the one mapping from
// what a subcommand throws to its exit status and message.
#pragma once

#include "commands.h"
#include "files.h"
#include "instruments.h"
#include "pe_image.h"
#include "platform.h"
#include "scenario.h"

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// The suite's coverage as every program built on the platform takes it:
// the tracefile PEI_PLATFORM_COVERAGE names, if it names one.
std::optional<platform::SuiteCoverage> suiteCoverageFromEnvironment();

// The start of a run of boot or serve.
struct Launch {
  explicit Launch(std::string command) : command(std::move(command)) {}

  std::string command; // "pei-platform boot", what messages start with
  platform::Scenario scenario;
  std::optional<std::string> imagePath;
  debug::DebugOptions debug;
  // The suite's coverage, besides any --coverage: every platform boot
  // and serve build adds to it.
  std::optional<platform::SuiteCoverage> suiteCoverage =
      suiteCoverageFromEnvironment();
};

// What a subcommand's own options make of args[i].
enum class Own {
  No,   // not one of them
  Took, // one, taken with its value (i advanced past them)
  Stop, // one after which nothing else is read (--help)
};
using OwnOptions =
    std::function<Own(std::span<const std::string>, std::size_t &)>;

// Reads args into launch: each argument is offered to `own` first, then
// taken as a scenario or debugging option, or as the image. Returns false
// when `own` stopped the reading. Throws common::UsageError (or
// debug::DebugOptionError) for an unknown option, a bad value or a second
// image.
bool readArguments(std::span<const std::string> args, Launch &launch,
                   const OwnOptions &own = {});

// The image the launch names, checked against its scenario. Throws
// common::UsageError when none was named or it cannot be used.
pei::PeImage loadImage(const Launch &launch);

// Checks, before any work, the files the run reads and writes: the
// debugging options' own rules (debug::checkDebugOptions), every output
// writable, and no output one of the run's inputs (the image, its debug
// companion, the "Setup" file) or another output. `outputs` are the
// subcommand's own (--trace-json); --coverage is added here. Throws
// common::UsageError or debug::DebugOptionError.
void checkFiles(const Launch &launch, std::vector<common::RunFile> outputs);

// The instruments the debugging options ask for. Throws
// debug::DebugOptionError for a companion that does not fit the image,
// common::net::SocketError for a GDB port that cannot be had (a failure to
// start, not a bad command line).
debug::Instruments openInstruments(const Launch &launch,
                                   const pei::PeImage &image);

// Runs build (the construction of a platform): a scenario the platform
// cannot build is a usage error.
void buildScenario(const std::function<void()> &build);

// Runs `open` (of a --trace-json file): a file that cannot be written is a
// usage error.
void openTraceJson(const std::function<void()> &open);

// The subcommand's exit status: what it returns, or for what it throws, 2
// (a bad command line or input: common::UsageError, debug::DebugOptionError,
// pei::LoadError, a state directory that is not one) or 1 (anything else),
// after the line "<command>: <what>" on stderr.
int exitStatus(const std::string &command, const std::function<int()> &run);

// Says "<command>: <message>" on stderr and returns the status.
int failed(const std::string &command, const std::string &message,
           int status = kExitFailed);

} // namespace cli
