// The endpoint's backend on the real firmware path: each power-on boots the
// emulated platform (a fresh PEI dispatch of the shipped image) with the
// TPM behind its co-processor, and every TPM command goes through the
// TpmTransportPpi the module published in the guest.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "backend.h"
#include "instruments.h"
#include "pe_image.h"
#include "platform.h"
#include "tpm_engine.h"
#include "trace_json.h"

namespace serve {

class FirmwareBackend : public Backend {
public:
  // `issueStartup`: after each boot the platform firmware sends
  // TPM2_Startup(CLEAR) through the transport, as platform firmware does;
  // when false the client must.
  // The TPM keeps its state in the scenario's state directory, which must
  // be set: the endpoint's TPM outlives the server. Every platform booted
  // adds to the suite's coverage when `coverage` is set.
  FirmwareBackend(platform::Scenario scenario, pei::PeImage image,
                  bool issueStartup,
                  std::optional<platform::SuiteCoverage> coverage = {});
  ~FirmwareBackend() override;

  // Builds the scenario's platform once without running it, so that a
  // scenario the platform cannot build is reported at start; throws
  // machine::MachineError.
  void checkScenario();
  // Puts the debugger and the coverage recorder on every platform booted
  // from now on.
  void setInstruments(debug::Instruments *instruments) {
    instruments_ = instruments;
  }

  // Throws pei::LoadError when the image cannot be placed in the
  // scenario's memory; the platform then stays off.
  void powerOn() override;
  void powerOff() override;
  void reset() override;
  void nvOn() override {}
  [[nodiscard]] bool isOn() const override { return on_; }
  std::vector<std::uint8_t>
  transact(std::span<const std::uint8_t> command) override;
  StopOutcome stop() override;

  [[nodiscard]] std::string commandName(std::uint32_t code) const override;
  [[nodiscard]] std::string responseCodeText(std::uint32_t rc) const override;

  // Why commands cannot reach the TPM on the current boot (or that the
  // platform is off); empty when they can.
  [[nodiscard]] const std::string &unavailable() const { return unavailable_; }
  // Whether the TPM took power on the current boot; false when libtpms
  // refused to start, e.g. from damaged state.
  [[nodiscard]] bool tpmPowered() const { return engine_.isOn(); }
  // Why the TPM of the current boot cannot serve (off, or in failure mode,
  // e.g. because its state could not be written at TPM2_Startup); empty
  // when it can.
  [[nodiscard]] std::string tpmUnusable() const { return engine_.unusable(); }
  // The platform of the current boot, null while powered off.
  [[nodiscard]] const platform::Platform *platform() const {
    return platform_.get();
  }
  // Writes the record of each boot and of the first `commands` commands to
  // `path` in the Chrome trace event format. Throws std::runtime_error when
  // the file cannot be written.
  void recordJson(const std::string &path, std::size_t commands);

  // Events the access record keeps for one command (--trace); the rest are
  // counted.
  static constexpr std::size_t kTraceLimit = 100'000;

private:
  // One exchange through the guest's transport; the response trimmed to
  // the size its header states. A failed exchange gives TPM_RC_FAILURE
  // and a log line.
  std::vector<std::uint8_t> exchange(std::span<const std::uint8_t> command);
  void boot();
  // Prints (with --trace) and then forgets the platform's access record, so
  // that a long-running server does not accumulate it: the record of the
  // command with this code, or of the boot.
  void flushTrace(std::optional<std::uint32_t> command);
  void log(const std::string &line) const;

  // Whether anybody reads the access record (--trace, --trace-json).
  [[nodiscard]] bool recording() const;

  platform::Scenario scenario_;
  pei::PeImage image_;
  std::optional<platform::SuiteCoverage> coverage_;
  std::unique_ptr<platform::TraceJson> json_;
  std::size_t jsonCommands_ = 0; // commands --trace-json still records
  bool issueStartup_;
  tpm::TpmEngine engine_;
  std::unique_ptr<platform::Platform> platform_; // present while powered on
  debug::Instruments *instruments_ = nullptr;
  bool on_ = false;
  static constexpr const char *kPoweredOff = "the platform is powered off";
  static constexpr const char *kBootRecord = "the boot";
  std::string unavailable_ = kPoweredOff;
};

} // namespace serve
