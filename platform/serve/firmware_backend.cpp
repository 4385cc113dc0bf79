#include "firmware_backend.h"

#include "efi.h"

#include <chrono>
#include <exception>
#include <iomanip>
#include <sstream>

#include "loader.h"
#include "tpm_header.h"
#include "tpm_names.h"
#include "transport_tcti.h"

namespace serve {

namespace {

using Clock = std::chrono::steady_clock;

std::string since(Clock::time_point started) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1)
       << std::chrono::duration<double, std::milli>(Clock::now() - started)
              .count()
       << " ms";
  return text.str();
}

std::string join(const std::vector<std::string> &parts) {
  std::string out;
  for (const std::string &part : parts) {
    out += (out.empty() ? "" : "; ") + part;
  }
  return out;
}

} // namespace

FirmwareBackend::FirmwareBackend(
    platform::Scenario scenario, pei::PeImage image, bool issueStartup,
    std::optional<platform::SuiteCoverage> coverage)
    : scenario_(std::move(scenario)), image_(std::move(image)),
      coverage_(std::move(coverage)), issueStartup_(issueStartup),
      engine_(scenario_.tpmStateDir) {}

FirmwareBackend::~FirmwareBackend() {
  try {
    powerOff();
  } catch (...) {
    // Nothing left to report to; the engine saves its state when it ends.
  }
}

void FirmwareBackend::log(const std::string &line) const {
  if (log_ != nullptr) {
    *log_ << "serve: " << line << std::endl;
  }
}

void FirmwareBackend::checkScenario() {
  platform::Platform unused(scenario_, image_, engine_, coverage_);
}

void FirmwareBackend::powerOn() {
  if (on_) {
    return;
  }
  const auto started = Clock::now();
  on_ = true;
  unavailable_.clear();
  try {
    boot();
  } catch (...) {
    powerOff();
    throw;
  }
  if (!unavailable_.empty()) {
    log("power on (" + since(started) + "): " + unavailable_ +
        "; every TPM command is answered with TPM_RC_FAILURE");
    return;
  }
  std::string startup = "TPM2_Startup left to the client";
  if (issueStartup_) {
    const auto response = exchange(tpm::startupCommand(tpm::kSuClear));
    startup = "firmware sent TPM2_Startup(CLEAR) -> " +
              responseCodeText(
                  tpm::responseCodeOf(response).value_or(tpm::kRcFailure));
  }
  log("power on: PEI dispatch of the image published TpmTransportPpi; " +
      startup + " (" + since(started) + ")");
}

void FirmwareBackend::boot() {
  try {
    // The platform powers the TPM (_TPM_Init) and then runs the PEI
    // dispatch of the image from flash: entry, shadow, trigger, "Setup",
    // probe, publication.
    platform_ = std::make_unique<platform::Platform>(scenario_, image_, engine_,
                                                     coverage_);
    if (instruments_ != nullptr) {
      instruments_->attach(platform_->machine());
    }
    const platform::BootReport report = platform_->boot();
    if (verbose_) {
      for (const std::string &line : report.log) {
        log("boot: " + line);
      }
    }
    flushTrace(std::nullopt);
    // A server runs for days: it keeps no command history, and the access
    // record only while one command runs (and only for --trace).
    platform_->chipset().coprocessor().setHistoryLimit(0);
    platform_->machine().trace().setLimit(recording() ? kTraceLimit : 0);
    if (!report.fault.empty()) {
      unavailable_ = "the boot stopped: " + report.fault;
    } else if (!report.transportPublished) {
      unavailable_ = "the module did not publish TpmTransportPpi (" +
                     platform::expectationsFor(scenario_).setupDecision + ")";
    } else if (!report.problems.empty()) {
      log("boot: " + join(report.problems));
    }
  } catch (const pei::LoadError &) {
    // The image cannot be placed in this scenario's memory: no boot of
    // this server will do better.
    throw;
  } catch (const std::exception &error) {
    unavailable_ = std::string("the boot failed: ") + error.what();
  }
}

void FirmwareBackend::powerOff() {
  if (!on_) {
    return;
  }
  platform_.reset();
  engine_.powerOff();
  on_ = false;
  unavailable_ = kPoweredOff;
}

void FirmwareBackend::reset() {
  powerOff();
  powerOn();
}

Backend::StopOutcome FirmwareBackend::stop() {
  if (!on_) {
    return {true, "the platform was off; the TPM state is as its last "
                  "command left it"};
  }
  tpm::TpmEngine::ShutdownAnswers answers;
  if (unavailable_.empty()) {
    // What the operating system does before it turns the power off: the
    // TPM sees an orderly shutdown and saves its state, or, when it has no
    // state to resume from, an orderly shutdown of the other kind.
    const auto shutdown = [&](std::uint16_t type, const char *name) {
      const std::uint32_t rc =
          tpm::responseCodeOf(exchange(tpm::shutdownCommand(type)))
              .value_or(tpm::kRcFailure);
      log(std::string("stop: ") + name + " through the firmware -> " +
          responseCodeText(rc));
      return rc;
    };
    answers.state = shutdown(tpm::kSuState, "TPM2_Shutdown(STATE)");
    if (tpm::TpmEngine::needsClearShutdown(answers.state)) {
      answers.clear = shutdown(tpm::kSuClear, "TPM2_Shutdown(CLEAR)");
    }
  } else {
    // No transport on this boot; the TPM is still shut down in order.
    answers = engine_.powerOffOrderly();
  }
  powerOff();
  const tpm::TpmEngine::SaveOutcome saved = engine_.describeShutdown(answers);
  return {saved.ok, saved.text};
}

std::vector<std::uint8_t>
FirmwareBackend::transact(std::span<const std::uint8_t> command) {
  if (!unavailable_.empty()) {
    log(commandName(tpm::commandCodeOf(command).value_or(0)) +
        " not delivered: " + unavailable_);
    return tpm::errorResponse(tpm::kRcFailure);
  }
  return exchange(command);
}

std::vector<std::uint8_t>
FirmwareBackend::exchange(std::span<const std::uint8_t> command) {
  // The command's name is for the log and the access record; it is made
  // only when one of them is written, not for every command.
  const std::uint32_t code = tpm::commandCodeOf(command).value_or(0);
  platform::Exchange result;
  try {
    result = platform_->execute(command);
  } catch (const std::exception &error) {
    // The module's code faulted inside the guest; a real platform would
    // hang here. Nothing more goes to it until the next power cycle.
    flushTrace(code);
    unavailable_ = "the transport faulted in an earlier command (" +
                   std::string(error.what()) + ")";
    log(commandName(code) + ": " + unavailable_);
    return tpm::errorResponse(tpm::kRcFailure);
  }
  flushTrace(code);
  if (result.efiStatus != 0) {
    log(commandName(code) + ": the transport returned " +
        efi::statusName(result.efiStatus));
    return tpm::errorResponse(tpm::kRcFailure);
  }
  const auto size = tpm::headerSizeOf(result.response);
  if (!size || *size < tpm::kHeaderSize || *size != result.response.size()) {
    log(commandName(code) + ": the transport delivered " +
        std::to_string(result.response.size()) +
        " bytes that do not hold one whole TPM response");
    return tpm::errorResponse(tpm::kRcFailure);
  }
  return std::move(result.response);
}

void FirmwareBackend::recordJson(const std::string &path,
                                 std::size_t commands) {
  json_ = std::make_unique<platform::TraceJson>(path);
  jsonCommands_ = commands;
  if (platform_) {
    platform_->machine().trace().setLimit(kTraceLimit);
  }
}

bool FirmwareBackend::recording() const {
  return trace_ || (json_ && jsonCommands_ != 0);
}

void FirmwareBackend::flushTrace(std::optional<std::uint32_t> command) {
  if (!platform_) {
    return;
  }
  bus::Trace &trace = platform_->machine().trace();
  if (json_ && jsonCommands_ != 0) {
    json_->append(trace);
    if (command && --jsonCommands_ == 0 && !trace_) {
      trace.setLimit(0); // nobody reads the record any more
    }
  }
  if (trace_ && log_ != nullptr) {
    *log_ << "serve: access record of "
          << (command ? commandName(*command) : std::string(kBootRecord))
          << " (" << trace.events().size() << " events):\n";
    for (const std::string &line : trace.lines()) {
      *log_ << "  " << line << '\n';
    }
    log_->flush();
  }
  trace.clear();
}

std::string FirmwareBackend::commandName(std::uint32_t code) const {
  return tpm::commandName(code);
}

std::string FirmwareBackend::responseCodeText(std::uint32_t rc) const {
  return tpm::describeResponseCode(rc);
}

} // namespace serve
