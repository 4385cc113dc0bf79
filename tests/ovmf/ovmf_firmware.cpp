#include "ovmf_firmware.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace ovmf {

PatchedFirmware insertModules(std::vector<std::uint8_t> firmware,
                              const pei::PeImage &module,
                              const pei::PeImage &companion, Dispatch dispatch,
                              bool moduleAsTe,
                              std::span<const ExtraPeim> extras) {
  namespace ff = ffs_format;
  std::vector<ff::InsertedPeim> peims(2);
  peims[0].image = &module; // the shipped GUID, name and TRUE depex
  peims[0].options.te = moduleAsTe;
  peims[0].apriori = dispatch == Dispatch::Apriori;
  peims[1].image = &companion;
  peims[1].options.name = ff::parseGuid(kCompanionFileGuid);
  peims[1].options.uiName = "TpmTransportCompanionPei";
  peims[1].options.depex = {ff::parseGuid(kMemoryDiscoveredPpiGuid)};
  for (const ExtraPeim &extra : extras) {
    peims.push_back({extra.image, extra.options, false});
  }
  ff::InsertOptions options;
  options.volume = ff::parseGuid(kPeiVolumeGuid);
  ff::InsertResult inserted = ff::insertPeims(firmware, peims, options);
  // SEC copies the PEI volume to a fixed place in RAM; the images already
  // in it say so, and the insertion must have found the same.
  if (inserted.volumeAddress != kPeiVolumeRamBase || !inserted.compressed) {
    throw FirmwareError("PEI volume: expected it compressed and running at " +
                        std::to_string(kPeiVolumeRamBase) + ", found " +
                        std::to_string(inserted.volumeAddress));
  }
  const auto placed = [](const ff::PlacedPeim &p) {
    return PlacedModule{p.fileOffset, p.imageBase, p.imageSize};
  };
  PatchedFirmware out;
  out.image = std::move(inserted.flash);
  out.peiVolumeBase = inserted.volumeAddress;
  out.peiVolumeLength = inserted.volumeLength;
  out.module = placed(inserted.placed[0]);
  out.companion = placed(inserted.placed[1]);
  for (std::size_t i = 2; i < inserted.placed.size(); ++i) {
    out.extras.push_back(placed(inserted.placed[i]));
  }
  return out;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length,
                 EVP_sha256(), nullptr) != 1) {
    throw FirmwareError("SHA-256: expected libcrypto to hash " +
                        std::to_string(bytes.size()) +
                        " bytes, found it failing");
  }
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    char text[3];
    std::snprintf(text, sizeof(text), "%02x", digest[i]);
    out += text;
  }
  return out;
}

} // namespace ovmf
