#include "ffs.h"

#include "hex.h"
#include "number.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <numeric>

namespace ffs_format {
namespace {

// The IA-32 physical address space every placed file and image lies in.
constexpr std::uint64_t kAddressSpace = 0x100000000ull;

using common::hex;

std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void putU16(std::span<std::uint8_t> at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void putU24(std::span<std::uint8_t> at, std::uint32_t value) {
  for (int i = 0; i < 3; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
void putU32(std::span<std::uint8_t> at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
std::uint32_t getU(std::span<const std::uint8_t> bytes, std::size_t offset,
                   int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | bytes[offset + static_cast<std::size_t>(i)];
  }
  return value;
}

// Sum of the little-endian 16-bit words: a volume header sums to zero.
std::uint16_t sum16(std::span<const std::uint8_t> bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<std::uint16_t>(sum + getU(bytes, i, 2));
  }
  return sum;
}

void append(std::vector<std::uint8_t> &to, std::span<const std::uint8_t> from) {
  to.insert(to.end(), from.begin(), from.end());
}

// The Data Alignment field of the file Attributes byte, bits 3-5, selects
// one of eight alignments; the second alignment bit switches to the upper
// table.
constexpr std::array<std::uint32_t, 8> kAlignments = {
    1, 16, 128, 512, 1024, 4 * 1024, 32 * 1024, 64 * 1024};
constexpr std::array<std::uint32_t, 8> kAlignments2 = {
    128 * 1024,  256 * 1024,      512 * 1024,      1024 * 1024,
    2048 * 1024, 4 * 1024 * 1024, 8 * 1024 * 1024, 16 * 1024 * 1024};

constexpr std::size_t kPeHeaderOffsetField = 0x3C;
constexpr std::size_t kOptionalHeaderFromPe = 24;
constexpr std::size_t kCharacteristicsFromPe = 22; // COFF Characteristics
constexpr std::uint32_t kRelocsStripped = 0x0001;
constexpr std::size_t kImageBaseField = 28; // in the PE32 optional header
constexpr std::size_t kCheckSumField = 64;
constexpr std::size_t kSectionCountFromPe = 6;
constexpr std::size_t kOptionalSizeFromPe = 20;
constexpr std::size_t kEntryField = 16; // the optional header's fields
constexpr std::size_t kBaseOfCodeField = 20;
constexpr std::size_t kSubsystemField = 68;
constexpr std::size_t kDirectoryCountField = 92;
constexpr std::size_t kBaseRelocDirectoryField = 96 + 5 * 8;
constexpr std::size_t kDebugDirectoryField = 96 + 6 * 8;

// The TE header that replaces a PE32's headers.
constexpr std::uint16_t kTeSignature = 0x5A56; // "VZ"
constexpr std::size_t kTeHeaderSize = 40;

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
constexpr std::uint8_t kAttribLargeFile = 0x01;
constexpr std::uint32_t kFileAlignmentInVolume = 8;
// EFI_FIRMWARE_FILE_SYSTEM2_GUID: files with 8-byte alignment, this header.
constexpr std::string_view kFileSystem2Guid =
    "8C8CE578-8A3D-4F1C-9935-896185C32DD3";

} // namespace

Guid Guid::parse(std::string_view text) {
  // 8-4-4-4-12 hex digits.
  static constexpr std::array<std::size_t, 4> dashes = {8, 13, 18, 23};
  auto fail = [&] {
    return FfsError("GUID: expected the form XXXXXXXX-XXXX-XXXX-XXXX-"
                    "XXXXXXXXXXXX, found \"" +
                    std::string(text) + "\"");
  };
  if (text.size() != 36) {
    throw fail();
  }
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash =
        std::find(dashes.begin(), dashes.end(), i) != dashes.end();
    if (dash != (text[i] == '-')) {
      throw fail();
    }
    if (!dash) {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
        throw fail();
      }
      digits.push_back(text[i]);
    }
  }
  std::array<std::uint8_t, 16> big{};
  for (std::size_t i = 0; i < 16; ++i) {
    big[i] = static_cast<std::uint8_t>(
        common::readNumber(std::string_view(digits).substr(2 * i, 2),
                           common::Radix::Hex)
            .value);
  }
  // The first three fields are stored little-endian.
  Guid guid;
  guid.bytes = big;
  std::reverse(guid.bytes.begin(), guid.bytes.begin() + 4);
  std::reverse(guid.bytes.begin() + 4, guid.bytes.begin() + 6);
  std::reverse(guid.bytes.begin() + 6, guid.bytes.begin() + 8);
  return guid;
}

Guid Guid::fromBytes(std::span<const std::uint8_t> storage) {
  if (storage.size() < 16) {
    throw FfsError("GUID: expected 16 bytes, found " +
                   std::to_string(storage.size()));
  }
  Guid guid;
  std::copy_n(storage.begin(), 16, guid.bytes.begin());
  return guid;
}

std::string Guid::str() const {
  char text[37];
  std::snprintf(
      text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
      static_cast<unsigned>(getU(bytes, 0, 4)),
      static_cast<unsigned>(getU(bytes, 4, 2)),
      static_cast<unsigned>(getU(bytes, 6, 2)), bytes[8], bytes[9], bytes[10],
      bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::uint8_t checksum8(std::span<const std::uint8_t> bytes) {
  const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u);
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::vector<std::uint8_t> makeSection(std::uint8_t type,
                                      std::span<const std::uint8_t> body) {
  const std::size_t size = kSectionHeaderSize + body.size();
  if (size > kMaxSmallSize) {
    throw FfsError("section of type " + hex(type) +
                   ": expected at most 0xFFFFFF bytes, found " + hex(size));
  }
  // Sized once and filled: growing a 4-byte vector by insertion makes
  // GCC 12 at -O3 report a bogus out-of-bounds copy (-Warray-bounds).
  std::vector<std::uint8_t> section(size);
  putU24(section, static_cast<std::uint32_t>(size));
  section[3] = type;
  std::copy(body.begin(), body.end(), section.begin() + kSectionHeaderSize);
  return section;
}

std::vector<std::uint8_t> makeDepex(std::span<const Guid> ppis) {
  std::vector<std::uint8_t> depex;
  if (ppis.empty()) {
    depex.push_back(kDepexTrue);
  }
  for (std::size_t i = 0; i < ppis.size(); ++i) {
    depex.push_back(kDepexPush);
    append(depex, ppis[i].bytes);
    if (i > 0) {
      depex.push_back(kDepexAnd);
    }
  }
  depex.push_back(kDepexEnd);
  return depex;
}

std::vector<std::uint8_t> makeUiName(std::string_view name) {
  if (name.empty()) {
    throw FfsError("user-interface name: expected at least one character, "
                   "found an empty name");
  }
  std::vector<std::uint8_t> body;
  for (const char c : name) {
    if (c < 0x20 || c > 0x7E) {
      throw FfsError("user-interface name: expected printable ASCII, found "
                     "byte " +
                     hex(static_cast<unsigned char>(c)) + " in \"" +
                     std::string(name) + "\"");
    }
    body.push_back(static_cast<std::uint8_t>(c));
    body.push_back(0);
  }
  body.push_back(0);
  body.push_back(0);
  return body;
}

std::uint32_t encodableAlignment(std::uint32_t required) {
  for (const auto *table : {&kAlignments, &kAlignments2}) {
    for (const std::uint32_t a : *table) {
      if (a >= required) {
        return a;
      }
    }
  }
  throw FfsError("data alignment: expected at most 16 MiB, found " +
                 hex(required));
}

std::uint8_t alignmentAttributes(std::uint32_t alignment) {
  for (std::uint8_t i = 0; i < 8; ++i) {
    if (kAlignments[i] == alignment) {
      return static_cast<std::uint8_t>(i << 3);
    }
    if (kAlignments2[i] == alignment) {
      return static_cast<std::uint8_t>(i << 3 | kAttribDataAlignment2);
    }
  }
  throw FfsError("data alignment: expected one of the encodable values "
                 "(1, 16, 128, 512, 1K ... 16M), found " +
                 hex(alignment));
}

std::uint32_t alignmentFromAttributes(std::uint8_t attributes) {
  const unsigned index = (attributes & kAttribDataAlignmentMask) >> 3;
  return (attributes & kAttribDataAlignment2) != 0 ? kAlignments2[index]
                                                   : kAlignments[index];
}

std::uint8_t storedState(std::uint8_t positiveState, bool erasePolarity) {
  return erasePolarity ? static_cast<std::uint8_t>(~positiveState)
                       : positiveState;
}

std::vector<std::uint8_t> makeFile(const Guid &name, std::uint8_t type,
                                   std::uint32_t dataAlignment,
                                   std::span<const std::uint8_t> data,
                                   bool erasePolarity, bool dataChecksum) {
  const std::size_t size = kFileHeaderSize + data.size();
  if (size > kMaxSmallSize) {
    throw FfsError("file " + name.str() +
                   ": expected at most 0xFFFFFF bytes (no large-file "
                   "header), found " +
                   hex(size));
  }
  std::vector<std::uint8_t> file(kFileHeaderSize);
  std::copy(name.bytes.begin(), name.bytes.end(), file.begin());
  file[18] = type;
  file[19] = static_cast<std::uint8_t>(alignmentAttributes(dataAlignment) |
                                       (dataChecksum ? kAttribChecksum : 0));
  putU24(std::span(file).subspan(20), static_cast<std::uint32_t>(size));
  // The header checksum is taken with IntegrityCheck.File and State as zero.
  file[16] = checksum8(file);
  file[17] = dataChecksum ? checksum8(data) : kFixedFileChecksum;
  file[23] = storedState(kStateHeaderConstruction | kStateHeaderValid |
                             kStateDataValid,
                         erasePolarity);
  append(file, data);
  return file;
}

std::vector<std::uint8_t> makePadFile(std::uint32_t size, bool erasePolarity) {
  if (size < kFileHeaderSize) {
    throw FfsError("pad file: expected at least 24 bytes, found " +
                   std::to_string(size));
  }
  // Pad files carry no name: the GUID is left erased, like their data.
  const std::uint8_t erased = erasePolarity ? 0xFF : 0x00;
  Guid name;
  name.bytes.fill(erased);
  const std::vector<std::uint8_t> data(size - kFileHeaderSize, erased);
  return makeFile(name, kFileTypePad, 1, data, erasePolarity, false);
}

std::vector<std::uint8_t> rebasedImage(const pei::PeImage &image,
                                       std::uint32_t newBase,
                                       std::size_t *applied) {
  std::vector<std::uint8_t> memory = image.relocatedTo(newBase, applied);
  const auto &file = image.bytes();
  if (file.size() > memory.size()) {
    memory.insert(memory.end(), file.begin() + memory.size(), file.end());
  }
  const std::size_t pe = getU(file, kPeHeaderOffsetField, 4);
  const std::size_t optional = pe + kOptionalHeaderFromPe;
  putU32(std::span(memory).subspan(optional + kImageBaseField), newBase);
  // A PE checksum would no longer match the patched bytes; firmware loaders
  // do not check it, so it is cleared rather than left stale.
  putU32(std::span(memory).subspan(optional + kCheckSumField), 0);
  return memory;
}

std::uint32_t teStrippedSize(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = getU(pe32, kPeHeaderOffsetField, 4);
  return static_cast<std::uint32_t>(pe + kOptionalHeaderFromPe +
                                    getU(pe32, pe + kOptionalSizeFromPe, 2));
}

std::vector<std::uint8_t> teImage(std::span<const std::uint8_t> pe32) {
  const std::size_t pe = getU(pe32, kPeHeaderOffsetField, 4);
  const std::size_t optional = pe + kOptionalHeaderFromPe;
  const std::uint32_t stripped = teStrippedSize(pe32);
  const std::uint32_t sections = getU(pe32, pe + kSectionCountFromPe, 2);
  if (stripped > 0xFFFF || sections > 0xFF || stripped > pe32.size()) {
    throw FfsError("TE conversion: expected headers of at most 64 KiB and "
                   "at most 255 sections, found " +
                   std::to_string(stripped) + " bytes and " +
                   std::to_string(sections) + " sections");
  }
  std::vector<std::uint8_t> te(kTeHeaderSize + pe32.size() - stripped, 0);
  const std::span<std::uint8_t> header(te);
  putU16(header.subspan(0), kTeSignature);
  putU16(header.subspan(2), static_cast<std::uint16_t>(getU(pe32, pe + 4, 2)));
  te[4] = static_cast<std::uint8_t>(sections);
  te[5] = static_cast<std::uint8_t>(getU(pe32, optional + kSubsystemField, 2));
  putU16(header.subspan(6), static_cast<std::uint16_t>(stripped));
  putU32(header.subspan(8), getU(pe32, optional + kEntryField, 4));
  putU32(header.subspan(12), getU(pe32, optional + kBaseOfCodeField, 4));
  putU32(header.subspan(16), getU(pe32, optional + kImageBaseField, 4));
  // ImageBase is 64 bits wide in the TE header; the high half stays 0.
  const std::uint32_t directories =
      getU(pe32, optional + kDirectoryCountField, 4);
  const std::pair<std::size_t, std::size_t> copied[] = {
      {kBaseRelocDirectoryField, 24}, {kDebugDirectoryField, 32}};
  for (const auto &[from, to] : copied) {
    if ((from - 96) / 8 < directories) {
      std::copy_n(pe32.begin() + static_cast<std::ptrdiff_t>(optional + from),
                  8, te.begin() + static_cast<std::ptrdiff_t>(to));
    }
  }
  std::copy(pe32.begin() + stripped, pe32.end(),
            te.begin() + static_cast<std::ptrdiff_t>(kTeHeaderSize));
  return te;
}

PeimFile buildPeim(const pei::PeImage &image, const PeimOptions &options) {
  if (options.imageBase && options.fileAddress) {
    throw FfsError("rebase: expected either an image base or a file address, "
                   "found both");
  }
  // A TE image no longer records its alignment or the PE32 headers the
  // packaging reads; it is made here, from the PE32.
  if (image.isTe()) {
    throw FfsError("input: expected the module's PE32 image (--te converts "
                   "it), found a TE image");
  }
  // The reader has refused any alignment but a power of two up to 64 KiB,
  // equal in the file and in memory.
  const std::uint32_t sectionAlignment = image.sectionAlignment();

  PeimFile out;
  out.dataAlignment = encodableAlignment(std::max<std::uint32_t>(
      sectionAlignment, static_cast<std::uint32_t>(kSectionHeaderSize)));

  std::vector<std::uint8_t> data = makeSection(
      kSectionPeiDepex, makeDepex(std::span<const Guid>(options.depex)));
  data.resize(alignUp(static_cast<std::uint32_t>(data.size()), 4), 0);

  // The image follows its section header, and the image base must land on
  // the section alignment; a raw section fills the gap in front of it. A TE
  // image's file starts StrippedSize - 40 bytes above its base.
  const std::uint32_t headerRva =
      options.te ? teStrippedSize(image.bytes()) -
                       static_cast<std::uint32_t>(kTeHeaderSize)
                 : 0;
  const auto imageBaseOffset = [&](std::uint32_t sectionAt) {
    return sectionAt + static_cast<std::uint32_t>(kSectionHeaderSize) +
           sectionAlignment - headerRva % sectionAlignment;
  };
  std::uint32_t pe32At = static_cast<std::uint32_t>(data.size());
  while (imageBaseOffset(pe32At) % sectionAlignment != 0 ||
         (pe32At != data.size() && pe32At - data.size() < kSectionHeaderSize)) {
    pe32At += 4;
  }
  if (pe32At != data.size()) {
    const std::vector<std::uint8_t> fill(
        pe32At - data.size() - kSectionHeaderSize, 0);
    append(data, makeSection(kSectionRaw, fill));
  }
  out.imageOffset =
      static_cast<std::uint32_t>(kFileHeaderSize + pe32At + kSectionHeaderSize);

  // Addresses are summed in 64 bits and held against the 4 GiB space, so
  // that a file address near the top cannot wrap round to a small base.
  std::optional<std::uint64_t> base = options.imageBase;
  if (options.fileAddress) {
    const std::uint64_t fileData =
        std::uint64_t{*options.fileAddress} + kFileHeaderSize;
    base = std::uint64_t{*options.fileAddress} + out.imageOffset - headerRva;
    if (fileData % out.dataAlignment != 0) {
      throw FfsError("file address " + hex(*options.fileAddress) +
                     ": expected the file data (header + 24) on a " +
                     hex(out.dataAlignment) + " boundary, found it off by " +
                     hex(fileData % out.dataAlignment));
    }
  }
  if (base && *base % sectionAlignment != 0) {
    throw FfsError("image base " + hex(*base) +
                   ": expected a multiple of the "
                   "section alignment " +
                   hex(sectionAlignment));
  }
  if (base && *base + image.sizeOfImage() > kAddressSpace) {
    throw FfsError("image base " + hex(*base) +
                   ": expected the image to end below 4 GiB, found size " +
                   hex(image.sizeOfImage()));
  }
  const auto &file = image.bytes();
  const std::uint32_t characteristics = getU(
      file, getU(file, kPeHeaderOffsetField, 4) + kCharacteristicsFromPe, 2);
  if (base && *base != image.imageBase() &&
      (characteristics & kRelocsStripped) != 0) {
    throw FfsError("rebase to " + hex(*base) +
                   ": expected an image that keeps its base relocations, "
                   "found them stripped (link it at its execute-in-place "
                   "address instead)");
  }
  const std::vector<std::uint8_t> body =
      base ? rebasedImage(image, static_cast<std::uint32_t>(*base),
                          &out.relocationsApplied)
           : file;
  out.imageBase = static_cast<std::uint32_t>(base.value_or(image.imageBase()));
  if (options.te) {
    append(data, makeSection(kSectionTe, teImage(body)));
  } else {
    append(data, makeSection(kSectionPe32, body));
  }
  data.resize(alignUp(static_cast<std::uint32_t>(data.size()), 4), 0);
  append(data, makeSection(kSectionUserInterface, makeUiName(options.uiName)));

  out.bytes = makeFile(options.name, kFileTypePeim, out.dataAlignment, data,
                       options.erasePolarity, true);
  if (options.fileAddress &&
      std::uint64_t{*options.fileAddress} + out.bytes.size() > kAddressSpace) {
    throw FfsError("file address " + hex(*options.fileAddress) +
                   ": expected the file of " + hex(out.bytes.size()) +
                   " bytes to end within 4 GiB, found it ending at " +
                   hex(std::uint64_t{*options.fileAddress} + out.bytes.size()));
  }
  return out;
}

Volume Volume::parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFvBlockMapField + 16) {
    throw FfsError("volume header: expected at least 72 bytes, found " +
                   std::to_string(bytes.size()));
  }
  Volume volume;
  const std::uint32_t signature = getU(bytes, kFvSignatureField, 4);
  if (signature != kSignature) {
    throw FfsError("volume signature: expected \"_FVH\", found " +
                   hex(signature));
  }
  const std::uint64_t length =
      getU(bytes, kFvLengthField, 4) |
      static_cast<std::uint64_t>(getU(bytes, kFvLengthField + 4, 4)) << 32;
  if (length > bytes.size() || length < kFvBlockMapField + 16) {
    throw FfsError("volume length: expected at most the " +
                   std::to_string(bytes.size()) + " bytes available, found " +
                   hex(length));
  }
  volume.length_ = static_cast<std::uint32_t>(length);
  volume.erasePolarity_ =
      (getU(bytes, kFvAttributesField, 4) & kAttribErasePolarity) != 0;
  const std::uint32_t headerLength = getU(bytes, kFvHeaderLengthField, 2);
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
  std::uint32_t first = headerLength;
  if (const std::uint32_t ext = getU(bytes, kFvExtHeaderField, 2); ext != 0) {
    if (ext + kFvExtHeaderMinSize > volume.length_) {
      throw FfsError("volume extended header: expected it inside the volume, "
                     "found offset " +
                     hex(ext));
    }
    const std::uint32_t extSize = getU(bytes, ext + kFvExtHeaderSizeField, 4);
    if (extSize < kFvExtHeaderMinSize || extSize > volume.length_ - ext) {
      throw FfsError("volume extended header at " + hex(ext) +
                     ": expected a size from 20 bytes to the volume end, "
                     "found " +
                     hex(extSize));
    }
    volume.name_ = Guid::fromBytes(bytes.subspan(ext));
    first = ext + extSize;
  }
  volume.firstFile_ = alignUp(first, kFileAlignmentInVolume);

  const std::uint8_t erased = volume.erasePolarity_ ? 0xFF : 0x00;
  std::uint32_t at = volume.firstFile_;
  while (at + kFileHeaderSize <= volume.length_) {
    const auto header = bytes.subspan(at, kFileHeaderSize);
    if (std::all_of(header.begin(), header.end(),
                    [&](std::uint8_t b) { return b == erased; })) {
      break;
    }
    VolumeFile file;
    file.offset = at;
    file.name = Guid::fromBytes(header);
    file.type = header[18];
    file.attributes = header[19];
    // A large file keeps its 64-bit size after the header.
    std::uint64_t size = getU(header, 20, 3);
    if ((file.attributes & kAttribLargeFile) != 0 &&
        at + kFileHeaderSize + 8 <= volume.length_) {
      size =
          getU(bytes, at + kFileHeaderSize, 4) |
          static_cast<std::uint64_t>(getU(bytes, at + kFileHeaderSize + 4, 4))
              << 32;
    }
    // Compared as what is left, so that a 64-bit size near 2^64 cannot wrap
    // the sum round to a small end (and the walk round to this file again).
    if (size < kFileHeaderSize || size > volume.length_ - at) {
      throw FfsError("file " + file.name.str() + " at " + hex(at) +
                     ": expected a size from 24 bytes to the volume end, "
                     "found " +
                     hex(size));
    }
    file.size = static_cast<std::uint32_t>(size);
    volume.files_.push_back(file);
    at = alignUp(file.end(), kFileAlignmentInVolume);
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
           std::uint32_t length, bool erasePolarity) {
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
  const Guid fileSystem = Guid::parse(kFileSystem2Guid);
  std::copy(fileSystem.bytes.begin(), fileSystem.bytes.end(),
            volume.begin() + 16);
  std::span<std::uint8_t> header(volume);
  putU32(header.subspan(kFvLengthField), length);
  putU32(header.subspan(kFvSignatureField), Volume::kSignature);
  putU32(header.subspan(kFvAttributesField),
         kAttributes | (erasePolarity ? Volume::kAttribErasePolarity : 0));
  putU16(header.subspan(kFvHeaderLengthField), kHeaderLength);
  volume[kFvRevisionField] = kFvRevision;
  putU32(header.subspan(kFvBlockMapField), 1);          // one block
  putU32(header.subspan(kFvBlockMapField + 4), length); // of the whole length
  putU16(
      header.subspan(kFvChecksumField),
      static_cast<std::uint16_t>(0x10000 - sum16(header.first(kHeaderLength))));
  for (const auto &file : files) {
    const std::uint32_t alignment = alignmentFromAttributes(file[19]);
    appendFile(volume, file, alignment);
  }
  return volume;
}

} // namespace ffs_format
