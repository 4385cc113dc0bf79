// pei-platform boot: the PEI dispatch of a module image, then a TPM session
// through the transport it published.
#include "commands.h"
#include "instruments.h"
#include "launch.h"
#include "loader.h"
#include "platform.h"
#include "scenario.h"
#include "state_directory.h"
#include "tpm_engine.h"
#include "tpm_session.h"
#include "trace_json.h"

#include <iostream>
#include <optional>

namespace cli {

namespace {

void bootHelp(std::ostream &out) {
  out << "usage: " << kProgram << " boot <image.efi> [options]\n\n"
      << "Loads the PE32 module image, maps it at its link base in flash and "
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
      << platform::scenarioOptionsHelp() << "\n"
      << "The image is a PE32 file of at most 16 MiB (see pei-ffs --help for "
         "what the\nreader takes). With --state-dir the TPM's state is saved "
         "there at the end, and\nthe log says so only when it was.\n\n"
      << "exit status: 0 when every stage did what the scenario should (the "
         "transport\npublished or declined as \"Setup\" says, token 11 "
         "written, the TPM session\nsucceeding, or failing with the status a "
         "refusing co-processor calls for)\nand the TPM state was saved; "
         "1 when something did not, the module stopped the\nmachine (runaway "
         "loop, bad access, unexpected instruction or service call),\nthe "
         "state directory is in use by another process or the state could "
         "not be\nsaved; 2 for a bad command line or a bad input file (an "
         "unknown option or\nvalue, a missing, malformed or oversized image, "
         "a directory given as the image,\na --state-dir that is not a "
         "directory), each with a one-line error naming the\nfile or option "
         "and the reason.\n";
}

// boot's own options.
struct BootOptions {
  bool trace = false;
  std::optional<std::string> traceJson;
};

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
  if (i + 1 >= args.size() || args[i + 1].empty()) {
    throw common::UsageError("--trace-json: expected a file name");
  }
  options.traceJson = args[i + 1];
  i += 2;
  return Own::Took;
}

// For boot, a companion that does not fit and a GDB port that cannot be had
// are both the user's to fix.
debug::Instruments bootInstruments(const Launch &launch,
                                   const pei::PeImage &image) {
  try {
    return openInstruments(launch, image);
  } catch (const std::exception &error) {
    throw common::UsageError(error.what());
  }
}

// The PEI dispatch and, when it went through, the TPM session, with their
// log. False when the session did not go as the scenario should.
bool bootAndDrive(platform::Platform &platform,
                  debug::Instruments &instruments,
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
  debug::Instruments instruments = bootInstruments(launch, image);
  const platform::StateDirectory state(launch.scenario.tpmStateDir);
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
            << state.path().string()
            << (state.temporary() ? ", temporary" : "") << ")" << std::endl;
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
