#include "rig.h"

#include "loader.h"
#include "state_directory.h"
#include "tpm_engine.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace conformance {

namespace {

// libtpms is one TPM per process: every platform of a test process shares
// this engine (each boot powers it on; commands need no particular state).
tpm::TpmEngine &engine() {
  static platform::StateDirectory directory{std::filesystem::path{}};
  static tpm::TpmEngine tpm{directory.path()};
  return tpm;
}

std::optional<common::TransportAddresses>
slotsOf(platform::Platform &platform) {
  const auto found = platform.foundation().locate(efi::guids::kTpmTransportPpi);
  if (!found) {
    return std::nullopt;
  }
  common::TransportAddresses slots{};
  for (unsigned i = 0; i < slots.size(); ++i) {
    slots[i] = platform.machine().read32(found->interface.value + 4 * i);
  }
  return slots;
}

// The images built with the suite, unless CONFORMANCE_FIRMWARE_DIR names a
// directory holding another build of the module (TpmTransportPei.efi,
// TpmTransportPeiTest.efi and its .map): a way to check that the suite
// catches a changed module.
std::filesystem::path imagePath(const char *built) {
  if (const char *dir = std::getenv("CONFORMANCE_FIRMWARE_DIR")) {
    return std::filesystem::path(dir) / std::filesystem::path(built).filename();
  }
  return built;
}

// What setSuiteCoverage set.
std::optional<platform::SuiteCoverage> &suiteCoverage() {
  static std::optional<platform::SuiteCoverage> coverage;
  return coverage;
}

} // namespace

void setSuiteCoverage(std::optional<platform::SuiteCoverage> coverage) {
  suiteCoverage() = std::move(coverage);
}

const pei::PeImage &shippedImage() {
  static const pei::PeImage image =
      pei::PeImage::load(imagePath(FIRMWARE_IMAGE_PATH));
  return image;
}

const pei::PeImage &testImage() {
  static const pei::PeImage image =
      pei::PeImage::load(imagePath(FIRMWARE_TEST_IMAGE_PATH));
  return image;
}

const pei::LinkerMap &testMap() {
  static const pei::LinkerMap map =
      pei::LinkerMap::load(imagePath(FIRMWARE_TEST_MAP_PATH));
  return map;
}

std::vector<std::uint8_t> setupBytes(std::size_t size, std::uint8_t select,
                                     std::uint8_t override) {
  std::vector<std::uint8_t> bytes(size, 0);
  if (size > platform::Scenario::kDeviceSelect) {
    bytes[platform::Scenario::kDeviceSelect] = select;
  }
  if (size > platform::Scenario::kSelectOverride) {
    bytes[platform::Scenario::kSelectOverride] = override;
  }
  return bytes;
}

platform::Scenario
scenarioWithSetup(std::optional<std::vector<std::uint8_t>> setup) {
  platform::Scenario scenario;
  scenario.setup = std::move(setup);
  return scenario;
}

std::vector<std::uint8_t> getRandom(std::uint16_t count) {
  return {0x80,
          0x01,
          0x00,
          0x00,
          0x00,
          0x0C,
          0x00,
          0x00,
          0x01,
          0x7B,
          static_cast<std::uint8_t>(count >> 8),
          static_cast<std::uint8_t>(count)};
}

// --- Booted -----------------------------------------------------------------

Booted::Booted(platform::Scenario scenario) {
  platform_ = std::make_unique<platform::Platform>(
      std::move(scenario), shippedImage(), engine(), suiteCoverage());
  report_ = platform_->boot();
}

Booted::~Booted() = default;

std::vector<TraceEvent> Booted::events(std::size_t from) const {
  const auto &all = platform_->trace().events();
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
          all.end()};
}

std::vector<std::string> Booted::services(std::size_t from) const {
  std::vector<std::string> texts;
  for (const TraceEvent &event : events(from)) {
    if (event.kind == TraceEvent::Kind::Service) {
      texts.push_back(event.detail());
    }
  }
  return texts;
}

std::vector<TraceEvent> Booted::during(const std::string &call,
                                       unsigned occurrence) const {
  const auto &all = platform_->trace().events();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].kind != TraceEvent::Kind::Call ||
        !all[i].detail().starts_with(call) ||
        all[i].detail().find(" returned ") != std::string::npos) {
      continue;
    }
    if (occurrence-- != 0) {
      continue;
    }
    std::vector<TraceEvent> inside;
    for (std::size_t j = i + 1;
         j < all.size() && all[j].kind != TraceEvent::Kind::Call; ++j) {
      inside.push_back(all[j]);
    }
    return inside;
  }
  throw std::logic_error("no guest call " + call + " in the trace");
}

std::vector<TraceEvent> hardware(const std::vector<TraceEvent> &events) {
  std::vector<TraceEvent> found;
  for (const TraceEvent &event : events) {
    if (event.kind != TraceEvent::Kind::Service &&
        event.kind != TraceEvent::Kind::Call &&
        event.kind != TraceEvent::Kind::String &&
        event.kind != TraceEvent::Kind::Work) {
      found.push_back(event);
    }
  }
  return found;
}

std::vector<std::string> serviceTexts(const std::vector<TraceEvent> &events) {
  std::vector<std::string> texts;
  for (const TraceEvent &event : events) {
    if (event.kind == TraceEvent::Kind::Service) {
      texts.push_back(event.detail());
    }
  }
  return texts;
}

std::vector<std::uint32_t>
commandWrites(const std::vector<TraceEvent> &events) {
  std::vector<std::uint32_t> values;
  for (const TraceEvent &event : events) {
    if (event.from(devices::kPciConfigTrace) && event.write &&
        event.address == 0x40004) {
      values.push_back(static_cast<std::uint32_t>(event.value));
    }
  }
  return values;
}

unsigned Booted::transportInstalls() const {
  return static_cast<unsigned>(
      std::count_if(platform_->foundation().ppis().begin(),
                    platform_->foundation().ppis().end(), [](const auto &ppi) {
                      return ppi.guid == efi::guids::kTpmTransportPpi;
                    }));
}

std::uint32_t Booted::slot(unsigned index, std::uint32_t leading0,
                           std::uint32_t leading1,
                           std::vector<std::uint32_t> arguments) {
  const auto slots = slotsOf(*platform_);
  if (!slots) {
    throw std::logic_error("the transport is not published");
  }
  static const char *const names[] = {"Execute", "Probe", "Send", "Receive"};
  arguments.insert(arguments.begin(), {leading0, leading1});
  return machine().call(names[index], (*slots)[index], arguments);
}

void Booted::stage(const std::vector<std::uint8_t> &command,
                   std::uint32_t length, std::uint8_t fill) {
  machine().write(kCommand, command);
  machine().write(
      kResponse,
      std::vector<std::uint8_t>(platform::Platform::kCallerResponseSize, fill));
  machine().write32(kLength, length);
}

std::uint32_t Booted::send(std::uint32_t size) {
  return slot(2, 0, 0, {kCommand, size});
}

std::uint32_t Booted::receive() { return slot(3, 0, 0, {kResponse, kLength}); }

std::uint32_t Booted::execute(std::uint32_t size) {
  return slot(0, 0, 0, {kCommand, size, kResponse, kLength});
}

// --- Routines ---------------------------------------------------------------

Routines::Routines(devices::ChipsetConfig config)
    : machine_(std::make_unique<machine::Machine>()) {
  machine_->space().mapMemory(kStackTop - 0x10000, 0x10000, "stack",
                      machine::kReadWrite);
  machine_->space().mapMemory(kBuffers, kBuffersSize, "test buffers",
                      machine::kReadWrite);
  machine_->setStack(kStackTop);
  // No command runs in these tests; a TPM that answers anything would do.
  chipset_ = std::make_unique<devices::Chipset>(
      machine_->space(), config, [](std::span<const std::uint8_t>) {
        return std::vector<std::uint8_t>{0x80, 0x01, 0, 0, 0, 10, 0, 0, 0, 0};
      });
  const pei::LoadedImage image = pei::mapInFlash(*machine_, testImage());
  invariants_ = std::make_unique<checks::PlatformInvariants>(
      *machine_, *chipset_, checks::TransportSlots{});
  invariants_->protect(image.base, testImage().sizeOfImage(),
                       "the test image in flash");
}

Routines::~Routines() = default;

std::uint32_t Routines::call(const std::string &name,
                             std::vector<std::uint32_t> arguments,
                             std::vector<checks::WritableRange> writable) {
  invariants_->allowNextCall(std::move(writable));
  return machine_->call(name, testMap().address(name), arguments);
}

} // namespace conformance
