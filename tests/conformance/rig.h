// The rig every conformance test runs on: the shipped image booted on the
// emulated PEI platform (or the test image's routines called on a bare
// machine with the device models), always with the machine invariants
// checked around every guest call.
#pragma once

#include "chipset.h"
#include "efi.h"
#include "invariants.h"
#include "machine.h"
#include "pe_image.h"
#include "platform.h"
#include "platform_invariants.h"
#include "scenario.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace conformance {

using bus::TraceEvent;

// The images under test, read once per process.
const pei::PeImage &shippedImage();
const pei::PeImage &testImage();
const pei::LinkerMap &testMap();

// The suite's coverage, which every platform the rig boots adds to; the
// conformance programs' main sets it (from --coverage FILE or
// PEI_PLATFORM_COVERAGE) before the tests run.
void setSuiteCoverage(std::optional<platform::SuiteCoverage> coverage);

// A scenario whose "Setup" is given bytes (nullopt: no variable).
platform::Scenario
scenarioWithSetup(std::optional<std::vector<std::uint8_t>> setup);
// A "Setup" of `size` zero bytes with DeviceSelect and SelectOverride set
// where they fit.
std::vector<std::uint8_t> setupBytes(std::size_t size, std::uint8_t select,
                                     std::uint8_t override);

// The shipped image on the PEI platform, booted by the constructor; the tests
// then look at what happened and drive the published transport.
class Booted {
public:
  explicit Booted(platform::Scenario scenario = {});
  ~Booted();

  platform::Platform &platform() { return *platform_; }
  machine::Machine &machine() { return platform_->machine(); }
  devices::Chipset &chipset() { return platform_->chipset(); }
  devices::Coprocessor &coprocessor() { return chipset().coprocessor(); }
  pei::Foundation &foundation() { return platform_->foundation(); }
  // The platform attaches them itself, for every guest call.
  checks::PlatformInvariants &invariants() {
    return static_cast<checks::PlatformInvariants &>(platform_->invariants());
  }
  const platform::BootReport &report() const { return report_; }

  // Events of the trace from index `from` on (all by default).
  std::vector<TraceEvent> events(std::size_t from = 0) const;
  std::size_t mark() const { return platform_->trace().events().size(); }
  // Service-call texts ("LocatePpi(...) = ...") from `from` on.
  std::vector<std::string> services(std::size_t from = 0) const;
  // The events inside the n-th guest call whose name starts with `call`.
  std::vector<TraceEvent> during(const std::string &call,
                                 unsigned occurrence = 0) const;
  // Number of InstallPpi of TpmTransportPpi by the module so far.
  unsigned transportInstalls() const;

  // A raw call of one transport slot with the two leading parameters given.
  std::uint32_t slot(unsigned index, std::uint32_t leading0,
                     std::uint32_t leading1,
                     std::vector<std::uint32_t> arguments);
  // Caller memory of the platform: command, response buffer, length word.
  static constexpr std::uint32_t kCommand = platform::Platform::kCallerCommand;
  static constexpr std::uint32_t kResponse =
      platform::Platform::kCallerResponse;
  static constexpr std::uint32_t kLength = platform::Platform::kCallerLength;
  // Puts a command at kCommand, fills the response buffer with `fill` and
  // stores `length` at kLength.
  void stage(const std::vector<std::uint8_t> &command, std::uint32_t length,
             std::uint8_t fill = 0xA5);
  std::uint32_t send(std::uint32_t size);    // Send(kCommand, size)
  std::uint32_t receive();                   // Receive(kResponse, kLength)
  std::uint32_t execute(std::uint32_t size); // Execute(kCommand, size, ...)

private:
  std::unique_ptr<platform::Platform> platform_;
  platform::BootReport report_;
};

// A bare machine with the chipset and co-processor models and the test image
// in flash: the hardware routines called one by one.
class Routines {
public:
  static constexpr std::uint32_t kStackTop = 0x00050000;
  static constexpr std::uint32_t kBuffers = 0x00080000; // 64 KiB scratch
  static constexpr std::uint32_t kBuffersSize = 0x10000;

  explicit Routines(devices::ChipsetConfig config = {});
  ~Routines();

  machine::Machine &machine() { return *machine_; }
  devices::Chipset &chipset() { return *chipset_; }
  checks::Invariants &invariants() { return *invariants_; }

  // Calls the C-linkage routine `name` of the test image, granting it
  // `writable` for this one call.
  std::uint32_t call(const std::string &name,
                     std::vector<std::uint32_t> arguments,
                     std::vector<checks::WritableRange> writable = {});
  std::vector<std::uint8_t> read(std::uint32_t at, std::size_t size) const {
    return machine_->read(at, size);
  }
  void write(std::uint32_t at, const std::vector<std::uint8_t> &bytes) {
    machine_->write(at, bytes);
  }
  std::vector<TraceEvent> events(TraceEvent::Kind kind) const {
    return machine_->trace().of(kind);
  }

private:
  std::unique_ptr<machine::Machine> machine_;
  std::unique_ptr<devices::Chipset> chipset_;
  std::unique_ptr<checks::PlatformInvariants> invariants_;
};

// Only the accesses to hardware (ports, MSRs, configuration registers, the
// control area, modelled memory-mapped registers).
std::vector<TraceEvent> hardware(const std::vector<TraceEvent> &events);
std::vector<std::string> serviceTexts(const std::vector<TraceEvent> &events);
// The values written to the co-processor's command register (0:8.0 register
// 0x04), in order.
std::vector<std::uint32_t> commandWrites(const std::vector<TraceEvent> &events);

// The size of the co-processor's command area and of its response area.
constexpr std::uint32_t kAreaSize = 0x4000;

// A TPM2_GetRandom command (10-byte header + 2-byte count).
std::vector<std::uint8_t> getRandom(std::uint16_t count);

} // namespace conformance
