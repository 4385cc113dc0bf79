#include "platform.h"

#include "boot_log.h"
#include "companion.h"
#include "coverage.h"
#include "hex.h"
#include "tpm_engine.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace platform {

using common::hex;

Platform::Platform(Scenario scenario, pei::PeImage image, tpm::TpmEngine &tpm,
                   std::optional<SuiteCoverage> coverage)
    : scenario_(std::move(scenario)), image_(std::move(image)), tpm_(tpm),
      machine_(std::make_unique<machine::Machine>()) {
  machine_->limits() = scenario_.limits;
  machine_->space().setUnmodelled(scenario_.unmodelled);
  machine_->space().mapMemory(kTemporaryRam, kTemporaryRamSize, "temporary RAM",
                              machine::kReadWrite);
  machine_->space().mapMemory(kPermanentMemory, kPermanentMemorySize,
                              "permanent memory", machine::kReadWrite);
  machine_->space().mapMemory(kCallerBuffers, kCallerBuffersSize,
                              "caller buffers", machine::kReadWrite);
  chipset_ = std::make_unique<devices::Chipset>(
      machine_->space(), scenario_.chipset,
      [this](std::span<const std::uint8_t> command) {
        return tpm_.process(command);
      });
  foundation_ = std::make_unique<pei::Foundation>(*machine_);
  variables_ =
      std::make_unique<pei::VariableService>(*foundation_, scenario_.setup);
  pcd_ = std::make_unique<pei::PcdService>(*foundation_, scenario_.pcd);
  // Every guest call, from the first dispatch on, runs under the machine
  // invariants: EFIAPI registers, state put back, stores only where allowed.
  invariants_ = std::make_unique<checks::PlatformInvariants>(
      *machine_, *chipset_, [this] { return slots_; });
  recordCoverage(std::move(coverage));
}

// The whole test suite's coverage, for the image this tree builds only.
void Platform::recordCoverage(std::optional<SuiteCoverage> coverage) {
  if (!coverage ||
      !debug::companionMismatch(image_, debug::builtCompanion()).empty()) {
    return;
  }
  coverage_ = std::make_unique<debug::CoverageRecorder>(
      coverage->tracefile, debug::builtCompanion(), debug::sourceRoot());
  coverageOrigin_ = std::move(coverage->origin);
  machine_->addAgent(coverage_.get());
}

Platform::~Platform() {
  if (coverage_) {
    try {
      coverage_->save();
    } catch (const debug::CoverageError &error) {
      std::cerr << coverageOrigin_ << ": " << error.what() << "\n";
    }
  }
}

BootReport Platform::boot() {
  if (booted_) {
    throw std::logic_error("the platform has booted already; make a new one "
                           "to boot again");
  }
  booted_ = true;
  BootReport report;
  foundation_->setLog(
      [&report](const std::string &line) { report.log.push_back(line); });
  const Expectations expected = expectationsFor(scenario_);
  try {
    tpm_.powerOn();
    runStages(report, expected);
  } catch (const pei::LoadError &) {
    foundation_->setLog({});
    throw; // the image cannot run on this platform at all
  } catch (const machine::GuestFault &fault) {
    report.fault = fault.what();
    report.log.push_back("boot stopped: " + report.fault);
    report.problems.push_back(report.fault);
  } catch (const std::exception &error) {
    report.fault = std::string("platform failure: ") + error.what();
    report.log.push_back("boot stopped: " + report.fault);
    report.problems.push_back(report.fault);
  }
  foundation_->setLog({});
  for (const std::string &line : describeUnmodelled(machine_->space())) {
    report.log.push_back(line);
  }
  report.ok = report.problems.empty();
  return report;
}

namespace {

void log(BootReport &report, const std::string &line) {
  report.log.push_back(line);
}

void problem(BootReport &report, const std::string &line) {
  report.problems.push_back(line);
  log(report, "PROBLEM: " + line);
}

} // namespace

// The PEI dispatch of the module, stage by stage, as a platform's PEI
// Foundation would run it.
void Platform::runStages(BootReport &report, const Expectations &expected) {
  describePlatform(report);
  installPlatformPpis(report);
  if (!dispatchFromFlash(report)) {
    return;
  }
  dispatchFromShadow(report);
  runPlatformModules(report);
  readPublication(report);
  compareWithExpected(report, expected);
}

void Platform::describePlatform(BootReport &report) {
  log(report, "machine: IA-32 protected mode, flat segments, CPL 0; IDT at " +
                  hex(machine_->idtBase(), 8) + ", PEI services pointer " +
                  hex(foundation_->servicesPointer(), 8) +
                  " below it -> table " + hex(foundation_->servicesTable(), 8));
  log(report, describeChipset(*chipset_));
  log(report, describeCoprocessor(scenario_.chipset.coprocessor));
  log(report, describeSetup(scenario_));
}

void Platform::installPlatformPpis(BootReport &report) {
  if (scenario_.variablePpi) {
    foundation_->installPpi(efi::guids::kReadOnlyVariable2Ppi,
                            variables_->ppi());
  }
  if (scenario_.pcdPpi) {
    foundation_->installPpi(efi::guids::kPcdPpi, pcd_->ppi());
  } else {
    log(report, "PCD PPI left out");
  }
}

// Dispatch 1: execute in place from flash, stack in temporary RAM. False
// when the module did not ask to be shadowed, which ends the boot.
bool Platform::dispatchFromFlash(BootReport &report) {
  flash_ = pei::mapInFlash(*machine_, image_);
  machine_->announceImage("flash", image_.imageBase(), flash_.base,
                          image_.sizeOfImage());
  invariants_->protect(flash_.base, image_.sizeOfImage(),
                       "the module's image in flash");
  log(report, std::string("flash: ") + (image_.isTe() ? "TE image" : "image") +
                  " at " + hex(flash_.base, 8) + " (" +
                  std::to_string(image_.sizeOfImage()) + " bytes), entry " +
                  hex(flash_.entry, 8));
  machine_->setStack(kTemporaryRam + kTemporaryRamSize);
  log(report, "temporary RAM " + hex(kTemporaryRam, 8) + "-" +
                  hex(kTemporaryRam + kTemporaryRamSize - 1, 8) +
                  ", stack at " + hex(kTemporaryRam + kTemporaryRamSize, 8));
  const pei::EfiStatus first = foundation_->dispatch(
      "ModuleEntry (flash)", pei::GuestCallback{flash_.entry}, entryServices_);
  log(report,
      "dispatch from flash: ModuleEntry returned " + first.name() +
          ", shadow requested: " + onOff(foundation_->shadowRequested()));
  if (first != pei::EfiStatus{efi::kSuccess}) {
    problem(report, "the entry from flash returned " + first.name() +
                        ", expected EFI_SUCCESS");
  }
  if (!foundation_->shadowRequested()) {
    problem(report, "the module did not register for shadowing");
    return false;
  }
  return true;
}

// Permanent memory: the stack moves, the shadow is made and dispatched.
void Platform::dispatchFromShadow(BootReport &report) {
  machine_->setStack(kPermanentMemory + kPermanentMemorySize);
  log(report, "permanent memory installed at " + hex(kPermanentMemory, 8) +
                  " (" + std::to_string(kPermanentMemorySize >> 20) +
                  " MiB), stack moved to " +
                  hex(kPermanentMemory + kPermanentMemorySize, 8));
  shadow_ = pei::mapShadow(*machine_, image_, scenario_.shadowAddress);
  machine_->announceImage("shadow", image_.imageBase(), shadow_->base,
                          image_.sizeOfImage());
  invariants_->protect(shadow_->base, image_.sizeOfImage(),
                       "the module's shadow copy");
  report.shadowBase = shadow_->base;
  report.relocations = shadow_->relocations;
  log(report, "shadow: image copied to " + hex(shadow_->base, 8) + ", " +
                  std::to_string(shadow_->relocations) +
                  " relocations applied (delta " +
                  hex(shadow_->base - image_.imageBase(), 8) + "), entry " +
                  hex(shadow_->entry, 8));
  pei::retireFlash(*machine_, flash_);
  machine_->announceRetired(flash_.base);
  foundation_->setShadowed();
  log(report,
      "flash copy retired: no longer readable or executable by the module");
  const pei::EfiStatus second =
      foundation_->dispatch("ModuleEntry (shadow)",
                            pei::GuestCallback{shadow_->entry}, entryServices_);
  log(report, "dispatch from shadow: ModuleEntry returned " + second.name());
  if (second != pei::EfiStatus{efi::kSuccess}) {
    problem(report, "the entry from the shadow returned " + second.name() +
                        ", expected EFI_SUCCESS");
  }
  const bool armed = std::any_of(
      foundation_->notifications().begin(), foundation_->notifications().end(),
      [](const auto &n) { return n.guid == efi::guids::kTriggerPpi; });
  if (!armed) {
    problem(report,
            "the shadow's entry armed no notification on the trigger PPI");
  }
}

// The platform's other modules: the trigger, then the device selection.
void Platform::runPlatformModules(BootReport &report) {
  const pei::GuestAddress triggerInterface{
      foundation_->allocate(std::vector<std::uint8_t>(4, 0))};
  for (unsigned i = 0; i < scenario_.triggerInstalls; ++i) {
    const std::size_t mark = machine_->trace().events().size();
    const std::size_t before = report.log.size();
    foundation_->installPpi(efi::guids::kTriggerPpi, triggerInterface);
    // The callback reads "Setup" and probes before it installs anything:
    // those lines go right after the one that says it fires, the decision
    // after its return.
    std::vector<std::string> lines =
        describeTrigger(machine_->trace().events(), mark);
    auto at =
        std::find_if(report.log.begin() + static_cast<std::ptrdiff_t>(before),
                     report.log.end(), [](const std::string &line) {
                       return line.starts_with("notification on ");
                     });
    if (at != report.log.end()) {
      ++at;
    }
    report.log.insert(at, lines.begin(), lines.end() - 1);
    log(report, lines.back());
  }
  if (scenario_.triggerInstalls == 0) {
    log(report, "trigger PPI not installed (scenario)");
  }
  const pei::GuestAddress selectedInterface{
      foundation_->allocate(std::vector<std::uint8_t>(4, 0))};
  for (unsigned i = 0; i < scenario_.deviceSelectedInstalls; ++i) {
    const unsigned before = pcd_->token11Writes();
    foundation_->installPpi(efi::guids::kTpmDeviceSelectedPpi,
                            selectedInterface);
    if (pcd_->token11Writes() != before && pcd_->token11()) {
      log(report, describeToken11(*pcd_->token11()));
    } else {
      log(report, "token 11 not written");
    }
  }
  if (scenario_.deviceSelectedInstalls == 0) {
    log(report, "device-selected PPI not installed (scenario)");
  }
}

// What the module published, and what its notifications answered.
void Platform::readPublication(BootReport &report) {
  for (const auto &fired : foundation_->fired()) {
    if (fired.status != pei::EfiStatus{efi::kSuccess}) {
      problem(report, "notification callback " + hex(fired.callback.entry, 8) +
                          " for " + efi::guidName(fired.guid) + " returned " +
                          fired.status.name() + ", expected EFI_SUCCESS");
    }
  }

  if (const auto found = foundation_->locate(efi::guids::kTpmTransportPpi)) {
    transportPpi_ = found->interface.value;
    for (unsigned slot = 0; slot < slots_.size(); ++slot) {
      slots_[slot] = machine_->read32(transportPpi_ + 4 * slot);
    }
    report.transportPublished = true;
    report.transportPpi = transportPpi_;
    report.slots = slots_;
    log(report, describeTransport(transportPpi_, slots_));
  } else {
    log(report, "TpmTransportPpi not published");
  }
  report.token11 = pcd_->token11();
}

void Platform::compareWithExpected(BootReport &report,
                                   const Expectations &expected) {
  unsigned publications = 0;
  for (const auto &ppi : foundation_->ppis()) {
    publications += ppi.guid == efi::guids::kTpmTransportPpi ? 1 : 0;
  }
  log(report, "expected: " + expected.setupDecision);
  if (publications != expected.publications) {
    problem(report, "TpmTransportPpi installed " +
                        std::to_string(publications) + " times, expected " +
                        std::to_string(expected.publications));
  }
  if (pcd_->token11Writes() != expected.token11Writes) {
    problem(report,
            "token 11 written " + std::to_string(pcd_->token11Writes()) +
                " times, expected " + std::to_string(expected.token11Writes));
  }
  if (expected.token11Writes > 0 &&
      pcd_->token11() !=
          std::vector<std::uint8_t>(efi::guids::kTpmInstance.bytes.begin(),
                                    efi::guids::kTpmInstance.bytes.end())) {
    problem(report, "token 11 does not hold TpmInstance");
  }
}

} // namespace platform
