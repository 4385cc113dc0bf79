// The emulated PEI platform as one object: the machine, the chipset and the
// co-processor, the PEI Foundation with the platform's PPIs, and the module's
// image. boot() runs the whole PEI dispatch of the module; afterwards the
// transport the module published can be driven with execute() or
// sendReceive(), each a real guest call into the module's IA-32 code.
//
// Typical use (the boot and serve subcommands do exactly this):
//
//   tpm::TpmEngine engine(stateDir);
//   platform::Platform platform(scenario, pei::PeImage::load(path), engine);
//   platform::BootReport report = platform.boot();
//   if (report.transportPublished) {
//     platform::Exchange answer = platform.execute(commandBytes);
//     // answer.efiStatus, answer.response
//   }
//
// A Platform boots once; to boot again (a platform reset), make a new one.
// Guest faults during boot end up in the report; during execute() and
// sendReceive() they are thrown as machine::GuestFault. Not thread-safe: one
// caller at a time, as on the single boot processor.
#pragma once

#include "chipset.h"
#include "efi.h"
#include "expectations.h"
#include "foundation.h"
#include "loader.h"
#include "machine.h"
#include "pe_image.h"
#include "platform_invariants.h"
#include "scenario.h"
#include "services.h"
#include "transport_slot.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tpm {
class TpmEngine;
}
namespace debug {
class CoverageRecorder;
}

namespace platform {

struct BootReport {
  bool ok = false; // every stage did what the scenario should
  bool transportPublished = false;
  std::uint32_t transportPpi = 0; // the interface address
  common::TransportAddresses slots{};
  std::uint32_t shadowBase = 0;
  std::size_t relocations = 0;
  std::optional<std::vector<std::uint8_t>> token11;
  std::vector<std::string> log;      // the boot log, one line per entry
  std::vector<std::string> problems; // what differed from the scenario
  std::string fault;                 // the guest fault that ended the boot
};

// The whole test suite's line coverage (README, "Seeing inside the module"):
// the lcov tracefile to which a platform adds the module lines it ran, when
// its image is the one this tree builds (tests also run altered copies,
// which have no companion). `origin` names the setting in the message said
// when the tracefile cannot be written ("PEI_PLATFORM_COVERAGE").
struct SuiteCoverage {
  std::filesystem::path tracefile;
  std::string origin;
};

// One command through the transport: the EFI status the module returned and
// the response (cut to the size its TPM header states, when that is sane).
struct Exchange {
  std::uint32_t efiStatus = 0;
  std::vector<std::uint8_t> response;
};

// The physical address space as the platform lays it out (nothing else is
// mapped; every other access stops the run):
//   0x00010000  GDT and IDT (the services pointer 4 bytes below the IDT)  r--
//   0x00020000  thunks of the platform's functions, the return sentinel    r-x
//   0x00040000  temporary RAM, stack of the dispatch from flash           rw-
//   0x00060000  PEI Foundation data: services table, platform PPIs        r--
//   0x00100000  permanent memory (2 MiB), stack from the shadow on        rw-
//   0x00310000  buffers of the platform's own calls into the transport    rw-
//   0x00400000  the shadow copy (Scenario::shadowAddress)                 r-x
//   0xE0000000  configuration window, when the scenario puts it below 4 GiB
//   0xFEB00000  co-processor: control area, +0x2000 command area, +0x7000
//               response area, unmapped guard pages between and around
//   0xFED80000  chipset registers (the timer port register at 0x364)
//   0xFEF00000  the FS window's trap page
//   link base   flash copy of the image (r-x; nothing once shadowed)
class Platform {
public:
  // Memory the platform lays out around the module.
  static constexpr std::uint32_t kTemporaryRam = 0x00040000;
  static constexpr std::uint32_t kTemporaryRamSize = 0x00010000;
  static constexpr std::uint32_t kPermanentMemory = 0x00100000;
  static constexpr std::uint32_t kPermanentMemorySize = 0x00200000;
  // Buffers of the platform's own calls into the transport.
  static constexpr std::uint32_t kCallerBuffers = 0x00310000;
  static constexpr std::uint32_t kCallerBuffersSize = 0x00010000;
  static constexpr std::uint32_t kCallerCommand = kCallerBuffers;
  static constexpr std::uint32_t kCallerCommandSize = 0x8000;
  static constexpr std::uint32_t kCallerResponse = kCallerBuffers + 0x8000;
  static constexpr std::uint32_t kCallerResponseSize = 0x4000;
  static constexpr std::uint32_t kCallerLength = kCallerBuffers + 0xC000;

  Platform(Scenario scenario, pei::PeImage image, tpm::TpmEngine &tpm,
           std::optional<SuiteCoverage> coverage = std::nullopt);
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  // Powers the TPM on (_TPM_Init) and runs the PEI dispatch: entry from
  // flash, permanent memory, shadow, trigger and device-selected PPIs as the
  // scenario says. Call once. Throws pei::LoadError when the image cannot be
  // placed (its link base or the shadow address collides with the
  // platform's memory); everything the guest does wrong is in the report.
  BootReport boot();
  bool booted() const { return booted_; }
  bool transportPublished() const { return transportPpi_ != 0; }

  // Execute(cmd, size, rsp, &length) through the published transport, with
  // length = 0x4000. Throws std::logic_error when no transport was published
  // and std::invalid_argument for a command above 0x8000 bytes.
  Exchange execute(std::span<const std::uint8_t> command);
  // Send(cmd, size), then Receive(rsp, &length) unless Send failed.
  Exchange sendReceive(std::span<const std::uint8_t> command);
  // Calls one transport slot with raw 32-bit arguments after the two leading
  // ones (which are 0 unless given), for tests.
  std::uint32_t callTransport(common::TransportSlot slot,
                              std::span<const std::uint32_t> arguments);

  // Hands both dispatches of the entry this services pointer instead of the
  // Foundation's own (the one below the IDT), for tests of which pointer the
  // module uses where. Call before boot().
  void setEntryServicesPointer(std::uint32_t pointer) {
    entryServices_ = pointer;
  }

  const Scenario &scenario() const { return scenario_; }
  const pei::PeImage &image() const { return image_; }
  machine::Machine &machine() { return *machine_; }
  const machine::Machine &machine() const { return *machine_; }
  devices::Chipset &chipset() { return *chipset_; }
  const devices::Chipset &chipset() const { return *chipset_; }
  pei::Foundation &foundation() { return *foundation_; }
  pei::VariableService &variables() { return *variables_; }
  pei::PcdService &pcd() { return *pcd_; }
  // The machine invariants checked around every guest call (on from
  // construction); tests grant their own buffers through it.
  checks::Invariants &invariants() { return *invariants_; }
  const bus::Trace &trace() const { return machine_->trace(); }
  const pei::LoadedImage &flash() const { return flash_; }
  const std::optional<pei::LoadedImage> &shadow() const { return shadow_; }

private:
  void runStages(BootReport &report, const Expectations &expected);
  void describePlatform(BootReport &report);
  void installPlatformPpis(BootReport &report);
  bool dispatchFromFlash(BootReport &report);
  void dispatchFromShadow(BootReport &report);
  void runPlatformModules(BootReport &report);
  void readPublication(BootReport &report);
  void compareWithExpected(BootReport &report, const Expectations &expected);
  void recordCoverage(std::optional<SuiteCoverage> coverage);

  Scenario scenario_;
  pei::PeImage image_;
  tpm::TpmEngine &tpm_;
  std::unique_ptr<machine::Machine> machine_;
  std::unique_ptr<devices::Chipset> chipset_;
  std::unique_ptr<pei::Foundation> foundation_;
  std::unique_ptr<pei::VariableService> variables_;
  std::unique_ptr<pei::PcdService> pcd_;
  std::unique_ptr<checks::PlatformInvariants> invariants_;
  pei::LoadedImage flash_;
  std::optional<pei::LoadedImage> shadow_;
  std::optional<std::uint32_t> entryServices_;
  std::uint32_t transportPpi_ = 0;
  common::TransportAddresses slots_{};
  bool booted_ = false;
  std::unique_ptr<debug::CoverageRecorder> coverage_;
  std::string coverageOrigin_;
};

} // namespace platform
