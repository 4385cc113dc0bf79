// The PE32 reader and relocator on arbitrary bytes: a file is refused with
// PeError or accepted, and an accepted one relocates to any base within
// the bounds the reader promised.
#include "pe_image.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  std::optional<pei::PeImage> image;
  try {
    image = pei::PeImage::parse(std::vector<std::uint8_t>(data, data + size));
  } catch (const pei::PeError &) {
    return 0;
  }
  // The last four bytes choose the new base, page aligned as a loader would.
  std::uint32_t base = 0;
  for (std::size_t i = size >= 4 ? size - 4 : 0; i < size; ++i) {
    base = base << 8 | data[i];
  }
  base &= ~0xFFFu;
  std::size_t applied = 0;
  const std::vector<std::uint8_t> memory = image->relocatedTo(base, &applied);
  std::size_t highLow = 0;
  for (const pei::PeRelocation &reloc : image->relocations()) {
    highLow += reloc.type == pei::PeRelocation::kHighLow;
  }
  if (memory.size() != image->sizeOfImage() || applied != highLow ||
      image->entryRva() >= image->sizeOfImage()) {
    std::abort();
  }
  return 0;
}
