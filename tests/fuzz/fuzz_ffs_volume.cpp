// The firmware volume walk on arbitrary bytes: a volume is refused with
// FfsError or its file list lies inside it, and placing a file in its free
// space either fits or is refused.
#include "ffs.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const ffs_format::Volume volume = ffs_format::Volume::parse(bytes);
    if (volume.length() > size || volume.freeSpaceOffset() > volume.length()) {
      std::abort();
    }
    for (const ffs_format::VolumeFile &file : volume.files()) {
      if (file.offset < volume.firstFileOffset() ||
          std::uint64_t{file.offset} + file.size > volume.length() ||
          (file.type != ffs_format::kFileTypePad &&
           volume.find(file.name) == nullptr)) {
        std::abort();
      }
    }
    // A file as large as the first bytes say, aligned as the next says.
    const std::uint32_t fileSize = size >= 2 ? (data[0] | data[1] << 8) : 24;
    const std::uint32_t alignment = 1u << (size >= 3 ? data[2] % 25 : 3);
    const std::uint32_t at =
        ffs_format::placementFor(volume, fileSize, alignment);
    if (std::uint64_t{at} + fileSize > volume.length()) {
      std::abort();
    }
  } catch (const ffs_format::FfsError &) {
  }
  return 0;
}
