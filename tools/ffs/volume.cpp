#include "volume.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>

namespace ffs_format {
namespace {

using common::hex;
namespace le = common::le;

// Sum of the little-endian 16-bit words: a volume header sums to zero.
std::uint16_t sum16(std::span<const std::uint8_t> bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + le::load16(bytes, i));
  }
  return sum;
}

constexpr std::size_t kFvLengthField = 32;
constexpr std::size_t kFvSignatureField = 40;
constexpr std::size_t kFvAttributesField = 44;
constexpr std::size_t kFvHeaderLengthField = 48;
constexpr std::size_t kFvChecksumField = 50;
constexpr std::size_t kFvExtHeaderField = 52;
constexpr std::size_t kFvRevisionField = 55;
constexpr std::size_t kFvBlockMapField = 56;
// The extended header: the volume's name GUID, then its own size.
constexpr std::uint32_t kFvExtHeaderSizeField = 16;
constexpr std::uint32_t kFvExtHeaderMinSize = 20;
constexpr std::uint8_t kFvRevision = 2;
constexpr std::uint32_t kFileAlignmentInVolume = 8;
// EFI_FIRMWARE_FILE_SYSTEM2_GUID: files with 8-byte alignment, this header.
constexpr std::string_view kFileSystem2Guid =
    "8C8CE578-8A3D-4F1C-9935-896185C32DD3";

// Where the files start once the extended header, if the volume has one,
// is passed over; `name` receives the volume's name from it.
std::uint32_t afterExtendedHeader(std::span<const std::uint8_t> bytes,
                                  std::uint32_t length,
                                  std::uint32_t headerLength,
                                  std::optional<Guid> &name) {
  const std::uint32_t ext = le::load16(bytes, kFvExtHeaderField);
  if (ext == 0) {
    return headerLength;
  }
  if (ext + kFvExtHeaderMinSize > length) {
    throw FfsError("volume extended header: expected it inside the volume, "
                   "found offset " +
                   hex(ext));
  }
  const std::uint32_t extSize = le::load32(bytes, ext + kFvExtHeaderSizeField);
  if (extSize < kFvExtHeaderMinSize || extSize > length - ext) {
    throw FfsError("volume extended header at " + hex(ext) +
                   ": expected a size from 20 bytes to the volume end, "
                   "found " +
                   hex(extSize));
  }
  name = Guid::fromBytes(bytes.subspan(ext, 16));
  return ext + extSize;
}

// The file whose header lies at `at` in a volume of `length` bytes; none
// where the header is erased, which ends the walk.
std::optional<VolumeFile> fileAt(std::span<const std::uint8_t> bytes,
                                 std::uint32_t at, std::uint32_t length,
                                 std::uint8_t erased) {
  const auto header = bytes.subspan(at, kFileHeaderSize);
  if (std::all_of(header.begin(), header.end(),
                  [&](std::uint8_t b) { return b == erased; })) {
    return std::nullopt;
  }
  VolumeFile file;
  file.offset = at;
  file.name = Guid::fromBytes(header.first(16));
  file.type = header[kFileTypeField];
  file.attributes = header[kFileAttributesField];
  // A large file keeps its 64-bit size after the header.
  std::uint64_t size = le::load(header, kFileSizeField, kSizeFieldWidth);
  if ((file.attributes & kAttribLargeFile) != 0 &&
      at + kFileHeaderSize + 8 <= length) {
    size = le::load64(bytes, at + kFileHeaderSize);
  }
  // Compared as what is left, so that a 64-bit size near 2^64 cannot wrap
  // the sum round to a small end (and the walk round to this file again).
  if (size < kFileHeaderSize || size > length - at) {
    throw FfsError("file " + file.name.text() + " at " + hex(at) +
                   ": expected a size from 24 bytes to the volume end, "
                   "found " +
                   hex(size));
  }
  file.size = static_cast<std::uint32_t>(size);
  return file;
}

} // namespace

Volume Volume::parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFvBlockMapField + 16) {
    throw FfsError("volume header: expected at least 72 bytes, found " +
                   std::to_string(bytes.size()));
  }
  Volume volume;
  const std::uint32_t signature = le::load32(bytes, kFvSignatureField);
  if (signature != kSignature) {
    throw FfsError("volume signature: expected \"_FVH\", found " +
                   hex(signature));
  }
  const std::uint64_t length = le::load64(bytes, kFvLengthField);
  if (length > bytes.size() || length < kFvBlockMapField + 16) {
    throw FfsError("volume length: expected at most the " +
                   std::to_string(bytes.size()) + " bytes available, found " +
                   hex(length));
  }
  volume.length_ = static_cast<std::uint32_t>(length);
  volume.erasePolarity_ =
      (le::load32(bytes, kFvAttributesField) & kAttribErasePolarity) != 0;
  const std::uint32_t headerLength = le::load16(bytes, kFvHeaderLengthField);
  if (headerLength < kFvBlockMapField + 16 || headerLength > volume.length_ ||
      headerLength % 2 != 0) {
    throw FfsError("volume header length: expected an even size of at least "
                   "72 bytes within the volume, found " +
                   hex(headerLength));
  }
  if (const std::uint16_t sum = sum16(bytes.first(headerLength)); sum != 0) {
    throw FfsError("volume header checksum: expected the 16-bit words to sum "
                   "to 0, found " +
                   hex(sum));
  }
  volume.firstFile_ = alignUp(
      afterExtendedHeader(bytes, volume.length_, headerLength, volume.name_),
      kFileAlignmentInVolume);

  const std::uint8_t erased = volume.erasePolarity_ ? 0xFF : 0x00;
  std::uint32_t at = volume.firstFile_;
  while (at + kFileHeaderSize <= volume.length_) {
    const std::optional<VolumeFile> file =
        fileAt(bytes, at, volume.length_, erased);
    if (!file) {
      break;
    }
    volume.files_.push_back(*file);
    at = alignUp(file->end(), kFileAlignmentInVolume);
  }
  volume.freeSpace_ = std::min(at, volume.length_);
  return volume;
}

const VolumeFile *Volume::find(const Guid &name) const {
  for (const VolumeFile &file : files_) {
    // A pad file's name is filler (erased bytes), not a name.
    if (file.name == name && file.type != kFileTypePad) {
      return &file;
    }
  }
  return nullptr;
}

std::uint32_t placementFor(const Volume &volume, std::uint32_t fileSize,
                           std::uint32_t dataAlignment) {
  const std::uint32_t start = volume.freeSpaceOffset();
  std::uint32_t at = start;
  // A gap in front of the file must hold a pad file (at least its header):
  // a reader walking the volume stops at the first erased header.
  while ((at + kFileHeaderSize) % dataAlignment != 0 ||
         (at != start && at - start < kFileHeaderSize)) {
    at += kFileAlignmentInVolume;
  }
  if (static_cast<std::uint64_t>(at) + fileSize > volume.length()) {
    throw FfsError("volume: expected room for a file of " + hex(fileSize) +
                   " bytes at " + hex(at) + ", found the volume ending at " +
                   hex(volume.length()));
  }
  return at;
}

std::uint32_t appendFile(std::span<std::uint8_t> volumeBytes,
                         std::span<const std::uint8_t> file,
                         std::uint32_t dataAlignment) {
  const Volume volume = Volume::parse(volumeBytes);
  const std::uint32_t start = volume.freeSpaceOffset();
  const std::uint32_t at = placementFor(
      volume, static_cast<std::uint32_t>(file.size()), dataAlignment);
  const std::uint32_t end = at + static_cast<std::uint32_t>(file.size());
  const std::uint8_t erased = volume.erasePolarity() ? 0xFF : 0x00;
  const auto target = volumeBytes.subspan(start, end - start);
  if (!std::all_of(target.begin(), target.end(),
                   [&](std::uint8_t b) { return b == erased; })) {
    throw FfsError("volume free space at " + hex(start) +
                   ": expected erased bytes up to " + hex(end) +
                   ", found data");
  }
  if (at != start) {
    const auto pad = makePadFile(at - start, volume.erasePolarity());
    std::copy(pad.begin(), pad.end(), volumeBytes.begin() + start);
  }
  std::copy(file.begin(), file.end(), volumeBytes.begin() + at);
  return at;
}

std::vector<std::uint8_t>
makeVolume(std::span<const std::vector<std::uint8_t>> files,
           std::uint32_t length, bool erasePolarity,
           const std::optional<Guid> &name) {
  constexpr std::uint32_t kHeaderLength = kFvBlockMapField + 16;
  // Read/write/lock capabilities and status as flash volumes declare them,
  // 4 KiB volume alignment, and the erase polarity asked for.
  constexpr std::uint32_t kAttributes = 0x000CF6FF;
  if (length % kFileAlignmentInVolume != 0 || length < kHeaderLength) {
    throw FfsError("volume length: expected a multiple of 8 of at least 72, "
                   "found " +
                   hex(length));
  }
  std::vector<std::uint8_t> volume(length, erasePolarity ? 0xFF : 0x00);
  std::fill_n(volume.begin(), kHeaderLength, 0);
  const Guid fileSystem = parseGuid(kFileSystem2Guid);
  std::copy(fileSystem.bytes.begin(), fileSystem.bytes.end(),
            volume.begin() + 16);
  le::store32(volume, kFvLengthField, length);
  le::store32(volume, kFvSignatureField, Volume::kSignature);
  le::store32(volume, kFvAttributesField,
              kAttributes | (erasePolarity ? Volume::kAttribErasePolarity : 0));
  le::store16(volume, kFvHeaderLengthField, kHeaderLength);
  volume[kFvRevisionField] = kFvRevision;
  le::store32(volume, kFvBlockMapField, 1);          // one block
  le::store32(volume, kFvBlockMapField + 4, length); // of the whole length
  if (name) {
    // The extended header follows the block map: the name and its own size.
    if (length < kHeaderLength + kFvExtHeaderMinSize) {
      throw FfsError("volume length: expected room for the extended header, "
                     "found " +
                     hex(length));
    }
    le::store16(volume, kFvExtHeaderField, kHeaderLength);
    std::copy(name->bytes.begin(), name->bytes.end(),
              volume.begin() + kHeaderLength);
    le::store32(volume, kHeaderLength + kFvExtHeaderSizeField,
                kFvExtHeaderMinSize);
  }
  le::store16(volume, kFvChecksumField,
              static_cast<std::uint16_t>(
                  0x10000 - sum16(std::span(volume).first(kHeaderLength))));
  for (const auto &file : files) {
    const std::uint32_t alignment =
        alignmentFromAttributes(file[kFileAttributesField]);
    appendFile(volume, file, alignment);
  }
  return volume;
}

} // namespace ffs_format
