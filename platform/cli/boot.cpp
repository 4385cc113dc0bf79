// pei-platform boot: the PEI dispatch of a module image, then a TPM session
// through the transport it published.
#include "commands.h"
#include "instruments.h"
#include "launch.h"
#include "loader.h"
#include "platform.h"
#include "scenario.h"
#include "signal_exit.h"
#include "state_directory.h"
#include "tpm_engine.h"
#include "tpm_session.h"
#include "trace_json.h"

#include <iostream>
#include <optional>
#include <vector>

namespace cli {

namespace {

void bootHelp(std::ostream &out) {
  out << "usage: " << kProgram << " boot <image.efi> [options]\n\n"
      << "Loads the module image, maps it at its link base in flash and "
         "runs the PEI\ndispatch in an emulated IA-32 platform: the entry "
         "from flash (which asks to be\nshadowed), permanent memory, the "
         "shadow copy with its relocations applied and\nthe flash copy "
         "retired, the shadow's entry, then the trigger PPI (the module\n"
         "reads \"Setup\", probes the co-processor and publishes "
         "TpmTransportPpi) and the\ndevice-selected PPI (the module writes "
         "its instance identifier into token 11).\nWhen the transport is "
         "published, a TPM session runs through it with tpm2-tss:\n"
         "TPM2_Startup(CLEAR), GetRandom, PCR_Extend and PCR_Read, "
         "GetCapability of the\nfixed properties, CreatePrimary.\n\n"
      << "The default scenario publishes the transport and every command "
         "succeeds.\n\n"
      << "options:\n"
      << "  --trace\n      Print the record of every port, MSR, PCI "
         "configuration and control-area\n      access and every service "
         "call, in order, after the boot log.\n"
      << "  --trace-json FILE\n      Write the same record to FILE in the "
         "Chrome trace event format (open it\n      in ui.perfetto.dev or "
         "chrome://tracing): guest calls, service calls and\n      TPM "
         "commands as slices with their status, hardware accesses as "
         "instants.\n"
      << debug::debugOptionsHelp() << "  --help\n      This text.\n"
      << "scenario options (applied in the order given):\n"
      << platform::scenarioOptionsHelp("a temporary directory removed at "
                                       "exit")
      << "\n"
      << "The image is a regular file of at most 16 MiB: a PE32 or TE image, "
         "or an FFS\nfile that holds one (see pei-ffs --help for what the "
         "reader takes). With\n--state-dir the TPM's state is saved there at "
         "the end, and the log says so only\nwhen it was. No output may be "
         "one of the run's inputs or another output, and an\nexisting "
         "--coverage file must be an lcov tracefile.\n\n"
      << "exit status: 0 when every stage did what the scenario should (the "
         "transport\npublished or declined as \"Setup\" says, token 11 "
         "written, the TPM session\nsucceeding, or failing with the status a "
         "refusing co-processor calls for)\nand the TPM state was saved; "
         "1 when something did not, the module stopped the\nmachine (runaway "
         "loop, bad access, unexpected instruction or service call),\nthe "
         "--gdb port or the state directory is in use by another process, or "
         "the\nstate or the coverage could not be saved; 2 for a bad command "
         "line or a bad\ninput file, refused before the run (an unknown "
         "option or value, an option that\nhas no effect in the combination "
         "given, a missing, malformed or oversized\nimage, an image that is "
         "not a regular file, an output that cannot be written or\nis one of "
         "the inputs, a --state-dir that is not a directory), each with a\n"
         "one-line error naming the file or option and the reason; 128 + the "
         "signal\n(130, 143) after SIGINT or SIGTERM, which end the run at "
         "once and remove the\ntemporary state directory.\n";
}

// boot's own options.
struct BootOptions {
  bool trace = false;
  std::optional<std::string> traceJson;
};

constexpr const char *kOwnOptions[] = {"--trace", "--trace-json", "--help"};

Own bootOption(std::span<const std::string> args, std::size_t &i,
               BootOptions &options) {
  const std::string &arg = args[i];
  if (arg == "--help" || arg == "-h") {
    return Own::Stop;
  }
  if (arg == "--trace") {
    options.trace = true;
    ++i;
    return Own::Took;
  }
  if (arg != "--trace-json") {
    return Own::No;
  }
  if (i + 1 >= args.size()) {
    throw common::missingValue(arg, "a file name");
  }
  if (args[i + 1].empty()) {
    throw common::badValue(arg, "a file name", "\"\"");
  }
  options.traceJson = args[i + 1];
  i += 2;
  return Own::Took;
}

// The PEI dispatch and, when it went through, the TPM session, with their
// log. False when the session did not go as the scenario should.
bool bootAndDrive(platform::Platform &platform, debug::Instruments &instruments,
                  platform::BootReport &report) {
  try {
    report = platform.boot();
  } catch (const pei::LoadError &) {
    instruments.finish(kExitUsage);
    throw;
  }
  for (const std::string &line : report.log) {
    std::cout << line << "\n";
  }
  if (!report.fault.empty()) {
    return true;
  }
  const platform::SessionOutcome session = platform::runTpmSession(platform);
  for (const std::string &line : session.log) {
    std::cout << line << "\n";
  }
  return !session.ran || session.ok;
}

void printTrace(const bus::Trace &trace) {
  std::cout << "access trace (" << trace.events().size() << " events):\n";
  for (const std::string &line : trace.lines()) {
    std::cout << "  " << line << "\n";
  }
}

// The last lines and the exit status; tells GDB how the run ended and
// writes the coverage.
int verdict(const platform::BootReport &report, bool sessionOk,
            const tpm::TpmEngine::SaveOutcome &saved,
            debug::Instruments &instruments) {
  const auto finish = [&](int status) {
    return instruments.finish(status) ? status : kExitFailed;
  };
  if (report.ok && sessionOk && saved.ok) {
    std::cout << "boot: OK, every stage did what the scenario should\n";
    return finish(kExitOk);
  }
  std::cout << "boot: FAILED\n";
  for (const std::string &problem : report.problems) {
    std::cout << "  " << problem << "\n";
  }
  if (!sessionOk) {
    std::cout << "  the TPM session did not go as the scenario should (see "
                 "above)\n";
  }
  if (!saved.ok) {
    std::cout << "  " << saved.text << "\n";
  }
  return finish(kExitFailed);
}

} // namespace

std::vector<std::string> bootOptionNames() {
  std::vector<std::string> names(std::begin(kOwnOptions),
                                 std::end(kOwnOptions));
  for (auto more :
       {debug::debugOptionNames(), platform::scenarioOptionNames()}) {
    names.insert(names.end(), more.begin(), more.end());
  }
  return names;
}

int runBoot(std::span<const std::string> args) {
  Launch launch(std::string(kProgram) + " boot");
  BootOptions options;
  if (!readArguments(args, launch, [&](auto all, std::size_t &i) {
        return bootOption(all, i, options);
      })) {
    bootHelp(std::cout);
    return kExitOk;
  }
  pei::PeImage image = loadImage(launch);
  std::vector<common::RunFile> outputs;
  if (options.traceJson) {
    outputs.push_back({"--trace-json", *options.traceJson});
  }
  checkFiles(launch, outputs);
  debug::Instruments instruments = openInstruments(launch, image);
  const platform::StateDirectory state(launch.scenario.tpmStateDir);
  const ExitOnSignals signals(
      launch.command,
      {state.temporary() ? state.path() : std::filesystem::path(),
       instruments.scratch()});
  tpm::TpmEngine engine(state.path());
  std::optional<platform::Platform> platform;
  buildScenario([&] {
    platform.emplace(launch.scenario, std::move(image), engine,
                     launch.suiteCoverage);
  });
  std::optional<platform::TraceJson> json;
  if (options.traceJson) {
    openTraceJson([&] { json.emplace(*options.traceJson); });
  }

  std::cout << launch.command << " " << *launch.imagePath << " (TPM state in "
            << state.path().string() << (state.temporary() ? ", temporary" : "")
            << ")" << std::endl;
  instruments.attach(platform->machine());
  platform::BootReport report;
  const bool sessionOk = bootAndDrive(*platform, instruments, report);
  if (options.trace) {
    printTrace(platform->trace());
  }
  if (json) {
    json->append(platform->trace());
    json.reset();
  }
  // The orderly shutdown saves the TPM's state; a directory the user keeps
  // must hold it afterwards, or the run failed.
  platform.reset();
  const tpm::TpmEngine::SaveOutcome saved =
      engine.describeShutdown(engine.powerOffOrderly());
  if (!state.temporary()) {
    std::cout << "TPM state in " << state.path().string() << ": " << saved.text
              << "\n";
  }
  return verdict(report, sessionOk, saved, instruments);
}

} // namespace cli
