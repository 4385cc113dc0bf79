#include "platform.h"

#include "companion.h"
#include "coverage.h"
#include "hex.h"
#include "tpm_engine.h"
#include "tpm_header.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace platform {

using common::hex;
using devices::Coprocessor;
using devices::RootComplex;
using machine::TraceEvent;

namespace {

std::string onOff(bool value) { return value ? "yes" : "no"; }

std::string describeSetup(const Scenario &s) {
  if (!s.variablePpi) {
    return "\"Setup\": no read-only variable PPI installed";
  }
  if (!s.setup) {
    return "\"Setup\": absent";
  }
  const auto &b = *s.setup;
  auto byteAt = [&](std::size_t offset) {
    return offset < b.size() ? hex(b[offset], 2) : std::string("(beyond it)");
  };
  return "\"Setup\": " + std::to_string(b.size()) +
         " bytes, DeviceSelect (byte 256) " + byteAt(Scenario::kDeviceSelect) +
         ", SelectOverride (byte 458) " + byteAt(Scenario::kSelectOverride);
}

std::string describeChipset(devices::Chipset &chipset) {
  const devices::ChipsetConfig &c = chipset.config();
  std::string text = "chipset: PCI configuration ";
  if (const devices::ConfigWindow &window = chipset.configWindow();
      window.enabled()) {
    const std::uint64_t base = window.base();
    text += "window at " + hex(base, 8) +
            (base >= (1ull << 32) ? " (above 4 GiB)" : " (below 4 GiB)");
  } else {
    text += "through ports 0xCF8/0xCFC (window off)";
  }
  text += "; ACPI PM timer ";
  text += c.pmTimerPort ? "at port " + hex(*c.pmTimerPort, 4) + ", " +
                              std::to_string(c.ticksPerRead) + " ticks per read"
                        : std::string("absent");
  return text;
}

std::string describeCoprocessor(const devices::CoprocessorConfig &c) {
  using Completion = devices::CoprocessorConfig::Completion;
  if (!c.present) {
    return "co-processor: absent (presence bit clear)";
  }
  std::string text =
      "co-processor 0:8.0: control area at " + hex(c.base, 8) + ", base from ";
  text += c.baseSource == devices::CoprocessorConfig::BaseSource::Bar
              ? "its base address register"
              : "MSR 0xC00110A2 (" + hex(c.msrBase.value_or(c.base), 8) + ")";
  switch (c.completion) {
  case Completion::Immediately:
    text += ", completes at once";
    break;
  case Completion::AfterPolls:
    text += ", completes after " + std::to_string(c.polls) + " polls of Start";
    break;
  case Completion::Never:
    text += ", never completes";
    break;
  case Completion::Fail:
    text += ", fails with Error " + hex(c.error);
    break;
  }
  if (c.responseAddressHigh != 0) {
    text += ", ResponseAddress high half " + hex(c.responseAddressHigh, 8);
  }
  if (c.responseSizeZero) {
    text += ", leaves ResponseSize 0";
  }
  return text;
}

} // namespace

Expectations expectationsFor(const Scenario &s) {
  Expectations e;
  bool publish = true;
  if (!s.variablePpi) {
    e.setupDecision = "no variable service: the module cannot read \"Setup\" "
                      "and publishes";
  } else if (!s.setup) {
    e.setupDecision = "no \"Setup\" variable: the module publishes";
  } else if (s.setup->size() > Scenario::kSetupBuffer) {
    e.setupDecision = "\"Setup\" is larger than the module's 1024-byte "
                      "buffer: the read fails and the module publishes";
  } else {
    const auto &b = *s.setup;
    const std::uint8_t select =
        b.size() > Scenario::kDeviceSelect ? b[Scenario::kDeviceSelect] : 0;
    const std::uint8_t override =
        b.size() > Scenario::kSelectOverride ? b[Scenario::kSelectOverride] : 0;
    const std::uint8_t effective = override ? 0 : select;
    publish = effective == 2;
    e.setupDecision =
        "DeviceSelect " + std::to_string(select) + ", SelectOverride " +
        std::to_string(override) + ": " +
        (publish ? "the module publishes" : "the module declines");
  }
  e.published = publish && s.triggerInstalls > 0;
  e.publications = e.published ? s.triggerInstalls : 0;
  const bool setPtrStores =
      s.pcdPpi && s.pcd.token11MaxSize >= 16 && !s.pcd.setPtrFailure;
  e.token11Writes =
      setPtrStores ? e.publications * s.deviceSelectedInstalls : 0;

  using Completion = devices::CoprocessorConfig::Completion;
  const auto &c = s.chipset.coprocessor;
  const std::uint32_t base =
      c.baseSource == devices::CoprocessorConfig::BaseSource::Msr
          ? c.msrBase.value_or(c.base)
          : (c.barUnassigned ? 0 : c.base & Coprocessor::kBarBaseMask);
  if (!c.present || base == 0 || base == 0xFFFFFFFF ||
      c.responseAddressHigh != 0 || c.commandAddressZero) {
    e.transportStatus = efi::kUnsupported;
  } else if (c.completion == Completion::Never) {
    e.transportStatus = efi::kTimeout;
  } else if (c.completion == Completion::Fail) {
    e.transportStatus = efi::kDeviceError;
  } else {
    e.transportStatus = efi::kSuccess;
    e.sessionWorks = !c.responseSizeZero;
  }
  return e;
}

Platform::Platform(Scenario scenario, pei::PeImage image, tpm::TpmEngine &tpm)
    : scenario_(std::move(scenario)), image_(std::move(image)), tpm_(tpm),
      machine_(std::make_unique<machine::Machine>()) {
  machine_->limits() = scenario_.limits;
  machine_->mapMemory(kTemporaryRam, kTemporaryRamSize, "temporary RAM",
                      machine::kReadWrite);
  machine_->mapMemory(kPermanentMemory, kPermanentMemorySize,
                      "permanent memory", machine::kReadWrite);
  machine_->mapMemory(kCallerBuffers, kCallerBuffersSize, "caller buffers",
                      machine::kReadWrite);
  chipset_ = std::make_unique<devices::Chipset>(
      *machine_, scenario_.chipset,
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
  recordCoverageFromEnvironment();
}

// The whole test suite's coverage: every platform built while this names a
// tracefile adds the module lines it ran to it, provided the image is the
// one this tree builds (tests also run altered copies, which have no
// companion).
constexpr const char *kCoverageVariable = "PEI_PLATFORM_COVERAGE";

void Platform::recordCoverageFromEnvironment() {
  const char *file = std::getenv(kCoverageVariable);
  if (file == nullptr || *file == '\0' ||
      !debug::companionMismatch(image_, debug::builtCompanion()).empty()) {
    return;
  }
  coverage_ = std::make_unique<debug::CoverageRecorder>(
      file, debug::builtCompanion(), debug::sourceRoot());
  machine_->addAgent(coverage_.get());
}

Platform::~Platform() {
  if (coverage_) {
    try {
      coverage_->save();
    } catch (const debug::CoverageError &error) {
      std::cerr << kCoverageVariable << ": " << error.what() << "\n";
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
  report.ok = report.problems.empty();
  return report;
}

void Platform::runStages(BootReport &report, const Expectations &expected) {
  auto log = [&](const std::string &line) { report.log.push_back(line); };
  auto problem = [&](const std::string &line) {
    report.problems.push_back(line);
    log("PROBLEM: " + line);
  };

  log("machine: IA-32 protected mode, flat segments, CPL 0; IDT at " +
      hex(machine_->idtBase(), 8) + ", PEI services pointer " +
      hex(foundation_->servicesPointer(), 8) + " below it -> table " +
      hex(foundation_->servicesTable(), 8));
  log(describeChipset(*chipset_));
  log(describeCoprocessor(scenario_.chipset.coprocessor));
  log(describeSetup(scenario_));
  if (scenario_.variablePpi) {
    foundation_->installPpi(efi::guids::kReadOnlyVariable2Ppi,
                            variables_->ppi());
  }
  if (scenario_.pcdPpi) {
    foundation_->installPpi(efi::guids::kPcdPpi, pcd_->ppi());
  } else {
    log("PCD PPI left out");
  }

  // Dispatch 1: execute in place from flash, stack in temporary RAM.
  flash_ = pei::mapInFlash(*machine_, image_);
  machine_->announceImage("flash", image_.imageBase(), flash_.base,
                          image_.sizeOfImage());
  invariants_->protect(flash_.base, image_.sizeOfImage(),
                       "the module's image in flash");
  log(std::string("flash: ") + (image_.isTe() ? "TE image" : "image") + " at " +
      hex(flash_.base, 8) + " (" + std::to_string(image_.sizeOfImage()) +
      " bytes), entry " + hex(flash_.entry, 8));
  machine_->setStack(kTemporaryRam + kTemporaryRamSize);
  log("temporary RAM " + hex(kTemporaryRam, 8) + "-" +
      hex(kTemporaryRam + kTemporaryRamSize - 1, 8) + ", stack at " +
      hex(kTemporaryRam + kTemporaryRamSize, 8));
  const pei::EfiStatus first = foundation_->dispatch(
      "ModuleEntry (flash)", pei::GuestCallback{flash_.entry}, entryServices_);
  log("dispatch from flash: ModuleEntry returned " + first.name() +
      ", shadow requested: " + onOff(foundation_->shadowRequested()));
  if (first != pei::EfiStatus{efi::kSuccess}) {
    problem("the entry from flash returned " + first.name() +
            ", expected EFI_SUCCESS");
  }
  if (!foundation_->shadowRequested()) {
    problem("the module did not register for shadowing");
    return;
  }

  // Permanent memory: the stack moves, the shadow is made and dispatched.
  machine_->setStack(kPermanentMemory + kPermanentMemorySize);
  log("permanent memory installed at " + hex(kPermanentMemory, 8) + " (" +
      std::to_string(kPermanentMemorySize >> 20) + " MiB), stack moved to " +
      hex(kPermanentMemory + kPermanentMemorySize, 8));
  shadow_ = pei::mapShadow(*machine_, image_, scenario_.shadowAddress);
  machine_->announceImage("shadow", image_.imageBase(), shadow_->base,
                          image_.sizeOfImage());
  invariants_->protect(shadow_->base, image_.sizeOfImage(),
                       "the module's shadow copy");
  report.shadowBase = shadow_->base;
  report.relocations = shadow_->relocations;
  log("shadow: image copied to " + hex(shadow_->base, 8) + ", " +
      std::to_string(shadow_->relocations) + " relocations applied (delta " +
      hex(shadow_->base - image_.imageBase(), 8) + "), entry " +
      hex(shadow_->entry, 8));
  pei::retireFlash(*machine_, flash_);
  machine_->announceRetired(flash_.base);
  foundation_->setShadowed();
  log("flash copy retired: no longer readable or executable by the module");
  const pei::EfiStatus second =
      foundation_->dispatch("ModuleEntry (shadow)",
                            pei::GuestCallback{shadow_->entry}, entryServices_);
  log("dispatch from shadow: ModuleEntry returned " + second.name());
  if (second != pei::EfiStatus{efi::kSuccess}) {
    problem("the entry from the shadow returned " + second.name() +
            ", expected EFI_SUCCESS");
  }
  const bool armed = std::any_of(
      foundation_->notifications().begin(), foundation_->notifications().end(),
      [](const auto &n) { return n.guid == efi::guids::kTriggerPpi; });
  if (!armed) {
    problem("the shadow's entry armed no notification on the trigger PPI");
  }

  // The platform's other modules: the trigger, then the device selection.
  const pei::GuestAddress triggerInterface{
      foundation_->allocate(std::vector<std::uint8_t>(4, 0))};
  for (unsigned i = 0; i < scenario_.triggerInstalls; ++i) {
    const std::size_t mark = machine_->trace().events().size();
    foundation_->installPpi(efi::guids::kTriggerPpi, triggerInterface);
    describeTrigger(report, mark);
  }
  if (scenario_.triggerInstalls == 0) {
    log("trigger PPI not installed (scenario)");
  }
  const pei::GuestAddress selectedInterface{
      foundation_->allocate(std::vector<std::uint8_t>(4, 0))};
  for (unsigned i = 0; i < scenario_.deviceSelectedInstalls; ++i) {
    const unsigned before = pcd_->token11Writes();
    foundation_->installPpi(efi::guids::kTpmDeviceSelectedPpi,
                            selectedInterface);
    if (pcd_->token11Writes() != before && pcd_->token11()) {
      const auto &value = *pcd_->token11();
      log("token 11 = " +
          (value.size() == 16
               ? efi::Guid::fromBytes(value).text() + " (" +
                     efi::guidName(efi::Guid::fromBytes(value)) + ")"
               : std::to_string(value.size()) + " bytes"));
    } else {
      log("token 11 not written");
    }
  }
  if (scenario_.deviceSelectedInstalls == 0) {
    log("device-selected PPI not installed (scenario)");
  }
  for (const auto &fired : foundation_->fired()) {
    if (fired.status != pei::EfiStatus{efi::kSuccess}) {
      problem("notification callback " + hex(fired.callback.entry, 8) +
              " for " + efi::guidName(fired.guid) + " returned " +
              fired.status.name() + ", expected EFI_SUCCESS");
    }
  }

  // What the module published.
  unsigned publications = 0;
  for (const auto &ppi : foundation_->ppis()) {
    publications += ppi.guid == efi::guids::kTpmTransportPpi ? 1 : 0;
  }
  if (const auto found = foundation_->locate(efi::guids::kTpmTransportPpi)) {
    transportPpi_ = found->interface.value;
    for (unsigned slot = 0; slot < slots_.size(); ++slot) {
      slots_[slot] = machine_->read32(transportPpi_ + 4 * slot);
    }
    report.transportPublished = true;
    report.transportPpi = transportPpi_;
    report.slots = slots_;
    std::string line = "TpmTransportPpi at " + hex(transportPpi_, 8) + ":";
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      line += std::string(slot == 0 ? " " : ", ") +
              common::name(common::TransportSlot(slot)) + " " +
              hex(slots_[slot], 8);
    }
    log(line);
  } else {
    log("TpmTransportPpi not published");
  }
  report.token11 = pcd_->token11();

  log("expected: " + expected.setupDecision);
  if (publications != expected.publications) {
    problem("TpmTransportPpi installed " + std::to_string(publications) +
            " times, expected " + std::to_string(expected.publications));
  }
  if (pcd_->token11Writes() != expected.token11Writes) {
    problem("token 11 written " + std::to_string(pcd_->token11Writes()) +
            " times, expected " + std::to_string(expected.token11Writes));
  }
  if (expected.token11Writes > 0 &&
      pcd_->token11() !=
          std::vector<std::uint8_t>(efi::guids::kTpmInstance.bytes.begin(),
                                    efi::guids::kTpmInstance.bytes.end())) {
    problem("token 11 does not hold TpmInstance");
  }
}

// Puts what one run of the trigger callback did into the log: the "Setup"
// read and its answer, what the probe found, the decision.
void Platform::describeTrigger(BootReport &report, std::size_t traceFrom) {
  const auto &events = machine_->trace().events();
  std::optional<std::uint32_t> presence, select, base;
  std::string baseFrom;
  bool installed = false;
  for (std::size_t i = traceFrom; i < events.size(); ++i) {
    const TraceEvent &e = events[i];
    if (e.kind == TraceEvent::Kind::Service &&
        e.named(pei::service::kGetVariable)) {
      report.log.push_back("  " + e.detail());
    } else if (e.kind == TraceEvent::Kind::Service &&
               e.named(pei::service::kInstallPpi) && e.value == efi::kSuccess) {
      installed = true;
    } else if (e.kind == TraceEvent::Kind::PciConfig && !e.write) {
      if (e.address ==
          RootComplex::kLocation.windowOffset(RootComplex::kData)) {
        presence = static_cast<std::uint32_t>(e.value);
      } else if (e.address == Coprocessor::kLocation.windowOffset(
                                  Coprocessor::kBaseSelect)) {
        select = static_cast<std::uint32_t>(e.value);
      } else if (e.address ==
                 Coprocessor::kLocation.windowOffset(Coprocessor::kBar)) {
        base = static_cast<std::uint32_t>(e.value) & Coprocessor::kBarBaseMask;
        baseFrom = "base address register";
      }
    } else if (e.kind == TraceEvent::Kind::Msr && !e.write &&
               e.address == Coprocessor::kMsrBase) {
      base = static_cast<std::uint32_t>(e.value);
      baseFrom = "MSR 0xC00110A2";
    }
  }
  if (!presence) {
    report.log.push_back("  probe: not run");
  } else if ((*presence & RootComplex::kCoprocessorPresent) == 0) {
    report.log.push_back("  probe: root complex reports no co-processor "
                         "(index 0xC0018000 data " +
                         hex(*presence, 8) + ")");
  } else {
    std::string text = "  probe: co-processor present";
    if (base) {
      text += ", base " + hex(*base, 8) + " from the " + baseFrom;
    }
    if (select) {
      text += " (register 0x48 = " + hex(*select, 8) + ")";
    }
    report.log.push_back(text);
  }
  report.log.push_back(
      std::string("  \"Setup\" decision: ") +
      (installed ? "transport published" : "declined, nothing installed"));
}

std::uint32_t Platform::callTransport(common::TransportSlot slot,
                                      std::span<const std::uint32_t> args) {
  if (transportPpi_ == 0) {
    throw std::logic_error("the module has not published TpmTransportPpi");
  }
  if (common::index(slot) >= slots_.size()) {
    throw std::invalid_argument("TpmTransportPpi has 4 slots");
  }
  std::vector<std::uint32_t> all = {0, 0};
  all.insert(all.end(), args.begin(), args.end());
  return machine_->call(std::string("TpmTransportPpi.") + common::name(slot),
                        slots_[common::index(slot)], all);
}

namespace {
// The response as a caller sees it: cut to the size its header states when
// that is within the buffer.
std::vector<std::uint8_t> responseFrom(machine::Machine &m) {
  std::vector<std::uint8_t> bytes =
      m.read(Platform::kCallerResponse, Platform::kCallerResponseSize);
  const std::uint32_t size = tpm::readBe32(bytes, tpm::kSizeOffset);
  if (size >= tpm::kHeaderSize && size <= bytes.size()) {
    bytes.resize(size);
  }
  return bytes;
}

void stage(machine::Machine &m, std::span<const std::uint8_t> command) {
  if (command.size() > Platform::kCallerCommandSize) {
    throw std::invalid_argument(
        "command of " + std::to_string(command.size()) +
        " bytes: the platform's caller buffer holds at most " +
        std::to_string(Platform::kCallerCommandSize));
  }
  m.write(Platform::kCallerCommand, command);
  m.write(Platform::kCallerResponse,
          std::vector<std::uint8_t>(Platform::kCallerResponseSize, 0));
  m.write32(Platform::kCallerLength, Platform::kCallerResponseSize);
}
} // namespace

Exchange Platform::execute(std::span<const std::uint8_t> command) {
  stage(*machine_, command);
  const std::uint32_t args[] = {kCallerCommand,
                                static_cast<std::uint32_t>(command.size()),
                                kCallerResponse, kCallerLength};
  Exchange result;
  result.efiStatus = callTransport(common::TransportSlot::kExecute, args);
  result.response = responseFrom(*machine_);
  return result;
}

Exchange Platform::sendReceive(std::span<const std::uint8_t> command) {
  stage(*machine_, command);
  const std::uint32_t send[] = {kCallerCommand,
                                static_cast<std::uint32_t>(command.size())};
  Exchange result;
  result.efiStatus = callTransport(common::TransportSlot::kSend, send);
  if (!efi::isError(result.efiStatus)) {
    const std::uint32_t receive[] = {kCallerResponse, kCallerLength};
    result.efiStatus = callTransport(common::TransportSlot::kReceive, receive);
  }
  result.response = responseFrom(*machine_);
  return result;
}

} // namespace platform
