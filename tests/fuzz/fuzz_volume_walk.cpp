// The volume reader's walk on arbitrary bytes: it finds volumes or refuses
// the image with FormatError, and whatever it finds lies inside the buffers
// it keeps.
#include "volume.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool inside(volume::ByteSpan part, const volume::Volume &v) {
  for (const auto &buffer : v.buffers) {
    if (part.empty() ||
        (part.data() >= buffer->data() &&
         part.data() + part.size() <= buffer->data() + buffer->size())) {
      return true;
    }
  }
  return false;
}

void checkSections(const std::vector<volume::Section> &sections,
                   const volume::Volume &v) {
  for (const volume::Section &section : sections) {
    if (section.size < section.headerSize || !inside(section.body, v)) {
      std::abort();
    }
    checkSections(section.children, v);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  auto image = std::make_shared<const volume::Bytes>(data, data + size);
  volume::Limits limits;
  limits.maxDecompressed = 16u << 20;
  try {
    const std::vector<volume::Volume> found = volume::walk(image, limits);
    image.reset();
    for (const volume::Volume &v : found) {
      if (v.bytes.size() != v.length || !inside(v.bytes, v)) {
        std::abort();
      }
      for (const volume::File &file : v.files) {
        if (std::uint64_t{file.offset} + file.size > v.length) {
          std::abort();
        }
        checkSections(file.sections, v);
      }
      for (const volume::Peim &peim : volume::peims(v)) {
        if (peim.imageOffset &&
            std::uint64_t{*peim.imageOffset} + peim.image.size() > v.length) {
          std::abort();
        }
      }
      try {
        volume::apriori(v);
      } catch (const volume::FormatError &) {
      }
    }
  } catch (const volume::FormatError &) {
  }
  return 0;
}
