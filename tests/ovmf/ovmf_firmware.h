// Placing the module (and the test's companion module) into the PEI volume of
// an IA-32 OVMF flash image, so that a genuine PEI Foundation dispatches it.
//
// In this firmware the PEI and DXE volumes travel inside one LZMA-compressed,
// GUID-defined section of a volume-image file in the first flash volume. SEC
// decompresses it and copies the PEI volume to RAM, where the PEI Foundation
// dispatches modules in place; so the modules are rebased to their address
// in that RAM copy. The placing is pei-ffs's own (ffs_format::insertPeims);
// this file only names what this firmware needs.
#pragma once

#include "ffs.h"
#include "pe_image.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovmf {

// The firmware build the insertion was written against, pinned by its hash:
// the layout facts below hold for this file only.
inline constexpr std::string_view kFirmwareCodePath =
    "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
inline constexpr std::string_view kFirmwareVarsPath =
    "/usr/share/OVMF/OVMF32_VARS_4M.fd";
inline constexpr std::string_view kFirmwareSha256 =
    "d068b51430d3063b6063836a4c633c3e807c9629d3431910a9f4a2a9334da4b7";

// The PEI volume and the RAM address SEC copies it to.
inline constexpr std::string_view kPeiVolumeGuid =
    "6938079B-B503-4E3D-9D24-B28337A25806";
inline constexpr std::uint32_t kPeiVolumeRamBase = 0x00820000;
// Installed by the PEI Foundation once permanent memory is in place.
inline constexpr std::string_view kMemoryDiscoveredPpiGuid =
    "F894643D-C449-42D1-8EA8-85BDD8C65BDE";
// The companion test module's file name.
inline constexpr std::string_view kCompanionFileGuid =
    "E192FBEE-5D33-47CA-9DEA-95783AE0F344";

class FirmwareError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum class Dispatch {
  Apriori,  // listed in the apriori file: dispatched before memory, in place
  Appended, // only appended: dispatched after memory, from a core-made copy
};

struct PlacedModule {
  std::uint32_t fileOffset = 0; // in the PEI volume
  std::uint32_t imageBase = 0;  // its address in the PEI volume's RAM copy
  std::uint32_t imageSize = 0;
};

// A further test module appended to the PEI volume after the companion.
struct ExtraPeim {
  const pei::PeImage *image = nullptr;
  ffs_format::PeimOptions options;
};

struct PatchedFirmware {
  std::vector<std::uint8_t> image;
  std::uint32_t peiVolumeBase = kPeiVolumeRamBase;
  std::uint32_t peiVolumeLength = 0;
  PlacedModule module;
  PlacedModule companion;
  std::vector<PlacedModule> extras;
};

// Returns a copy of `firmware` with the module and the companion appended to
// the PEI volume (the module first), each rebased to execute in place there;
// with Dispatch::Apriori the module's GUID is added to the apriori file. With
// `moduleAsTe` the module goes in as a TE section instead of a PE32 section.
PatchedFirmware insertModules(std::vector<std::uint8_t> firmware,
                              const pei::PeImage &module,
                              const pei::PeImage &companion, Dispatch dispatch,
                              bool moduleAsTe = false,
                              std::span<const ExtraPeim> extras = {});

// Lower-case hexadecimal SHA-256 of `bytes`.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

} // namespace ovmf
