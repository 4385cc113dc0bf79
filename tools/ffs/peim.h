// Packaging a PE32 PEI module as an FFS file of type PEIM: its sections
// laid out so that the image lies on its section alignment, with the image
// rebased or converted to TE when asked.
#pragma once

#include "ffs_file.h"
#include "pe_image.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ffs_format {

struct PeimOptions {
  Guid name = parseGuid(kModuleFileGuid);
  std::string uiName{kModuleUiName};
  std::vector<Guid> depex; // empty: TRUE
  // Rebase the image to this ImageBase.
  std::optional<std::uint32_t> imageBase;
  // Rebase so the image executes in place when the file header lies at this
  // address (the image body's address is derived from the layout).
  std::optional<std::uint32_t> fileAddress;
  bool erasePolarity = true;
  // Package the image as a TE image (EFI_SECTION_TE) instead of a PE32.
  bool te = false;
};

struct PeimFile {
  std::vector<std::uint8_t> bytes; // the FFS file, unpadded
  std::uint32_t dataAlignment = 0; // alignment the volume must give the data
  std::uint32_t imageOffset = 0;   // the PE32 or TE image, from the file header
  std::uint32_t imageBase = 0;     // ImageBase in the packaged header
  std::size_t relocationsApplied = 0;
};

// Packages a PE32 PEI module: PEI dependency section, PE32 (or TE) section
// placed so that the image base lies on the image's section alignment (a raw
// section pads in front of it when needed), user-interface section. Rebases
// when asked.
PeimFile buildPeim(const pei::PeImage &image, const PeimOptions &options);

// A PE32 file as a TE image: the headers before the section table
// (StrippedSize bytes) replaced by the 40-byte TE header, which keeps the
// machine, section count, subsystem, entry point, BaseOfCode, ImageBase and
// the base-relocation and debug directories. Every RVA stays as it was.
std::vector<std::uint8_t> teImage(std::span<const std::uint8_t> pe32);

// The image bytes rebased to `newBase`: relocations applied, ImageBase
// patched, and laid out as in memory (SizeOfImage bytes at least).
std::vector<std::uint8_t> rebasedImage(const pei::PeImage &image,
                                       std::uint32_t newBase,
                                       std::size_t *applied = nullptr);

} // namespace ffs_format
