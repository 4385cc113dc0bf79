// The insertion on arbitrary flash bytes: refused with FfsError, or a flash
// image of the same size with the module placed inside the volume's length.
// Never a crash, a read out of bounds or a hang, whatever the containers
// (nested volumes, LZMA and compression sections, apriori files) claim.
#include "ffs.h"
#include "pe_image.h"

#include <cstdint>
#include <cstdlib>

namespace {

const pei::PeImage &moduleImage() {
  static const pei::PeImage image = pei::PeImage::load(FIRMWARE_IMAGE);
  return image;
}

// The volume the seed corpus names, once in flash and once inside an LZMA
// section.
const ffs_format::Guid &target() {
  static const ffs_format::Guid guid =
      ffs_format::parseGuid("3F1D0A52-1C8E-4B6A-9D37-0E2A5C4B7102");
  return guid;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  // The size chooses the apriori entry and whether the address is given,
  // so that every byte stays the flash image's.
  ffs_format::InsertedPeim peim{&moduleImage(), {}, (size & 1) != 0};
  ffs_format::InsertOptions options;
  options.volume = target();
  if ((size & 2) != 0) {
    options.volumeAddress = 0x00820000;
  }
  try {
    const ffs_format::InsertResult result = ffs_format::insertPeims(
        std::span(data, size), std::span(&peim, 1), options);
    if (result.flash.size() != size || result.placed.size() != 1 ||
        std::uint64_t{result.placed[0].fileOffset} + result.placed[0].fileSize >
            result.volumeLength) {
      std::abort();
    }
  } catch (const ffs_format::FfsError &) {
  }
  return 0;
}
