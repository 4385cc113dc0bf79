#include "ffs_file.h"

#include "hex.h"
#include "little_endian.h"

#include <numeric>
#include <stdexcept>

namespace ffs_format {
namespace {

using common::hex;
using common::le::append;

// The Data Alignment field of the file Attributes byte, bits 3-5, selects
// one of eight alignments; the second alignment bit switches to the upper
// table.
constexpr std::array<std::uint32_t, 8> kAlignments = {
    1, 16, 128, 512, 1024, 4 * 1024, 32 * 1024, 64 * 1024};
constexpr std::array<std::uint32_t, 8> kAlignments2 = {
    128 * 1024,  256 * 1024,      512 * 1024,      1024 * 1024,
    2048 * 1024, 4 * 1024 * 1024, 8 * 1024 * 1024, 16 * 1024 * 1024};

} // namespace

Guid parseGuid(std::string_view text) {
  // The registry form only: 8-4-4-4-12 hex digits, no braces.
  if (text.size() == 36) {
    try {
      return Guid::parse(text);
    } catch (const std::invalid_argument &) {
    }
  }
  throw FfsError("GUID: expected the form XXXXXXXX-XXXX-XXXX-XXXX-"
                 "XXXXXXXXXXXX, found \"" +
                 std::string(text) + "\"");
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
  common::le::store(section, kSectionSizeField, kSizeFieldWidth, size);
  section[kSectionTypeField] = type;
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
    throw FfsError("file " + name.text() +
                   ": expected at most 0xFFFFFF bytes (no large-file "
                   "header), found " +
                   hex(size));
  }
  std::vector<std::uint8_t> file(kFileHeaderSize);
  std::copy(name.bytes.begin(), name.bytes.end(), file.begin());
  file[kFileTypeField] = type;
  file[kFileAttributesField] =
      static_cast<std::uint8_t>(alignmentAttributes(dataAlignment) |
                                (dataChecksum ? kAttribChecksum : 0));
  common::le::store(file, kFileSizeField, kSizeFieldWidth, size);
  // The header checksum is taken with IntegrityCheck.File and State as zero.
  file[kFileHeaderChecksumField] = checksum8(file);
  file[kFileDataChecksumField] =
      dataChecksum ? checksum8(data) : kFixedFileChecksum;
  file[kFileStateField] = storedState(kStateHeaderConstruction |
                                          kStateHeaderValid | kStateDataValid,
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

} // namespace ffs_format
