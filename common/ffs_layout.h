// The firmware file system (FFS) file and section layout, as the UEFI
// Platform Initialization specification lays it out: little-endian, a 24-byte
// file header, 4-byte section headers on 4-byte boundaries. The PE32 reader
// takes an FFS file apart with it and pei-ffs puts one together.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common::ffs {

// The file header (EFI_FFS_FILE_HEADER): the name GUID, the header and data
// checksums (IntegrityCheck), the type, the attributes, the 24-bit size of
// the whole file (header included) and the state.
inline constexpr std::size_t kFileHeaderSize = 24;
inline constexpr std::size_t kFileHeaderChecksumField = 16;
inline constexpr std::size_t kFileDataChecksumField = 17;
inline constexpr std::size_t kFileTypeField = 18;
inline constexpr std::size_t kFileAttributesField = 19;
inline constexpr std::size_t kFileSizeField = 20;
inline constexpr std::size_t kFileStateField = 23;

// The section header (EFI_COMMON_SECTION_HEADER): the 24-bit size of the
// section (header included), then the type. Each section of a file starts on
// a 4-byte boundary.
inline constexpr std::size_t kSectionHeaderSize = 4;
inline constexpr std::size_t kSectionSizeField = 0;
inline constexpr std::size_t kSectionTypeField = 3;
inline constexpr std::uint32_t kSectionAlignment = 4;

// The width of both Size fields, and the largest size they hold.
inline constexpr unsigned kSizeFieldWidth = 3;
inline constexpr std::uint32_t kMaxSmallSize = 0xFFFFFF;

// File types.
inline constexpr std::uint8_t kFileTypeFreeform = 0x02;
inline constexpr std::uint8_t kFileTypePeim = 0x06;
inline constexpr std::uint8_t kFileTypeVolumeImage = 0x0B;
inline constexpr std::uint8_t kFileTypePad = 0xF0;

// Section types.
inline constexpr std::uint8_t kSectionGuidDefined = 0x02;
inline constexpr std::uint8_t kSectionPe32 = 0x10;
inline constexpr std::uint8_t kSectionTe = 0x12;
inline constexpr std::uint8_t kSectionUserInterface = 0x15;
inline constexpr std::uint8_t kSectionVolumeImage = 0x17;
inline constexpr std::uint8_t kSectionRaw = 0x19;
inline constexpr std::uint8_t kSectionPeiDepex = 0x1B;

// File attributes. A large file keeps a 64-bit size after the header.
inline constexpr std::uint8_t kAttribLargeFile = 0x01;
inline constexpr std::uint8_t kAttribDataAlignment2 = 0x02;
inline constexpr std::uint8_t kAttribDataAlignmentMask = 0x38;
inline constexpr std::uint8_t kAttribChecksum = 0x40;
// The data checksum of a file without kAttribChecksum.
inline constexpr std::uint8_t kFixedFileChecksum = 0xAA;

// State bits in positive logic; with erase polarity 1 they are stored
// inverted, because programming a flash bit clears it.
inline constexpr std::uint8_t kStateHeaderConstruction = 0x01;
inline constexpr std::uint8_t kStateHeaderValid = 0x02;
inline constexpr std::uint8_t kStateDataValid = 0x04;

// `value` rounded up to a multiple of `alignment`: where the next section
// of a file, or the next file of a volume, starts.
constexpr std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace common::ffs
