// What the emulated platform plays around the module: one Scenario holds
// every choice, and one option parser fills it, so that every subcommand of
// the program (boot, serve) takes the same scenario options.
#pragma once

#include "chipset.h"
#include "machine.h"
#include "pe_image.h"
#include "services.h"
#include "usage.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct Scenario {
  // "Setup": absent (nullopt) or these bytes. The default publishes the
  // transport: 1024 bytes, DeviceSelect (byte 256) = 2, SelectOverride
  // (byte 458) = 0.
  std::optional<std::vector<std::uint8_t>> setup = defaultSetup();
  // The file the last --setup-file read, if any: an input of the run,
  // which no output may overwrite.
  std::filesystem::path setupFile;
  bool variablePpi = true; // install the read-only variable PPI
  bool pcdPpi = true;      // install the PCD PPI
  pei::PcdConfig pcd;

  // How many times the platform installs each awaited PPI (0, 1 or 2).
  unsigned triggerInstalls = 1;
  unsigned deviceSelectedInstalls = 1;

  // Where the shadow copy goes (page aligned, not the link base).
  std::uint32_t shadowAddress = 0x00400000;

  // Chipset, timer, configuration window and co-processor.
  devices::ChipsetConfig chipset;

  // Where the TPM keeps its non-volatile state; empty: a temporary
  // directory that is removed afterwards.
  std::filesystem::path tpmStateDir;

  // Bounds of every guest call.
  machine::CallLimits limits;

  // What an access to hardware that no device models does: stop the run
  // (the module's own scenarios), or be recorded and answered.
  bus::Unmodelled unmodelled = bus::Unmodelled::Stop;

  static std::vector<std::uint8_t> defaultSetup();
  static constexpr std::size_t kDeviceSelect = 256;
  static constexpr std::size_t kSelectOverride = 458;
  static constexpr std::size_t kSetupBuffer = 1024; // what the module reads

  // Configuration-window MSR values for "below" and "above" 4 GiB.
  static constexpr std::uint64_t kWindowBelow = 0x00000000E0000021; // 256 MiB
  static constexpr std::uint64_t kWindowAbove = 0x00000010E0000021;
};

using common::UsageError;

// Parses the scenario option at args[index] (forms "--name value" and
// "--name=value"). Returns false, leaving index alone, when args[index] is
// not a scenario option; otherwise advances index past the option and its
// value. Throws UsageError for a bad value.
bool parseScenarioOption(std::span<const std::string> args, std::size_t &index,
                         Scenario &scenario);

// The scenario options, documented for --help (one option per line block).
// `stateDirDefault` says what the program does without --state-dir.
std::string scenarioOptionsHelp(std::string_view stateDirDefault);

// The names of the scenario options ("--no-setup", ...).
std::vector<std::string> scenarioOptionNames();

// Loads the module image a scenario boots and checks that the scenario can
// place its shadow copy (page aligned, away from the link base). Throws
// UsageError naming the image or the option at fault.
pei::PeImage loadScenarioImage(const std::filesystem::path &path,
                               const Scenario &scenario);

} // namespace platform
