// The FFS writer's round trip: the shipped image packaged with options the
// input chooses (name, dependencies, user-interface name, rebase or
// execute-in-place address, erase polarity), put in a volume and read back
// by the volume walk. What comes back must be what went in: the file by its
// name, type and size, and a PE32 body the reader accepts at the base the
// writer reported. Options the file cannot be built with are refused with
// FfsError, never written wrong.
#include "ffs.h"
#include "pe_image.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

const pei::PeImage &moduleImage() {
  static const pei::PeImage image = pei::PeImage::load(FIRMWARE_IMAGE);
  return image;
}

class Input {
public:
  Input(const std::uint8_t *data, std::size_t size)
      : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      value = value << 8 | byte();
    }
    return value;
  }
  ffs_format::Guid guid() {
    ffs_format::Guid g;
    for (auto &b : g.bytes) {
      b = byte();
    }
    return g;
  }

private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::uint32_t u24(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  Input in(data, size);
  ffs_format::PeimOptions options;
  options.name = in.guid();
  for (unsigned n = in.byte() % 4; n > 0; --n) {
    options.depex.push_back(in.guid());
  }
  options.uiName.clear();
  for (unsigned n = in.byte() % 24; n > 0; --n) {
    options.uiName.push_back(static_cast<char>(in.byte()));
  }
  const std::uint8_t placement = in.byte();
  const std::uint32_t address = in.u32();
  if (placement % 3 == 1) {
    options.imageBase = address;
  } else if (placement % 3 == 2) {
    options.fileAddress = address;
  }
  options.erasePolarity = (in.byte() & 1) != 0;

  ffs_format::PeimFile file;
  try {
    file = ffs_format::buildPeim(moduleImage(), options);
  } catch (const ffs_format::FfsError &) {
    return 0;
  }
  if (options.fileAddress &&
      std::uint64_t{*options.fileAddress} + file.bytes.size() >
          0x100000000ull) {
    std::abort(); // a file that cannot lie where it was asked to
  }
  const std::vector<std::vector<std::uint8_t>> files{file.bytes};
  const auto length = static_cast<std::uint32_t>(
      (file.bytes.size() + file.dataAlignment + 0x1000 + 0xFFF) & ~0xFFFu);
  const std::vector<std::uint8_t> volumeBytes =
      ffs_format::makeVolume(files, length, options.erasePolarity);
  const ffs_format::Volume volume = ffs_format::Volume::parse(volumeBytes);
  const ffs_format::VolumeFile *found = volume.find(options.name);
  if (found == nullptr || found->size != file.bytes.size() ||
      found->type != ffs_format::kFileTypePeim ||
      volume.erasePolarity() != options.erasePolarity ||
      (found->offset + ffs_format::kFileHeaderSize) % file.dataAlignment != 0) {
    std::abort();
  }
  // The PE32 section's body, read back through the image reader.
  const std::span<const std::uint8_t> stored(volumeBytes.data() + found->offset,
                                             found->size);
  const std::size_t section = file.imageOffset - 4;
  if (stored[section + 3] != ffs_format::kSectionPe32) {
    std::abort();
  }
  const std::size_t end = section + u24(stored, section);
  const pei::PeImage back = pei::PeImage::parse(std::vector<std::uint8_t>(
      stored.begin() + file.imageOffset, stored.begin() + end));
  if (back.imageBase() != file.imageBase ||
      back.sizeOfImage() != moduleImage().sizeOfImage()) {
    std::abort();
  }
  return 0;
}
