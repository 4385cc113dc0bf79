// Placing PEI modules into a named firmware volume of a flash image.
//
// The volume may lie in the flash itself, in a volume-image section of a file
// there, or inside an LZMA-compressed GUID-defined section (as platforms
// keep their PEI volume when an early phase decompresses it to RAM). Every
// container on the way is rebuilt around the grown contents: sections are
// resized, files get new sizes and checksums, a compressed section is
// compressed again. No existing file of the target volume moves, since
// modules there execute where they lie; the new files go into its free
// space, each rebased for the address it executes at:
//
// - a volume in the flash runs at the flash address of its bytes: the image
//   ends at 4 GiB unless the flash base is given;
// - a volume inside a compressed section runs wherever the phase that
//   decompresses it copies it, which its own images tell: each is linked at
//   that address plus its offset in the volume. They must all agree (or the
//   address is given).
#pragma once

#include "peim.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ffs_format {

// The PEI apriori file: the modules it lists are dispatched first, in order.
inline constexpr std::string_view kPeiAprioriFileGuid =
    "1B45CC0A-156A-428A-AF62-49864DA0E6E6";

// A module to insert. The insertion sets the options' erase polarity (the
// volume's) and file address (where the file lands); a rebase asked for in
// the options is refused.
struct InsertedPeim {
  const pei::PeImage *image = nullptr;
  PeimOptions options;
  bool apriori = false; // also list it in the volume's apriori file
};

struct InsertOptions {
  Guid volume;                            // the target volume's name
  std::optional<std::uint64_t> flashBase; // default: 4 GiB - image size
  // Where the volume executes, instead of what its position or images say.
  std::optional<std::uint32_t> volumeAddress;
};

struct PlacedPeim {
  std::uint32_t fileOffset = 0; // of its header, in the volume
  std::uint32_t fileSize = 0;
  std::uint32_t imageBase = 0; // where its image executes in place
  std::uint32_t imageSize = 0;
  std::size_t relocationsApplied = 0;
};

struct InsertResult {
  std::vector<std::uint8_t> flash; // the same size as the input
  std::uint32_t volumeAddress = 0;
  std::uint32_t volumeLength = 0;
  // How the address was found: "flash", "its images" or "given".
  std::string addressFrom;
  bool compressed = false; // the volume lies inside a compressed section
  bool aprioriCreated = false;
  std::vector<PlacedPeim> placed; // in the order given
};

// Throws FfsError with a one-line message for a truncated volume, a volume
// that is not there, no room (in the volume, in the apriori file or for a
// grown container), a container it cannot rebuild, a file name already in
// the volume, or a module that cannot execute at its place.
InsertResult insertPeims(std::span<const std::uint8_t> flash,
                         std::span<const InsertedPeim> peims,
                         const InsertOptions &options);

} // namespace ffs_format
