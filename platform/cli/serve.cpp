// pei-platform serve: the TPM simulator endpoint on the real firmware path.
#include "commands.h"
#include "firmware_backend.h"
#include "launch.h"
#include "loader.h"
#include "scenario.h"
#include "serve_options.h"
#include "server.h"
#include "state_directory.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <vector>

namespace cli {

namespace {

constexpr const char *kCommand = "pei-platform serve";

// Where the TPM keeps its state when --state-dir is not given: beside the
// user, so that it survives restarts of the server.
constexpr const char *kDefaultStateDir = "tpm-state";

void help(std::ostream &out) {
  out << "usage: " << kCommand << " <image.efi> [options]\n\n"
      << "A TPM 2.0 simulator endpoint on 127.0.0.1 for tpm2-tools, tpm2-tss "
         "and resource\nmanagers, in which every TPM command goes through the "
         "module's TpmTransportPpi,\nrunning in the emulated platform, to the "
         "TPM (libtpms).\n\n"
      << "Power on boots the platform as a real one boots: a fresh PEI "
         "dispatch of the\nimage (flash, shadow, trigger, \"Setup\", probe, "
         "publication) with _TPM_Init of\nthe TPM, after which the firmware "
         "sends TPM2_Startup(CLEAR) through the\ntransport. The server powers "
         "on at start; clients may power off, reset\n(mssim signal 17, swtpm "
         "init) and power on again. The TPM's state lives in the\nstate "
         "directory (default ./"
      << kDefaultStateDir
      << ") and survives restarts. SIGINT or\nSIGTERM stop the server after "
         "an orderly TPM2_Shutdown(STATE) through the\ntransport.\n\n"
      << "Point tpm2-tools at it with\n"
      << "  TPM2TOOLS_TCTI=mssim:host=127.0.0.1,port=2321    (--protocol "
         "mssim, default)\n"
      << "  TPM2TOOLS_TCTI=swtpm:host=127.0.0.1,port=2321    (--protocol "
         "swtpm)\n\n"
      << serve::serveOptionsHelp() << debug::debugOptionsHelp()
      << "  --help           this text\n\n"
      << "scenario options, as for boot (applied in the order given):\n"
      << platform::scenarioOptionsHelp(std::string("./") + kDefaultStateDir)
      << "\n"
      << "The TPM runs one command at a time and its clients are served in "
         "turn: a client\nthat keeps its command connection open keeps the "
         "next one waiting, as a TPM\ndevice opened by one process does, "
         "until it sends no command for the idle\ntimeout (--idle-timeout, "
         "10 s) while another client waits; alone, it keeps\nthe TPM however "
         "long it is quiet. A client that sends a malformed or "
         "oversized\nframe, or "
         "stalls in the middle of one for 10 s, is disconnected with a "
         "logged\nreason. Connections beyond 64 are refused at once and "
         "logged, unless a\nplatform or control connection has been quiet "
         "for the idle timeout: the\nquietest of those gives its place "
         "up.\n\n"
      << "A scenario in which the module does not publish the transport "
         "still serves:\nevery command is answered with TPM_RC_FAILURE and "
         "the log says why.\n\n"
      << "The state directory has one owner at a time (serve or boot). At the "
         "stop the\nTPM's state is saved (a temporary file, flushed, renamed "
         "over the old one); the\nlog says \"TPM state saved\" only when it "
         "was, and otherwise why not. While a PCR\nallocation change is "
         "pending the TPM refuses TPM2_Shutdown(STATE) (TPM_RC_TYPE):\nthe "
         "server then shuts it down with TPM2_Shutdown(CLEAR), and its NV "
         "state on\ndisk is current. A start that fails leaves the state "
         "directory as it found it.\n\n"
      << "exit status: 0 after SIGINT or SIGTERM with the state saved (or "
         "nothing to save,\nor the TPM shut down with TPM2_Shutdown(CLEAR) as "
         "above); 1 when the endpoint\ncannot start (a port in use, --gdb's "
         "included, a state directory in use, a TPM\nstate the TPM refuses, "
         "a TPM in failure mode after TPM2_Startup) or the state or\nthe "
         "coverage could not be saved at the stop; 2 for a bad command line or "
         "a bad\ninput file, refused before the server starts (an unknown "
         "option or value, an\noption that has no effect in the combination "
         "given, a missing, malformed or\noversized image, an image that is "
         "not a regular file, an output that cannot be\nwritten or is one of "
         "the inputs, a --state-dir that is not a directory), each\nwith a "
         "one-line error naming the file or option and the reason.\n";
}

// The server on the backend, powered on: the TPM ports listen and the
// platform has booted. Returns the exit status when it cannot serve.
std::optional<int> startServing(serve::FirmwareBackend &backend,
                                serve::Server &server,
                                const serve::ServeOptions &options,
                                debug::Instruments &instruments) {
  backend.setLog(&std::cout, options.server.verbose, options.trace);
  if (!options.traceJson.empty()) {
    // Checked writable up front; this open fails only if that changed.
    openTraceJson([&] {
      backend.recordJson(options.traceJson, options.traceJsonCommands);
    });
  }
  backend.setInstruments(&instruments);
  server.stopOnSignals();
  backend.powerOn();
  if (!backend.tpmPowered()) {
    // A TPM that refuses its state now refuses it on every boot: serving
    // nothing but TPM_RC_FAILURE would hide that from the user.
    return failed(kCommand, backend.unavailable());
  }
  if (const std::string unusable = backend.tpmUnusable(); !unusable.empty()) {
    // A TPM in failure mode answers hardly anything but TPM_RC_FAILURE
    // (clients then miss the properties they read first): a server on it
    // would only look alive. Its state could not be written, say, on a
    // full disk; no later boot of this server would do better.
    return failed(kCommand,
                  "the TPM is unusable, so the server does not start: " +
                      unusable);
  }
  return std::nullopt;
}

} // namespace

std::vector<std::string> serveOptionNames() {
  std::vector<std::string> names = serve::serveOptionNames();
  for (auto more :
       {debug::debugOptionNames(), platform::scenarioOptionNames()}) {
    names.insert(names.end(), more.begin(), more.end());
  }
  return names;
}

int runServe(std::span<const std::string> args) {
  const serve::ServeOptions options = serve::parseServeOptions(args);
  Launch launch(kCommand);
  readArguments(options.scenarioArgs, launch);
  if (options.help) {
    help(std::cout);
    return kExitOk;
  }
  pei::PeImage image = loadImage(launch);
  std::vector<common::RunFile> outputs;
  if (!options.traceJson.empty()) {
    outputs.push_back({"--trace-json", options.traceJson});
  }
  checkFiles(launch, outputs);
  platform::Scenario &scenario = launch.scenario;
  if (scenario.tpmStateDir.empty()) {
    scenario.tpmStateDir = kDefaultStateDir;
  }
  debug::Instruments instruments = openInstruments(launch, image);
  platform::StateDirectory state(scenario.tpmStateDir);
  // A start that fails leaves the state directory as it found it (or none),
  // without the lock file; only a server that serves keeps what it made.
  state.undoOnClose(true);
  std::optional<serve::FirmwareBackend> backend;
  buildScenario([&] {
    backend.emplace(scenario, std::move(image), options.issueStartup,
                    launch.suiteCoverage);
    backend->checkScenario();
  });
  serve::Server server(*backend, options.server, std::cout);

  std::cout << kCommand << " " << *launch.imagePath << " (TPM state in "
            << scenario.tpmStateDir.string() << ")" << std::endl;
  if (const auto status =
          startServing(*backend, server, options, instruments)) {
    return *status;
  }
  state.undoOnClose(false);
  const bool served = server.run();
  backend->powerOff(); // the last boot's coverage is in, GDB told the end
  return instruments.finish(served ? kExitOk : kExitFailed) && served
             ? kExitOk
             : kExitFailed;
}

} // namespace cli
