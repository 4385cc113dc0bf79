// The module as an EDK II binary module, for platforms built with EDK II:
// an INF that names the image and its PEI dependency expression, the two
// binaries, and the lines the platform's flash description (FDF) needs.
#pragma once

#include "peim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ffs_format {

struct KitFile {
  std::string name; // within the kit's directory
  std::vector<std::uint8_t> bytes;
};

// NAME.inf, NAME.efi (or NAME.te with options.te), NAME.depex and NAME.fdf,
// NAME being options.uiName, which must then be a C identifier (EDK II's
// BASE_NAME). The image goes in as linked: EDK II's volume tool rebases it
// for where it executes in place, through the relocations it keeps.
std::vector<KitFile> makeEdk2Kit(const pei::PeImage &image,
                                 const PeimOptions &options);

} // namespace ffs_format
